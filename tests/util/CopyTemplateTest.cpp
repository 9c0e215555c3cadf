#include "TestSupport.h"
#include "util/MiscFuncUnit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using namespace testing_support;

class CopyTemplate : public ::testing::Test {
  protected:
    ScratchFolder folder;
    const std::string source = folder / "uindex.dat";
    const std::string target = folder / "abcdef.html";

    // The target written from a template with the given content.
    std::string Filled(const std::string& content, const std::string& mark,
                       const std::string& value) {
        WriteText(source, content);
        EXPECT_TRUE(misc::CopyTemplate(source, target, mark, value));
        return ReadText(target);
    }
};

TEST_F(CopyTemplate, EveryLineEndingBecomesCrLf) {
    EXPECT_EQ(Filled("a\nb\n", "#K#", "x"), "a\r\nb\r\n");
    EXPECT_EQ(Filled("a\rb\r", "#K#", "x"), "a\r\nb\r\n");
    EXPECT_EQ(Filled("a\r\nb\r\n", "#K#", "x"), "a\r\nb\r\n");
    EXPECT_EQ(Filled("a\n\r\nb\r\rc\n\n", "#K#", "x"), "a\r\n\r\nb\r\n\r\nc\r\n\r\n");
}

TEST_F(CopyTemplate, LastLineWithoutBreakGetsOne) {
    EXPECT_EQ(Filled("<p>#K#</p>", "#K#", "key"), "<p>key</p>\r\n");
    EXPECT_EQ(Filled("", "#K#", "key"), "");
}

TEST_F(CopyTemplate, NulEndsTheText) {
    EXPECT_EQ(Filled(std::string("one\ntw\0o\nthree\n", 16), "#K#", "x"), "one\r\ntw\r\n");
}

TEST_F(CopyTemplate, ReplacesEveryMarkLeftToRightWithoutRescanning) {
    EXPECT_EQ(Filled("#K# and #K##K#\n#K#", "#K#", "v"), "v and vv\r\nv\r\n");
    // A value that contains the mark is not replaced again.
    EXPECT_EQ(Filled("[#K#]", "#K#", "#K##K#"), "[#K##K#]\r\n");
    // Overlapping candidates: the leftmost wins, the scan goes on after it.
    EXPECT_EQ(Filled("aaa", "aa", "b"), "ba\r\n");
    // Case matters.
    EXPECT_EQ(Filled("#k# #K#", "#K#", "v"), "#k# v\r\n");
}

TEST_F(CopyTemplate, EmptyValueRemovesTheMark) {
    EXPECT_EQ(Filled("x#K#y#K#z\n#K#\n", "#K#", ""), "xyz\r\n\r\n");
}

TEST_F(CopyTemplate, LineBreaksInTheValueAreNormalisedToo) {
    EXPECT_EQ(Filled("<ul>#K#</ul>\n", "#K#", "\n<li>a</li>\r<li>b</li>\n"),
              "<ul>\r\n<li>a</li>\r\n<li>b</li>\r\n</ul>\r\n");
}

TEST_F(CopyTemplate, BytesPassUnchanged) {
    const std::string utf8 = "\u00e9t\u00e9 \U0001F600 \xff\xfe";
    EXPECT_EQ(Filled(utf8 + "#K#", "#K#", "\u65e5"), utf8 + "\u65e5\r\n");
}

TEST_F(CopyTemplate, OverwritesAnExistingTarget) {
    WriteText(target, "an old page that was much longer than the new one\n");
    EXPECT_EQ(Filled("new", "#K#", "x"), "new\r\n");
    EXPECT_EQ(NamesIn(folder.Path()), (std::vector<std::string>{"abcdef.html", "uindex.dat"}));
}

TEST_F(CopyTemplate, MissingTemplateWritesNothing) {
    WriteText(target, "kept");
    EXPECT_FALSE(misc::CopyTemplate(folder / "missing.dat", target, "#K#", "x"));
    EXPECT_EQ(ReadText(target), "kept");
    EXPECT_FALSE(misc::CopyTemplate(folder / "missing.dat", folder / "new.html", "#K#", "x"));
    EXPECT_FALSE(std::filesystem::exists(folder / "new.html"));
    // A folder is no template either.
    std::filesystem::create_directory(folder / "dir.dat");
    EXPECT_FALSE(misc::CopyTemplate(folder / "dir.dat", folder / "new.html", "#K#", "x"));
    EXPECT_FALSE(std::filesystem::exists(folder / "new.html"));
}

TEST_F(CopyTemplate, UnreadableTemplateThrowsNamingIt) {
    // A link to itself is an entry that no one can open, root included.
    std::filesystem::create_symlink("loop.dat", folder / "loop.dat");
    try {
        misc::CopyTemplate(folder / "loop.dat", target, "#K#", "x");
        FAIL() << "no error for an unreadable template";
    } catch (const misc::FileError& error) {
        EXPECT_NE(std::string(error.what()).find(folder / "loop.dat"), std::string::npos)
            << error.what();
    }
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(CopyTemplate, UnwritableTargetThrowsNamingIt) {
    WriteText(source, "page");
    const std::string nowhere = folder / "missing/abcdef.html";
    try {
        misc::CopyTemplate(source, nowhere, "#K#", "x");
        FAIL() << "no error for a target in a missing folder";
    } catch (const misc::FileError& error) {
        EXPECT_NE(std::string(error.what()).find(nowhere), std::string::npos) << error.what();
    }
    WriteText(target, "read-only page");
    ::chmod(target.c_str(), 0444);
    EXPECT_THROW(misc::CopyTemplate(source, target, "#K#", "x"), misc::FileError);
    EXPECT_EQ(ReadText(target), "read-only page");
    std::filesystem::create_directory(folder / "dir.html");
    EXPECT_THROW(misc::CopyTemplate(source, folder / "dir.html", "#K#", "x"), misc::FileError);
}

TEST_F(CopyTemplate, FullDiskLeavesTheOldPageWhole) {
    WriteText(source, std::string(200000, 'p') + "#K#");
    WriteText(target, "old page");
    int result = RunInChild([&] {
        LimitFileSize(8192);
        try {
            misc::CopyTemplate(source, target, "#K#", "x");
        } catch (const misc::FileError&) {
            return 0;
        }
        return 1;
    });
    EXPECT_EQ(result, 0) << "a page write past a full disk was not reported";
    EXPECT_EQ(ReadText(target), "old page");
    EXPECT_EQ(NamesIn(folder.Path()), (std::vector<std::string>{"abcdef.html", "uindex.dat"}));
}

TEST_F(CopyTemplate, EmptyMarkCopiesPlainlyAndAlwaysSaysTrue) {
    WriteText(source, "bytes\nas\rthey are");
    EXPECT_TRUE(misc::CopyTemplate(source, target, "", ""));
    EXPECT_EQ(ReadText(target), "bytes\nas\rthey are");
    // Failures are swallowed: missing source, hidden or read-only target.
    WriteText(target, "kept");
    EXPECT_TRUE(misc::CopyTemplate(folder / "missing.dat", target, "", ""));
    EXPECT_EQ(ReadText(target), "kept");
    WriteText(folder / ".hidden.html", "hidden");
    EXPECT_TRUE(misc::CopyTemplate(source, folder / ".hidden.html", "", ""));
    EXPECT_EQ(ReadText(folder / ".hidden.html"), "hidden");
    ::chmod(target.c_str(), 0444);
    EXPECT_TRUE(misc::CopyTemplate(source, target, "", ""));
    EXPECT_EQ(ReadText(target), "kept");
}

} // namespace
