// The QR matrices this build makes equal the reference made by the Linux
// build (reference-matrices.txt, built into the test), module by module.

#include "MatrixReference.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>

extern const char* const ReferenceMatrices;

namespace {

std::vector<std::string> Blocks(const std::string& text) {
    std::vector<std::string> blocks;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with('#'))
            blocks.emplace_back();
        if (blocks.empty())
            continue;
        blocks.back() += line + "\n";
    }
    return blocks;
}

} // namespace

TEST(QRCodeMatrixReference, EveryTextGivesTheReferenceMatrix) {
    const auto expected = Blocks(ReferenceMatrices);
    const auto actual = Blocks(qrtest::MatricesAsText());
    ASSERT_EQ(expected.size(), qrtest::ReferenceTexts().size());
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(actual[i], expected[i]) << "text #" << i;
}

TEST(QRCodeMatrixReference, ReferenceHoldsRealSymbols) {
    // Guards against a reference written from an empty or broken encoder:
    // every block is a square of side 21 + 4k plus two quiet zones of 4.
    for (const std::string& block : Blocks(ReferenceMatrices)) {
        std::istringstream in(block);
        std::string header;
        std::getline(in, header);
        const auto x = header.find('x');
        const int rows = std::stoi(header.substr(header.find(' ') + 1));
        const int columns = std::stoi(header.substr(x + 1));
        EXPECT_EQ(rows, columns) << header;
        EXPECT_EQ((rows - 8 - 21) % 4, 0) << header;
        EXPECT_GE(rows, 29) << header;
        std::string line;
        int dark = 0;
        int lines = 0;
        while (std::getline(in, line)) {
            ++lines;
            EXPECT_EQ(static_cast<int>(line.size()), columns);
            dark += static_cast<int>(std::count(line.begin(), line.end(), '1'));
        }
        EXPECT_EQ(lines, rows);
        EXPECT_GT(dark, rows * 2) << header;
    }
}
