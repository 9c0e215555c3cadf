#include "TempFolder.h"

#include <gtest/gtest.h>
#include <regex>

// What the phone's pages promise whatever their design: small, self-contained
// (no request leaves the PC's engine), and the download page styles the
// file entries' buttons.

namespace {

const std::string Dir = TESSARY_TEMPLATE_SOURCE_DIR;

TEST(ShippedTemplatesTest, AreSmallAndRequestNothingFromOutside) {
    // The SVG namespace is a name, never fetched.
    const std::regex outside(
        R"((src|href|action)\s*=\s*["']?\s*(https?:)?//|url\(\s*["']?(https?:)?//|@import|fetch\(\s*["']https?:)",
        std::regex::icase);
    for (const char* name : {"uindex.dat", "dindex.dat", "dfilelist.dat", "mindex.dat"}) {
        SCOPED_TRACE(name);
        const std::string text = ReadBytes(Dir + name);
        ASSERT_FALSE(text.empty());
        EXPECT_LT(text.size(), 40u * 1024);
        EXPECT_FALSE(std::regex_search(text, outside));
    }
}

TEST(ShippedTemplatesTest, DownloadPageStylesTheEntryButtonAndReadsItsOwnList) {
    const std::string page = ReadBytes(Dir + "dindex.dat");
    EXPECT_NE(page.find(".cbutton{"), std::string::npos);
    EXPECT_NE(page.find("'filelist-'"), std::string::npos);
}

TEST(ShippedTemplatesTest, UploadPageWorksWithoutJavaScript) {
    const std::string page = ReadBytes(Dir + "uindex.dat");
    EXPECT_NE(page.find(R"(method="post" enctype="multipart/form-data")"), std::string::npos);
    EXPECT_NE(page.find(R"(<button class="btn" type="submit">)"), std::string::npos);
}

} // namespace
