#include "engine/FileNameCleaner.h"

#include <gtest/gtest.h>

using engine::CleanUploadName;
using engine::MaxNameBytes;
using engine::NumberedName;

namespace {

// True when text is whole UTF-8 (no sequence cut or malformed).
bool IsValidUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if ((lead >= 0x80 && lead < 0xC2) || i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

} // namespace

TEST(FileNameCleaner, KeepsOnlyTheLastPathComponent) {
    EXPECT_EQ(CleanUploadName("photo.jpg"), "photo.jpg");
    EXPECT_EQ(CleanUploadName("../../etc/passwd"), "passwd");
    EXPECT_EQ(CleanUploadName("C:\\Users\\me\\IMG_0001.JPG"), "IMG_0001.JPG");
    EXPECT_EQ(CleanUploadName("/abs/dir\\mixed/name.txt"), "name.txt");
}

TEST(FileNameCleaner, RemovesControlCharacters) {
    EXPECT_EQ(CleanUploadName(std::string("a\x01"
                                          "b\nc\td\x7f"
                                          ".txt")),
              "abcd.txt");
    // U+0085 (next line) is a C1 control; U+00A0 is not.
    EXPECT_EQ(CleanUploadName("x\xC2\x85y\xC2\xA0z"), "xy\xC2\xA0z");
    EXPECT_EQ(CleanUploadName(std::string("nul\0byte", 8)), "nulbyte");
}

TEST(FileNameCleaner, RefusesNamesThatCleanToNothing) {
    for (const char* raw : {"", ".", "..", "dir/", "a/..", "\\..", "   ", "\x01\x02", "x/ . "}) {
        EXPECT_EQ(CleanUploadName(raw), std::nullopt) << raw;
    }
    EXPECT_EQ(CleanUploadName("..."), "...");
    EXPECT_EQ(CleanUploadName(".profile"), ".profile");
}

TEST(FileNameCleaner, ReplacesBytesThatAreNotUtf8) {
    EXPECT_EQ(CleanUploadName("caf\xE9.txt"), "caf_.txt");
    EXPECT_EQ(CleanUploadName("\xED\xA0\x80.txt"), "___.txt"); // a surrogate
    EXPECT_EQ(CleanUploadName("\xC0\xAF.txt"), "__.txt");      // overlong "/"
    EXPECT_EQ(CleanUploadName("日本語.jpg"), "日本語.jpg");
}

TEST(FileNameCleaner, CutsLongNamesKeepingExtensionAndWholeCharacters) {
    std::string longStem;
    for (int i = 0; i < 200; ++i) {
        longStem += "é"; // two bytes each
    }
    const auto cut = CleanUploadName(longStem + ".jpeg");
    ASSERT_TRUE(cut);
    EXPECT_LE(cut->size(), MaxNameBytes);
    EXPECT_GE(cut->size(), MaxNameBytes - 1);
    EXPECT_TRUE(cut->ends_with(".jpeg"));
    EXPECT_TRUE(IsValidUtf8(*cut));

    // Four-byte characters: the cut must step back to a boundary.
    std::string emoji;
    for (int i = 0; i < 100; ++i) {
        emoji += "\xF0\x9F\x98\x80";
    }
    const auto emojiCut = CleanUploadName(emoji + ".mp4");
    ASSERT_TRUE(emojiCut);
    EXPECT_LE(emojiCut->size(), MaxNameBytes);
    EXPECT_TRUE(emojiCut->ends_with(".mp4"));
    EXPECT_TRUE(IsValidUtf8(*emojiCut));

    // An "extension" too long to be one is not kept whole.
    const auto noExt = CleanUploadName("a." + std::string(300, 'x'));
    ASSERT_TRUE(noExt);
    EXPECT_EQ(noExt->size(), MaxNameBytes);
    EXPECT_TRUE(noExt->starts_with("a.x"));
}

// Found by fuzzing: a cut among blanks left a name ending in a blank, and
// one made only of dots and blanks became "..".
TEST(FileNameCleaner, ACutNeverLeavesTrailingBlanksOrADotName) {
    const auto cut = CleanUploadName("name" + std::string(300, ' ') + "x");
    EXPECT_EQ(cut, "name");
    EXPECT_EQ(CleanUploadName(*cut), cut);
    EXPECT_EQ(CleanUploadName(".." + std::string(300, ' ') + "x"), std::nullopt);
    const auto withExtension = CleanUploadName(std::string(250, 'a') + "    b.jpg");
    ASSERT_TRUE(withExtension);
    EXPECT_EQ(withExtension->size(), MaxNameBytes);
    EXPECT_TRUE(withExtension->ends_with(".jpg"));
}

TEST(FileNameCleaner, NumberedNamesGoBeforeTheExtensionAndStillFit) {
    EXPECT_EQ(NumberedName("IMG_0001.jpg", 0), "IMG_0001.jpg");
    EXPECT_EQ(NumberedName("IMG_0001.jpg", 1), "IMG_0001(1).jpg");
    EXPECT_EQ(NumberedName("archive.tar.gz", 12), "archive.tar(12).gz");
    EXPECT_EQ(NumberedName("README", 2), "README(2)");
    EXPECT_EQ(NumberedName(".profile", 1), ".profile(1)");

    const std::string full = std::string(251, 'n') + ".jpg";
    ASSERT_EQ(full.size(), MaxNameBytes);
    const std::string numbered = NumberedName(full, 123);
    EXPECT_EQ(numbered.size(), MaxNameBytes);
    EXPECT_TRUE(numbered.ends_with("(123).jpg"));
}
