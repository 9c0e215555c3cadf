// Names Windows would read its own way, in uploads and in request paths.

#include "engine/FileNameCleaner.h"
#include "engine/RequestPath.h"
#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

#include <gtest/gtest.h>

TEST(FileNameWin32, UploadNamesBecomePlainWindowsNames) {
    const std::pair<const char*, const char*> table[] = {
        {"CON", "_CON"},
        {"con.txt", "_con.txt"},
        {"nul.tar.gz", "_nul.tar.gz"},
        {"COM1", "_COM1"},
        {"lpt9.doc", "_lpt9.doc"},
        {"COM\xC2\xB9.txt", "_COM\xC2\xB9.txt"}, // COM with a superscript one
        {"CONSOLE.txt", "CONSOLE.txt"},
        {"COM10", "COM10"},
        {"a.txt:x", "a.txt_x"},
        {"a.txt::$DATA", "a.txt__$DATA"},
        {"C:evil.txt", "C_evil.txt"},
        {"what?.jpg", "what_.jpg"},
        {"<b>\"q\"|*.txt", "_b__q___.txt"},
        {"a.txt.", "a.txt"},
        {"a.txt . .", "a.txt"},
        {"photo.JPG", "photo.JPG"},
        {"\xE6\x97\xA5\xE6\x9C\xAC.txt", "\xE6\x97\xA5\xE6\x9C\xAC.txt"},
    };
    for (const auto& [raw, expected] : table) {
        EXPECT_EQ(engine::CleanUploadName(raw).value_or("<none>"), expected) << raw;
    }
    EXPECT_FALSE(engine::CleanUploadName("..."));
    EXPECT_FALSE(engine::CleanUploadName(". . ."));
    // A path sent as the name still keeps only its last part.
    EXPECT_EQ(engine::CleanUploadName("C:\\Users\\me\\CON").value_or(""), "_CON");
}

TEST(FileNameWin32, RequestPathsWithWindowsNamesAreRefused) {
    for (const char* path : {"/a.txt::$DATA", "/a.txt:x", "/a.txt%3Ax", "/C:", "/c:/windows",
                             "/a.txt.", "/a.txt%20", "/CON", "/d/nul.txt", "/COM1", "/LPT1.jpg",
                             "/aux", "/d/%5c..%5cx", "/x*.txt", "/x%3F.txt", "/%22q%22"}) {
        EXPECT_FALSE(engine::SplitRequestPath(path)) << path;
    }
    // The published folder takes any name Linux could hold, but no name
    // Windows would read its own way.
    for (const char* path : {"/d/dfiles/a%5Cb.txt", "/d/dfiles/%5C..%5C..%5Cx", "/d/dfiles/tab%09x",
                             "/d/dfiles/a.txt::$DATA", "/d/dfiles/a.txt%3Ax", "/d/dfiles/nul.txt",
                             "/d/dfiles/a.txt.", "/d/dfiles/C:x"}) {
        EXPECT_FALSE(engine::SplitRequestPath(path)) << path;
    }
    EXPECT_TRUE(engine::SplitRequestPath("/d/dfiles/.bashrc"));
    const auto plain = engine::SplitRequestPath("/d/dfiles/My%20Photo%20(1).jpg");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->back(), "My Photo (1).jpg");
    EXPECT_TRUE(engine::SplitRequestPath("/d/CONSOLE.txt"));
    EXPECT_TRUE(engine::IsServableRelativePath("d\\dfiles\\a.txt"));
    EXPECT_FALSE(engine::IsServableRelativePath("d\\.cache\\a.txt"));
}

TEST(FileNameWin32, PlainNamesAreExactlyThoseLeftAlone) {
    for (const char* name : {"a.txt", "CONSOLE", "COM0x", "x.y.z", "\xC3\xA9t\xC3\xA9"}) {
        EXPECT_TRUE(platform::IsPlainFileName(name)) << name;
        EXPECT_EQ(platform::FileNameForThisSystem(name), name);
    }
    for (const char* name : {"", "nul", "PRN.x", "a:b", "a.", "a ", "CONIN$", "x|y"}) {
        EXPECT_FALSE(platform::IsPlainFileName(name)) << name;
    }
}

TEST(FileNameWin32, LongNamesAreCutToFitTheFolderKeepingTheExtension) {
    // A device name gets its "_" before the cut, so the result still fits.
    const auto device = engine::CleanUploadName("CON." + std::string(300, 'a'));
    ASSERT_TRUE(device);
    EXPECT_EQ(device->rfind("_CON.", 0), 0u) << *device;
    EXPECT_LE(device->size(), engine::MaxNameBytes);

    const std::string deep = "C:\\Users\\someone\\Documents\\" + std::string(120, 'f') + "\\";
    const std::string name = std::string(246, 'n') + ".jpg";
    const std::string fitted = misc::FitNameToFolder(name, deep);
    ASSERT_FALSE(fitted.empty());
    EXPECT_TRUE(fitted.ends_with("n.jpg")) << fitted;
    EXPECT_LT(deep.size() + fitted.size() + std::string("(9999)").size(), 260u);
    EXPECT_TRUE(platform::NameFitsFolder(deep, fitted));
    // Names that fit stay whole; a folder too deep for any name gives none.
    EXPECT_EQ(misc::FitNameToFolder("a.jpg", deep), "a.jpg");
    EXPECT_EQ(misc::FitNameToFolder(name, "C:\\" + std::string(255, 'x') + "\\"), "");
}
