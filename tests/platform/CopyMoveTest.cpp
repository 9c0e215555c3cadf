#include "TestSupport.h"
#include "platform/platform.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <latch>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>

namespace {

using namespace platform;
using namespace testing_support;

const std::string BigContent = [] {
    std::string text(1 << 20, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('a' + i % 23);
    }
    return text;
}();

struct stat StatOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st;
}

void SetOldTime(const std::string& path) {
    timespec times[2] = {{1'500'000'000, 123'456'789}, {1'500'000'000, 123'456'789}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

class Copy : public ::testing::Test {
  protected:
    ScratchFolder folder;
};

TEST_F(Copy, NewTargetGetsContentTimeAndMode) {
    WriteText(folder / "src", BigContent);
    ::chmod((folder / "src").c_str(), 0640);
    SetOldTime(folder / "src");
    ASSERT_TRUE(CopyFile(folder / "src", folder / "dst", CopyMode::FailIfExists));
    EXPECT_EQ(ReadText(folder / "dst"), BigContent);
    EXPECT_EQ(StatOf(folder / "dst").st_mtim.tv_sec, 1'500'000'000);
    EXPECT_EQ(StatOf(folder / "dst").st_mtim.tv_nsec, 123'456'789);
    EXPECT_EQ(StatOf(folder / "dst").st_mode & 0777, 0640u);
    EXPECT_EQ(ReadText(folder / "src"), BigContent);
    EXPECT_EQ(NamesIn(folder.Path()), (std::vector<std::string>{"dst", "src"}));
}

TEST_F(Copy, CarriesDosAttributes) {
    WriteText(folder / "src", "x");
    ASSERT_TRUE(SetAttributes(folder / "src", AttrHidden | AttrArchive));
    ASSERT_TRUE(CopyFile(folder / "src", folder / "dst", CopyMode::FailIfExists));
    EXPECT_EQ(GetAttributes(folder / "dst"), AttrHidden | AttrArchive);
}

TEST_F(Copy, FailIfExistsNeverReplaces) {
    WriteText(folder / "src", "new");
    WriteText(folder / "dst", "precious");
    std::filesystem::create_symlink("nowhere", folder / "dangling");
    EXPECT_FALSE(CopyFile(folder / "src", folder / "dst", CopyMode::FailIfExists));
    EXPECT_EQ(ReadText(folder / "dst"), "precious");
    EXPECT_FALSE(CopyFile(folder / "src", folder / "dangling", CopyMode::FailIfExists));
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "dangling"));
    EXPECT_EQ(NamesIn(folder.Path()), (std::vector<std::string>{"dangling", "dst", "src"}));
}

TEST_F(Copy, OverwriteReplacesAPlainTarget) {
    WriteText(folder / "src", "new");
    WriteText(folder / "dst", "old and longer");
    ASSERT_TRUE(CopyFile(folder / "src", folder / "dst", CopyMode::Overwrite));
    EXPECT_EQ(ReadText(folder / "dst"), "new");
    EXPECT_EQ(NamesIn(folder.Path()), (std::vector<std::string>{"dst", "src"}));
}

TEST_F(Copy, OverwriteRefusesHiddenReadOnlyAndFolderTargets) {
    WriteText(folder / "src", "new");
    WriteText(folder / ".dot", "old");
    WriteText(folder / "marked", "old");
    ASSERT_TRUE(SetAttributes(folder / "marked", AttrHidden | AttrArchive));
    WriteText(folder / "ro", "old");
    ::chmod((folder / "ro").c_str(), 0444);
    std::filesystem::create_directory(folder / "dir");
    for (const char* name : {".dot", "marked", "ro"}) {
        EXPECT_FALSE(CopyFile(folder / "src", folder / name, CopyMode::Overwrite)) << name;
        EXPECT_EQ(ReadText(folder / name), "old") << name;
    }
    EXPECT_FALSE(CopyFile(folder / "src", folder / "dir", CopyMode::Overwrite));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "dir"));
}

TEST_F(Copy, BadSourcesCopyNothing) {
    std::filesystem::create_directory(folder / "dir");
    EXPECT_FALSE(CopyFile(folder / "missing", folder / "dst", CopyMode::Overwrite));
    EXPECT_FALSE(CopyFile(folder / "dir", folder / "dst", CopyMode::FailIfExists));
    WriteText(folder / "src", "x");
    EXPECT_FALSE(CopyFile(folder / "src", folder / "missing/dst", CopyMode::FailIfExists));
    EXPECT_EQ(NamesIn(folder.Path()), (std::vector<std::string>{"dir", "src"}));
}

TEST_F(Copy, FullDiskLeavesNoPartialTarget) {
    WriteText(folder / "src", BigContent);
    WriteText(folder / "old", "old");
    int result = RunInChild([&] {
        LimitFileSize(64 * 1024);
        bool fresh = CopyFile(folder / "src", folder / "new", CopyMode::FailIfExists);
        bool over = CopyFile(folder / "src", folder / "old", CopyMode::Overwrite);
        return (fresh ? 1 : 0) | (over ? 2 : 0);
    });
    EXPECT_EQ(result, 0) << "a copy reported success past a full disk";
    EXPECT_EQ(ReadText(folder / "old"), "old");
    EXPECT_EQ(NamesIn(folder.Path()), (std::vector<std::string>{"old", "src"}));
}

TEST_F(Copy, ProgressCountsUpToTheSizeAndCanAbandonTheCopy) {
    const std::string content = BigContent + BigContent + BigContent; // 3 MiB
    WriteText(folder / "src", content + content + content + content + content + content);
    const auto size = static_cast<std::int64_t>(content.size() * 6);
    std::vector<std::int64_t> seen;
    ASSERT_TRUE(CopyFile(folder / "src", folder / "dst", CopyMode::FailIfExists, false,
                         [&](std::int64_t done, std::int64_t total) {
                             EXPECT_EQ(total, size);
                             seen.push_back(done);
                             return true;
                         }));
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), size);
    EXPECT_EQ(ReadText(folder / "dst"), ReadText(folder / "src"));

    // Abandoned after the first piece: nothing is left, under any name.
    int calls = 0;
    EXPECT_FALSE(CopyFile(folder / "src", folder / "gone", CopyMode::FailIfExists, false,
                          [&](std::int64_t, std::int64_t) { return ++calls < 1; }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(NamesIn(folder.Path()), (std::vector<std::string>{"dst", "src"}));
}

TEST_F(Copy, FifoSourceFailsAtOnceInsteadOfWaitingForAWriter) {
    ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
    // Without care the open waits for a writer for ever and the test times out.
    EXPECT_FALSE(CopyFile(folder / "pipe", folder / "dst", CopyMode::FailIfExists));
    EXPECT_FALSE(CloneFile(folder / "pipe", folder / "dst"));
    EXPECT_FALSE(HardLinkFile(folder / "pipe", folder / "dst"));
    EXPECT_EQ(NamesIn(folder.Path()), std::vector<std::string>{"pipe"});
}

TEST_F(Copy, HardLinkIsTheSameFileUnderASecondName) {
    WriteText(folder / "src", "shared");
    ASSERT_TRUE(HardLinkFile(folder / "src", folder / "link"));
    EXPECT_EQ(StatOf(folder / "link").st_ino, StatOf(folder / "src").st_ino);
    EXPECT_EQ(StatOf(folder / "src").st_nlink, 2u);
    // Deleting the second name leaves the first whole.
    ASSERT_TRUE(DeleteFile(folder / "link"));
    EXPECT_EQ(ReadText(folder / "src"), "shared");
    EXPECT_EQ(StatOf(folder / "src").st_nlink, 1u);
}

TEST_F(Copy, HardLinkNeverReplacesAndLinksTheFileBehindALink) {
    WriteText(folder / "src", "new");
    WriteText(folder / "dst", "precious");
    std::filesystem::create_directory(folder / "dir");
    EXPECT_FALSE(HardLinkFile(folder / "src", folder / "dst"));
    EXPECT_EQ(ReadText(folder / "dst"), "precious");
    EXPECT_FALSE(HardLinkFile(folder / "dir", folder / "dirlink"));
    EXPECT_FALSE(HardLinkFile(folder / "missing", folder / "other"));
    // A relative symbolic link would point nowhere from another folder: the
    // file it names is linked, not the link.
    std::filesystem::create_symlink("src", folder / "alias");
    std::filesystem::create_directory(folder / "sub");
    ASSERT_TRUE(HardLinkFile(folder / "alias", folder / "sub/linked"));
    EXPECT_FALSE(std::filesystem::is_symlink(folder / "sub/linked"));
    EXPECT_EQ(StatOf(folder / "sub/linked").st_ino, StatOf(folder / "src").st_ino);
}

TEST_F(Copy, CloneSharesDataOrLeavesNothing) {
    WriteText(folder / "src", BigContent);
    WriteText(folder / "taken", "precious");
    EXPECT_FALSE(CloneFile(folder / "src", folder / "taken"));
    EXPECT_EQ(ReadText(folder / "taken"), "precious");
    if (!CloneFile(folder / "src", folder / "dst")) {
        EXPECT_EQ(NamesIn(folder.Path()), (std::vector<std::string>{"src", "taken"}));
        GTEST_SKIP() << "this file system offers no reflinks; only the refusal was checked";
    }
    EXPECT_EQ(ReadText(folder / "dst"), BigContent);
    EXPECT_NE(StatOf(folder / "dst").st_ino, StatOf(folder / "src").st_ino);
    // A copy, not a second name: writing one leaves the other as it was.
    WriteText(folder / "dst", "changed");
    EXPECT_EQ(ReadText(folder / "src"), BigContent);
}

TEST_F(Copy, SameFileSystemTellsFoldersApart) {
    std::filesystem::create_directory(folder / "sub");
    WriteText(folder / "sub/file", "x");
    EXPECT_TRUE(SameFileSystem(folder / "sub/file", folder.Path()));
    EXPECT_FALSE(SameFileSystem(folder / "missing", folder.Path()));
    EXPECT_FALSE(SameFileSystem("/proc/self", folder.Path()));
}

// A folder on a file system other than the build tree's, for moves across.
class AcrossFileSystems : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::is_directory("/dev/shm")) {
            GTEST_SKIP() << "no /dev/shm to move across to";
        }
        memory_.emplace("/dev/shm");
        // The build tree is on disk; where it is not writable, the temporary folder.
        for (const char* base : {TESSARY_TEST_DISK_DIR, ""}) {
            try {
                disk_.emplace(base);
            } catch (const std::runtime_error&) {
                continue;
            }
            if (StatOf(memory_->Path()).st_dev != StatOf(disk_->Path()).st_dev) {
                return;
            }
            disk_.reset();
        }
        GTEST_SKIP() << "neither " << TESSARY_TEST_DISK_DIR
                     << " nor the temporary folder is usable on a file system other than "
                        "/dev/shm's; cannot test a move across";
    }
    const ScratchFolder& Memory() const { return *memory_; }
    const ScratchFolder& Disk() const { return *disk_; }

  private:
    std::optional<ScratchFolder> memory_;
    std::optional<ScratchFolder> disk_;
};

TEST_F(AcrossFileSystems, CopyWorks) {
    WriteText(Memory() / "src", BigContent);
    ASSERT_TRUE(CopyFile(Memory() / "src", Disk() / "dst", CopyMode::FailIfExists));
    EXPECT_EQ(ReadText(Disk() / "dst"), BigContent);
}

TEST_F(AcrossFileSystems, NoHardLinkOrCloneAcrossAndNothingLeft) {
    WriteText(Memory() / "src", BigContent);
    EXPECT_FALSE(SameFileSystem(Memory() / "src", Disk().Path()));
    EXPECT_FALSE(HardLinkFile(Memory() / "src", Disk() / "dst"));
    EXPECT_FALSE(CloneFile(Memory() / "src", Disk() / "dst"));
    EXPECT_EQ(NamesIn(Disk().Path()), std::vector<std::string>{});
}

TEST_F(AcrossFileSystems, AbandonedMoveKeepsSourceAndLeavesNoTarget) {
    WriteText(Disk() / "src", BigContent + BigContent + BigContent + BigContent + BigContent +
                                  BigContent + BigContent + BigContent + BigContent + BigContent);
    int calls = 0;
    EXPECT_FALSE(MoveFileNoReplace(Disk() / "src", Memory() / "dst",
                                   [&](std::int64_t, std::int64_t) { return ++calls < 1; }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ReadText(Disk() / "src").size(), BigContent.size() * 10);
    EXPECT_EQ(NamesIn(Memory().Path()), std::vector<std::string>{});
}

TEST_F(AcrossFileSystems, MoveKeepsContentTimeAndModeAndRemovesSource) {
    WriteText(Disk() / "src", BigContent);
    ::chmod((Disk() / "src").c_str(), 0600);
    SetOldTime(Disk() / "src");
    ASSERT_TRUE(MoveFileNoReplace(Disk() / "src", Memory() / "dst"));
    EXPECT_FALSE(std::filesystem::exists(Disk() / "src"));
    EXPECT_EQ(ReadText(Memory() / "dst"), BigContent);
    EXPECT_EQ(StatOf(Memory() / "dst").st_mtim.tv_sec, 1'500'000'000);
    EXPECT_EQ(StatOf(Memory() / "dst").st_mode & 0777, 0600u);
    // And back the other way.
    ASSERT_TRUE(MoveFileNoReplace(Memory() / "dst", Disk() / "back"));
    EXPECT_EQ(ReadText(Disk() / "back"), BigContent);
    EXPECT_EQ(NamesIn(Memory().Path()), std::vector<std::string>{});
}

TEST_F(AcrossFileSystems, MoveNeverReplaces) {
    WriteText(Disk() / "src", "new");
    WriteText(Memory() / "dst", "precious");
    EXPECT_FALSE(MoveFileNoReplace(Disk() / "src", Memory() / "dst"));
    EXPECT_EQ(ReadText(Memory() / "dst"), "precious");
    EXPECT_EQ(ReadText(Disk() / "src"), "new");
    EXPECT_EQ(NamesIn(Memory().Path()), std::vector<std::string>{"dst"});
}

TEST_F(AcrossFileSystems, FailedMoveKeepsSourceAndLeavesNoTarget) {
    WriteText(Disk() / "src", BigContent);
    int result = RunInChild([&] {
        LimitFileSize(64 * 1024);
        return MoveFileNoReplace(Disk() / "src", Memory() / "dst") ? 1 : 0;
    });
    EXPECT_EQ(result, 0) << "a move reported success past a full disk";
    EXPECT_EQ(ReadText(Disk() / "src"), BigContent);
    EXPECT_EQ(NamesIn(Memory().Path()), std::vector<std::string>{});
}

class Move : public ::testing::Test {
  protected:
    ScratchFolder folder;
};

TEST_F(Move, RenamesWithinAFileSystem) {
    WriteText(folder / "src", "content");
    SetOldTime(folder / "src");
    ASSERT_TRUE(MoveFileNoReplace(folder / "src", folder / "dst"));
    EXPECT_EQ(ReadText(folder / "dst"), "content");
    EXPECT_EQ(StatOf(folder / "dst").st_mtim.tv_nsec, 123'456'789);
    EXPECT_EQ(NamesIn(folder.Path()), std::vector<std::string>{"dst"});
    EXPECT_FALSE(MoveFileNoReplace(folder / "missing", folder / "other"));
}

TEST_F(Move, NameTakenAfterItWasChosenIsNotReplaced) {
    WriteText(folder / "upload.jpg", "phone");
    // The name was free when chosen; another program takes it before the move.
    const std::string chosen = folder / "photo.jpg";
    ASSERT_FALSE(std::filesystem::exists(chosen));
    WriteText(chosen, "someone else's");
    EXPECT_FALSE(MoveFileNoReplace(folder / "upload.jpg", chosen));
    EXPECT_EQ(ReadText(chosen), "someone else's");
    EXPECT_EQ(ReadText(folder / "upload.jpg"), "phone");
}

TEST_F(Move, ConcurrentMovesToOneNameLoseNothing) {
    for (int round = 0; round < 100; ++round) {
        const std::string target = folder / ("t" + std::to_string(round));
        WriteText(folder / "a", "A");
        WriteText(folder / "b", "B");
        std::latch start(2);
        bool movedA = false;
        bool movedB = false;
        std::thread first([&] {
            start.arrive_and_wait();
            movedA = MoveFileNoReplace(folder / "a", target);
        });
        std::thread second([&] {
            start.arrive_and_wait();
            movedB = MoveFileNoReplace(folder / "b", target);
        });
        first.join();
        second.join();
        ASSERT_NE(movedA, movedB) << "round " << round;
        EXPECT_EQ(ReadText(target), movedA ? "A" : "B");
        const std::string loser = folder / (movedA ? "b" : "a");
        EXPECT_EQ(ReadText(loser), movedA ? "B" : "A");
        std::filesystem::remove(loser);
    }
}

} // namespace
