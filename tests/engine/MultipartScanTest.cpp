#include "engine/MultipartScan.h"

#include "EngineHarness.h"

#include <gtest/gtest.h>

using engine::MultipartBoundary;
using engine::MultipartScanner;

namespace {

// Feeds text in blocks of step bytes; returns the scanner and what it left.
std::pair<bool, std::string> Scan(const std::string& boundary, std::string text, std::size_t step) {
    MultipartScanner scanner(boundary);
    for (std::size_t at = 0; at < text.size(); at += step) {
        const std::size_t length = std::min(step, text.size() - at);
        scanner.Feed({text.data() + at, length});
    }
    return {scanner.Closed(), text};
}

} // namespace

TEST(MultipartScan, BoundaryIsReadAsTheLibraryReadsIt) {
    EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=----abc123"), "----abc123");
    EXPECT_EQ(MultipartBoundary("Multipart/Form-Data;boundary=\"quoted b\""), "quoted b");
    // Everything after "boundary=" belongs to it, as the parser takes it.
    EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=b; charset=x"), "b; charset=x");
    for (const char* refused :
         {"", "text/plain; boundary=x", "application/x-www-form-urlencoded", "multipart/form-data",
          "multipart/form-data; boundary=", "multipart/form-data; boundary=\"\"",
          "multipart/form-data; Boundary=x", "multipart/form-data; boundary=a\tb"}) {
        EXPECT_EQ(MultipartBoundary(refused), std::nullopt) << refused;
    }
    EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=" + std::string(201, 'b')),
              std::nullopt);
    EXPECT_TRUE(MultipartBoundary("multipart/form-data; boundary=" + std::string(200, 'b')));
}

TEST(MultipartScan, SeesTheClosingDelimiterHoweverTheBodyIsSplit) {
    const std::string body = enginetest::MultipartBody(
        {{"a.txt", "x\r\n--BBX\r\n--BB-"}, {"b.txt", enginetest::Pattern(3000, 4)}}, "BB");
    for (std::size_t step : {1u, 2u, 3u, 7u, 64u, 100000u}) {
        EXPECT_TRUE(Scan("BB", body, step).first) << step;
        // Cut anywhere before the closing delimiter's last dash: not closed.
        const std::size_t last = body.rfind("--BB--") + 5;
        for (std::size_t cut :
             {std::size_t{0}, std::size_t{1}, std::size_t{5}, body.size() / 2, last - 1, last}) {
            EXPECT_FALSE(Scan("BB", body.substr(0, cut), step).first) << step << " " << cut;
        }
        EXPECT_TRUE(Scan("BB", body.substr(0, last + 1), step).first) << step;
    }
    // A form without parts, a preamble, and padding after a delimiter.
    EXPECT_TRUE(Scan("BB", "--BB--", 1).first);
    EXPECT_TRUE(Scan("BB", "preamble\r\n--BB \t\r\n\r\nx\r\n--BB--\r\nepilogue", 1).first);
    // The boundary inside content, or followed by other text, ends nothing.
    EXPECT_FALSE(Scan("BB", "--BB\r\n\r\nx--BB--", 4).first);
    EXPECT_FALSE(Scan("BB", "--BB\r\n\r\nx\r\n--BBB--", 4).first);
}

TEST(MultipartScan, NulBytesAreReplacedOnlyInPartHeaders) {
    const std::string name("con\0trol.txt", 12);
    const std::string content("\0a\0\r\n\0", 6);
    const std::string body = enginetest::MultipartBody({{name, content}}, "BB");
    for (std::size_t step : {1u, 5u, 1000u}) {
        const auto [closed, scanned] = Scan("BB", body, step);
        EXPECT_TRUE(closed);
        EXPECT_NE(scanned.find("filename=\"con\x01trol.txt\""), std::string::npos);
        EXPECT_NE(scanned.find("\r\n\r\n" + content + "\r\n--BB--"), std::string::npos);
    }
}
