#include "TestSupport.h"
#include "platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using namespace platform;
using namespace testing_support;

class Locks : public ::testing::Test {
  protected:
    ScratchFolder folder;
};

TEST_F(Locks, FreeFileOpensExclusively) {
    WriteText(folder / "f", "x");
    EXPECT_TRUE(TryOpenExclusive(folder / "f"));
    // The test itself takes no lock that stays behind.
    EXPECT_TRUE(TryOpenExclusive(folder / "f"));
}

TEST_F(Locks, MissingFolderOrReadOnlyFails) {
    EXPECT_FALSE(TryOpenExclusive(folder / "missing"));
    std::filesystem::create_directory(folder / "d");
    EXPECT_FALSE(TryOpenExclusive(folder / "d"));
    WriteText(folder / "ro", "x");
    ::chmod((folder / "ro").c_str(), 0444);
    // Also when root, who could open it for writing.
    EXPECT_FALSE(TryOpenExclusive(folder / "ro"));
}

TEST_F(Locks, LockedFileBlocksTheTestInThisProcessUntilClosed) {
    auto locked = LockedFile::CreateNew(folder / "upload.bin");
    ASSERT_TRUE(locked);
    EXPECT_FALSE(TryOpenExclusive(folder / "upload.bin"));
    // The lock belongs to the open file: moving the object keeps it.
    LockedFile moved = std::move(*locked);
    EXPECT_FALSE(locked->IsOpen());
    EXPECT_TRUE(moved.IsOpen());
    EXPECT_FALSE(TryOpenExclusive(folder / "upload.bin"));
    moved.Close();
    EXPECT_TRUE(TryOpenExclusive(folder / "upload.bin"));
}

TEST_F(Locks, LockHeldByAnotherProcessIsSeen) {
    WriteText(folder / "f", "x");
    HeldInChild other([&]() -> std::shared_ptr<void> {
        auto held = LockedFile::OpenExisting(folder / "f");
        return held ? std::make_shared<LockedFile>(std::move(*held)) : nullptr;
    });
    ASSERT_TRUE(other.Holding());
    EXPECT_FALSE(TryOpenExclusive(folder / "f"));
    EXPECT_FALSE(LockedFile::OpenExisting(folder / "f"));
    other.Release();
    EXPECT_TRUE(TryOpenExclusive(folder / "f"));
}

TEST_F(Locks, CreateNewNeverReplaces) {
    WriteText(folder / "f", "precious");
    EXPECT_FALSE(LockedFile::CreateNew(folder / "f"));
    EXPECT_EQ(ReadText(folder / "f"), "precious");
    EXPECT_FALSE(LockedFile::OpenExisting(folder / "missing"));
}

TEST_F(Locks, AppendSizeTruncateAndSync) {
    auto file = LockedFile::CreateNew(folder / "f");
    ASSERT_TRUE(file);
    std::string part = "abc";
    EXPECT_TRUE(file->Append(part));
    EXPECT_TRUE(file->Append(std::string(70000, 'z')));
    EXPECT_EQ(file->Size(), 70003);
    EXPECT_TRUE(file->Truncate(2));
    EXPECT_EQ(file->Size(), 2);
    EXPECT_TRUE(file->Sync());
    file->Close();
    EXPECT_EQ(ReadText(folder / "f"), "ab");
    EXPECT_FALSE(file->Append(part));
    EXPECT_EQ(file->Size(), -1);

    auto again = LockedFile::OpenExisting(folder / "f");
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->Append(std::string("cd")));
    again->Close();
    EXPECT_EQ(ReadText(folder / "f"), "abcd");
}

TEST_F(Locks, AppendReportsAFullDisk) {
    int result = RunInChild([&] {
        testing_support::LimitFileSize(1000);
        auto file = LockedFile::CreateNew(folder / "f");
        if (!file) {
            return 2;
        }
        return file->Append(std::string(5000, 'x')) ? 1 : 0;
    });
    EXPECT_EQ(result, 0);
}

TEST_F(Locks, ReadOnlyFileOpensRegularFilesOnly) {
    WriteText(folder / "f", "12345");
    auto file = ReadOnlyFile::Open(folder / "f");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Size(), 5);
    EXPECT_GE(file->NativeHandle(), 0);
    int fd = file->Release();
    EXPECT_EQ(file->NativeHandle(), -1);
    char buffer[8];
    EXPECT_EQ(::read(fd, buffer, sizeof buffer), 5);
    ::close(fd);

    std::filesystem::create_directory(folder / "d");
    EXPECT_FALSE(ReadOnlyFile::Open(folder / "d"));
    ::mkfifo((folder / "pipe").c_str(), 0644);
    EXPECT_FALSE(ReadOnlyFile::Open(folder / "pipe"));
    EXPECT_FALSE(ReadOnlyFile::Open(folder / "missing"));
}

} // namespace
