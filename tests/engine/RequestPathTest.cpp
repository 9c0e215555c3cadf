#include "engine/RequestPath.h"

#include "engine/ByteRange.h"
#include "engine/EngineOptions.h"
#include "engine/ReplyText.h"

#include <gtest/gtest.h>

using namespace engine;

TEST(RequestPath, DecodesComponents) {
    using List = std::vector<std::string>;
    EXPECT_EQ(SplitRequestPath("/"), List{});
    EXPECT_EQ(SplitRequestPath("/u/abc.html"), (List{"u", "abc.html"}));
    EXPECT_EQ(SplitRequestPath("/d/dfiles/My%20Photo%20%281%29.jpg"),
              (List{"d", "dfiles", "My Photo (1).jpg"}));
    EXPECT_EQ(SplitRequestPath("/d//dfiles/"), (List{"d", "dfiles"}));
    EXPECT_EQ(SplitRequestPath("/%E6%97%A5.txt"), (List{"日.txt"}));
    EXPECT_EQ(SplitRequestPath("/a+b.txt"), (List{"a+b.txt"})); // "+" is no blank in paths
}

TEST(RequestPath, RefusesEverythingThatCouldLeaveTheRoot) {
    for (const char* raw : {"",
                            "relative",
                            "/..",
                            "/../secret",
                            "/u/../../secret",
                            "/%2e%2e/secret",
                            "/%2E%2E/secret",
                            "/u/%2e%2e%2f%2e%2e%2fsecret",
                            "/..%2fsecret",
                            "/u%2F..%2Fsecret",
                            "/..\\secret",
                            "/u\\..\\secret",
                            "/%5c..%5csecret",
                            "/index.html%00.jpg",
                            "/a%0d%0aLocation:x",
                            "/.hidden",
                            "/u/.git/config",
                            "/./index.html",
                            "/%2e/x",
                            "/bad%zzescape",
                            "/cut%2"}) {
        EXPECT_EQ(SplitRequestPath(raw), std::nullopt) << raw;
    }
}

// Linux file names may hold a backslash or a tab; Windows ones cannot
// (FileNameWin32Test has the Windows side), so Windows leaves this one out.
TEST(RequestPath, PublishedCopiesKeepBackslashesAndTabsOnLinux) {
    using List = std::vector<std::string>;
    EXPECT_EQ(SplitRequestPath("/d/dfiles/a%5Cb.txt"), (List{"d", "dfiles", "a\\b.txt"}));
    EXPECT_EQ(SplitRequestPath("/d//dfiles/tab%09x.txt"), (List{"d", "dfiles", "tab\tx.txt"}));
    EXPECT_TRUE(IsServableRelativePath("d/dfiles/a\\b\tc"));
}

TEST(RequestPath, PublishedCopiesKeepDotNamesInTheirFolderOnly) {
    using List = std::vector<std::string>;
    EXPECT_EQ(SplitRequestPath("/d/dfiles/.bashrc"), (List{"d", "dfiles", ".bashrc"}));
    for (const char* raw : {"/d/dfiles/%2e", "/d/dfiles/%2e%2e", "/d/dfiles/..", "/d/dfiles/a%2Fb",
                            "/d/dfiles/a%00", "/d/dfiles/.git/config", "/d/.bashrc", "/d/a%5Cb.txt",
                            "/u/ufiles/.bashrc", "/d/dfiles/.x/"}) {
        EXPECT_EQ(SplitRequestPath(raw), std::nullopt) << raw;
    }
    EXPECT_TRUE(IsServableRelativePath("d/dfiles/.bashrc"));
    EXPECT_FALSE(IsServableRelativePath("d/dfiles/.git/config"));
    EXPECT_FALSE(IsServableRelativePath("d/dfiles/.."));
    EXPECT_FALSE(IsServableRelativePath("d/.bashrc"));
}

TEST(RequestPath, ComparableFormUnifiesDelimitersAndCaseWhereNamesIgnoreIt) {
    // Windows: "\\" delimits, and case does not tell names apart.
    EXPECT_EQ(ComparableRelativePath("D\\DFiles\\.bashrc", '\\', true), "d/dfiles/.bashrc");
    EXPECT_EQ(ComparableRelativePath("d\\FILELIST-abcdef.HTML", '\\', true),
              "d/filelist-abcdef.html");
    // Linux: a "\\" is part of a name and case tells names apart.
    EXPECT_EQ(ComparableRelativePath("D/dfiles/a\\B", '/', false), "D/dfiles/a\\B");
    EXPECT_TRUE(IsServableRelativePath(ComparableRelativePath("d\\dfiles\\.bashrc", '\\', true)));
}

TEST(RequestPath, ServableRelativePaths) {
    EXPECT_TRUE(IsServableRelativePath("u/ufiles/a.jpg"));
    EXPECT_FALSE(IsServableRelativePath("u/.secret/a.jpg"));
    EXPECT_FALSE(IsServableRelativePath(".env"));
    EXPECT_FALSE(IsServableRelativePath("u//a"));
}

TEST(RequestPath, QueryValuesDecodePlusAsBlank) {
    EXPECT_EQ(PercentDecode("a+b%2Bc", true), "a b+c");
    EXPECT_EQ(PercentDecode("a+b", false), "a+b");
    EXPECT_EQ(PercentDecode("%00", true), std::nullopt);
    EXPECT_EQ(PercentDecode("%4", true), std::nullopt);
    EXPECT_EQ(PercentDecode("%C3%A9", true), "é");
}

TEST(RequestPath, ContentTypes) {
    EXPECT_EQ(ContentTypeFor("index.html"), "text/html; charset=utf-8");
    EXPECT_EQ(ContentTypeFor("CLIP.MP4"), "video/mp4");
    EXPECT_EQ(ContentTypeFor("photo.JPeG"), "image/jpeg");
    EXPECT_EQ(ContentTypeFor("noext"), "application/octet-stream");
    EXPECT_EQ(ContentTypeFor("x.unknownext"), "application/octet-stream");
    EXPECT_TRUE(IsHtmlName("filelist-abcdef.HTML"));
    EXPECT_FALSE(IsHtmlName("notes.txt"));
}

TEST(ByteRange, SingleRanges) {
    const auto check = [](std::string_view header, std::int64_t size, RangeRequest::Kind kind,
                          std::int64_t first = 0, std::int64_t length = 0) {
        const RangeRequest range = ParseRange(header, size);
        EXPECT_EQ(range.kind, kind) << header;
        if (kind == RangeRequest::Kind::Partial) {
            EXPECT_EQ(range.first, first) << header;
            EXPECT_EQ(range.length, length) << header;
        }
    };
    using K = RangeRequest::Kind;
    check("bytes=0-99", 1000, K::Partial, 0, 100);
    check("bytes=500-", 1000, K::Partial, 500, 500);
    check("bytes=-100", 1000, K::Partial, 900, 100);
    check("bytes=-5000", 1000, K::Partial, 0, 1000);
    check("bytes=900-5000", 1000, K::Partial, 900, 100); // clamped to the end
    check("bytes=999-999", 1000, K::Partial, 999, 1);
    check("bytes=1000-", 1000, K::Unsatisfiable);
    check("bytes=5000-6000", 1000, K::Unsatisfiable);
    check("bytes=-0", 1000, K::Unsatisfiable);
    check("bytes=0-", 0, K::Unsatisfiable);
    // Malformed or multiple ranges: the whole file.
    check("bytes=0-1,5-6", 1000, K::Whole);
    check("bytes=9-3", 1000, K::Whole);
    check("items=0-1", 1000, K::Whole);
    check("bytes=a-b", 1000, K::Whole);
    check("bytes=-", 1000, K::Whole);
    check("bytes=--1", 1000, K::Whole);
    check("bytes=99999999999999999999999-", 1000, K::Whole);
}

TEST(EngineOptions, PositionalArgumentsAndOptions) {
    const auto plain = ParseEngineOptions({"qwerty", "./wdoc"});
    ASSERT_TRUE(plain.options);
    EXPECT_EQ(plain.options->pageKey, "qwerty");
    EXPECT_EQ(plain.options->webRoot, "./wdoc");
    EXPECT_EQ(plain.options->port, 8016);
    EXPECT_EQ(plain.options->bindAddress, 0u);

    const auto full = ParseEngineOptions({"k", "w", "--port", "9001", "--bind", "127.0.0.1"});
    ASSERT_TRUE(full.options);
    EXPECT_EQ(full.options->port, 9001);
    EXPECT_EQ(full.options->bindAddress, 0x7F000001u);
    EXPECT_FALSE(full.options->timeoutSeconds);
    const auto timed = ParseEngineOptions({"k", "w", "--timeout", "5"});
    ASSERT_TRUE(timed.options);
    EXPECT_EQ(timed.options->timeoutSeconds, 5u);

    for (const auto& bad : std::vector<std::vector<std::string>>{{},
                                                                 {"k"},
                                                                 {"k", "w", "x"},
                                                                 {"k", "w", "--port"},
                                                                 {"k", "w", "--port", "0"},
                                                                 {"k", "w", "--port", "65536"},
                                                                 {"k", "w", "--port", "80x"},
                                                                 {"k", "w", "--bind", "256.0.0.1"},
                                                                 {"k", "w", "--bind", "1.2.3"},
                                                                 {"k", "w", "--timeout", "0"},
                                                                 {"k", "w", "--timeout", "x"},
                                                                 {"k", "w", "--key-budget", "0"},
                                                                 {"k", "w", "--verbose"}}) {
        const auto result = ParseEngineOptions(bad);
        EXPECT_FALSE(result.options);
        EXPECT_FALSE(result.error.empty());
    }
}

TEST(ReplyText, EscapesWhatItEmbeds) {
    EXPECT_EQ(JsonString("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
    const std::string page = ReceivedPage({"<b>.jpg"}, "/u/abcdef.html");
    EXPECT_NE(page.find("&lt;b&gt;.jpg"), std::string::npos);
    EXPECT_EQ(page.find("<b>.jpg"), std::string::npos);
    EXPECT_EQ(ErrorJson(ErrorFor(UploadError::OffsetMismatch), "\"offset\": 5"),
              "{\"error\": \"offset-mismatch\", \"message\": \"The upload must continue from "
              "another point.\", \"offset\": 5}");
}
