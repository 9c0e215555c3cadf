#include "TestSupport.h"
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

namespace {

using namespace platform;
using namespace testing_support;

class Files : public ::testing::Test {
  protected:
    ScratchFolder folder;
};

TEST_F(Files, ExistenceTellsFilesFromFolders) {
    WriteText(folder / "f", "x");
    std::filesystem::create_directory(folder / "d");
    std::filesystem::create_symlink(folder / "d", folder / "link-to-folder");
    std::filesystem::create_symlink(folder / "f", folder / "link-to-file");
    std::filesystem::create_symlink("nowhere", folder / "dangling");

    EXPECT_TRUE(FileExists(folder / "f"));
    EXPECT_FALSE(FolderExists(folder / "f"));
    EXPECT_FALSE(FileExists(folder / "d"));
    EXPECT_TRUE(FolderExists(folder / "d"));
    EXPECT_TRUE(FolderExists(folder / "d/"));
    EXPECT_FALSE(FileExists(folder / "link-to-folder"));
    EXPECT_TRUE(FolderExists(folder / "link-to-folder"));
    EXPECT_TRUE(FileExists(folder / "link-to-file"));
    // A dangling link still occupies its name.
    EXPECT_TRUE(FileExists(folder / "dangling"));
    EXPECT_FALSE(FileExists(folder / "missing"));
    EXPECT_FALSE(FileExists(folder / "f/below"));
    EXPECT_FALSE(FileExists(""));
    EXPECT_FALSE(FolderExists(""));
}

TEST_F(Files, CreateFolderTreeMakesEveryParent) {
    EXPECT_TRUE(CreateFolderTree(folder / "a/b//c/"));
    EXPECT_TRUE(FolderExists(folder / "a/b/c"));
    EXPECT_TRUE(CreateFolderTree(folder / "a/b/c")); // already there
    WriteText(folder / "file", "x");
    EXPECT_FALSE(CreateFolderTree(folder / "file/sub"));
    EXPECT_FALSE(CreateFolderTree(folder / "file"));
    EXPECT_FALSE(CreateFolderTree(""));
}

TEST_F(Files, QueryFileGivesSizeTimeAndFollowsLinks) {
    WriteText(folder / "f", std::string(1234, 'x'));
    const auto stamp = std::chrono::system_clock::time_point(std::chrono::seconds(1'600'000'000)) +
                       std::chrono::microseconds(250);
    std::filesystem::last_write_time(folder / "f", std::chrono::file_clock::from_sys(stamp));
    auto info = QueryFile(folder / "f");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->size, 1234);
    EXPECT_EQ(info->lastWrite, stamp);
    EXPECT_EQ(info->attributes, AttrArchive);

    std::filesystem::create_symlink(folder / "f", folder / "link");
    EXPECT_EQ(QueryFile(folder / "link")->size, 1234);
    std::filesystem::create_directory(folder / "d");
    EXPECT_EQ(QueryFile(folder / "d")->size, 0);
    EXPECT_EQ(QueryFile(folder / "missing"), std::nullopt);
}

TEST_F(Files, QueryFileHandlesSizesBeyond32Bits) {
    { std::ofstream out(folder / "big"); }
    // Sparse: takes no space.
    std::filesystem::resize_file(folder / "big", 5LL << 30);
    EXPECT_EQ(QueryFile(folder / "big")->size, 5368709120LL);
}

TEST_F(Files, ListFolderShowsEveryEntryKindWithDotEntries) {
    WriteText(folder / "file.txt", "hello");
    WriteText(folder / ".hidden", "");
    std::filesystem::create_directory(folder / "sub");
    std::filesystem::create_symlink("file.txt", folder / "link");
    ::mkfifo((folder / "pipe").c_str(), 0644);

    auto entries = ListFolder(folder.Path());
    ASSERT_TRUE(entries);
    std::map<std::string, FolderEntry> byName;
    for (const auto& entry : *entries) {
        byName[entry.name] = entry;
    }
    ASSERT_EQ(byName.size(), 7u);
    EXPECT_EQ(byName["."].attributes, AttrDirectory);
    EXPECT_EQ(byName[".."].attributes & AttrDirectory, AttrDirectory);
    EXPECT_EQ(byName["file.txt"].attributes, AttrArchive);
    EXPECT_EQ(byName["file.txt"].size, 5);
    EXPECT_EQ(byName["file.txt"].lastWrite, QueryFile(folder / "file.txt")->lastWrite);
    EXPECT_EQ(byName[".hidden"].attributes, AttrHidden | AttrArchive);
    EXPECT_EQ(byName["sub"].attributes, AttrDirectory);
    EXPECT_EQ(byName["sub"].size, 0);
    // The link is listed as itself, not as the file it points to.
    EXPECT_EQ(byName["link"].attributes & (AttrSystem | AttrArchive), AttrSystem);
    EXPECT_EQ(byName["link"].size, 0);
    EXPECT_EQ(byName["pipe"].attributes & AttrSystem, AttrSystem);

    EXPECT_EQ(ListFolder(folder / "missing"), std::nullopt);
    EXPECT_EQ(ListFolder(folder / "file.txt"), std::nullopt);
}

TEST_F(Files, DeleteFileRemovesFilesAndLinksButNotFolders) {
    WriteText(folder / "f", "x");
    std::filesystem::create_directory(folder / "d");
    std::filesystem::create_symlink(folder / "d", folder / "link");
    EXPECT_TRUE(DeleteFile(folder / "f"));
    EXPECT_FALSE(std::filesystem::exists(folder / "f"));
    EXPECT_TRUE(DeleteFile(folder / "f")); // gone already
    EXPECT_FALSE(DeleteFile(folder / "d"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "d"));
    EXPECT_TRUE(DeleteFile(folder / "link"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "d"));
}

TEST_F(Files, WriteFileAtomicallyReplacesWholeAndLeavesNoTemporary) {
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(folder / "page.html", "old", error)) << error;
    ASSERT_TRUE(WriteFileAtomically(folder / "page.html", "new content", error)) << error;
    EXPECT_EQ(ReadText(folder / "page.html"), "new content");
    EXPECT_EQ(NamesIn(folder.Path()), std::vector<std::string>{"page.html"});
    auto back = ReadFileContents(folder / "page.html", error);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, "new content");
}

TEST_F(Files, WriteFileAtomicallyFailureKeepsOldContent) {
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(folder / "page.html", "old", error));
    int result = RunInChild([&] {
        LimitFileSize(4096);
        std::string childError;
        return WriteFileAtomically(folder / "page.html", std::string(100000, 'n'), childError) ? 1
                                                                                               : 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadText(folder / "page.html"), "old");
    EXPECT_EQ(NamesIn(folder.Path()), std::vector<std::string>{"page.html"});

    EXPECT_FALSE(WriteFileAtomically(folder / "missing/page.html", "x", error));
    EXPECT_FALSE(error.empty());
}

TEST_F(Files, ReadFileContentsReportsWhy) {
    std::string error;
    EXPECT_EQ(ReadFileContents(folder / "missing", error), std::nullopt);
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    std::filesystem::create_directory(folder / "d");
    EXPECT_EQ(ReadFileContents(folder / "d", error), std::nullopt);
    EXPECT_NE(error.find("directory"), std::string::npos) << error;
    WriteText(folder / "bin", std::string("a\0b", 3));
    EXPECT_EQ(ReadFileContents(folder / "bin", error), std::string("a\0b", 3));
}

TEST_F(Files, CanonicalPathResolvesLinksAndDots) {
    std::filesystem::create_directories(folder / "a/b");
    std::filesystem::create_symlink(folder / "a/b", folder / "l");
    auto real = CanonicalPath(folder.Path());
    ASSERT_TRUE(real);
    EXPECT_EQ(CanonicalPath(folder / "l/../b/."), *real + "/a/b");
    EXPECT_EQ(CanonicalPath(folder / "missing"), std::nullopt);
}

TEST_F(Files, FreeSpaceIsKnownForExistingPaths) {
    auto free = FreeSpace(folder.Path());
    ASSERT_TRUE(free);
    EXPECT_GT(*free, 0);
    EXPECT_EQ(FreeSpace(folder / "missing/deeper"), std::nullopt);
}

} // namespace
