// Shared names, copies with progress and file identity on Windows (under Wine
// here).

#include "Win32TestSupport.h"
#include "platform/platform.h"

#include <algorithm>
#include <gtest/gtest.h>

using win32_testing::Names;
using win32_testing::ReadText;
using win32_testing::ScratchFolder;
using win32_testing::Wide;
using win32_testing::WriteText;

namespace {

std::string Bytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7919) >> 3);
    return bytes;
}

} // namespace

TEST(Win32HardLink, OneFileTwoNamesNeverReplacing) {
    ScratchFolder scratch;
    WriteText(scratch / "photo.jpg", "first");
    WriteText(scratch / "taken.jpg", "other");
    EXPECT_FALSE(platform::HardLinkFile(scratch / "photo.jpg", scratch / "taken.jpg"));
    EXPECT_EQ(ReadText(scratch / "taken.jpg"), "other");
    ASSERT_TRUE(platform::HardLinkFile(scratch / "photo.jpg", scratch / "published.jpg"));
    // Deleting one name leaves the other whole.
    ASSERT_TRUE(platform::DeleteFile(scratch / "photo.jpg"));
    EXPECT_EQ(ReadText(scratch / "published.jpg"), "first");
    EXPECT_FALSE(platform::HardLinkFile(scratch.Path(), scratch / "folder-link"));
    EXPECT_FALSE(platform::HardLinkFile(scratch / "missing", scratch / "x"));
    EXPECT_EQ(Names(scratch.Path()), (std::vector<std::string>{"published.jpg", "taken.jpg"}));
}

TEST(Win32SameFileSystem, OneVolumeOrNot) {
    ScratchFolder scratch;
    WriteText(scratch / "a", "a");
    EXPECT_TRUE(platform::SameFileSystem(scratch / "a", scratch.Path()));
    EXPECT_FALSE(platform::SameFileSystem(scratch / "a", scratch / "missing"));
    // Wine maps the prefix's drive C: and the whole Unix tree as Z:, two
    // volumes for Windows even where both lie on one Unix file system.
    if (::GetDriveTypeW(L"Z:\\") == DRIVE_NO_ROOT_DIR)
        GTEST_SKIP() << "no second drive Z: here";
    ScratchFolder onZ("Z:\\tmp\\");
    if (std::tolower(static_cast<unsigned char>(scratch.Path()[0])) == 'z')
        GTEST_SKIP() << "the temporary folder is on Z: already";
    EXPECT_FALSE(platform::SameFileSystem(scratch.Path(), onZ.Path()));
}

TEST(Win32Clone, NoSharedDataSoNoTarget) {
    ScratchFolder scratch;
    WriteText(scratch / "a", "bytes");
    EXPECT_FALSE(platform::CloneFile(scratch / "a", scratch / "b"));
    EXPECT_EQ(Names(scratch.Path()), std::vector<std::string>{"a"});
}

TEST(Win32Copy, ProgressIsToldAndAnAbandonedCopyLeavesNothing) {
    ScratchFolder scratch;
    const std::string content = Bytes(20 << 20);
    WriteText(scratch / "big", content);
    std::vector<std::int64_t> told;
    std::int64_t totalTold = 0;
    ASSERT_TRUE(platform::CopyFile(scratch / "big", scratch / "copy",
                                   platform::CopyMode::FailIfExists, false,
                                   [&](std::int64_t done, std::int64_t total) {
                                       told.push_back(done);
                                       totalTold = total;
                                       return true;
                                   }));
    EXPECT_TRUE(ReadText(scratch / "copy") == content);
    ASSERT_FALSE(told.empty());
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
    EXPECT_EQ(told.back(), static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(totalTold, static_cast<std::int64_t>(content.size()));

    int calls = 0;
    EXPECT_FALSE(platform::CopyFile(scratch / "big", scratch / "abandoned",
                                    platform::CopyMode::FailIfExists, true,
                                    [&](std::int64_t, std::int64_t) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(Names(scratch.Path()), (std::vector<std::string>{"big", "copy"}));
}

TEST(Win32Move, AnAbandonedMoveAcrossVolumesKeepsTheSourceWhole) {
    // Wine renames between its drives where Unix can; a tmpfs is another
    // Unix file system, so a move there takes the copying path.
    if (::GetFileAttributesW(L"Z:\\dev\\shm") == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "no Z:\\dev\\shm here";
    ScratchFolder onC;
    ScratchFolder onZ("Z:\\dev\\shm\\");
    const std::string content = Bytes(12 << 20);
    WriteText(onC / "video.mp4", content);
    EXPECT_FALSE(platform::MoveFileNoReplace(onC / "video.mp4", onZ / "video.mp4",
                                             [](std::int64_t, std::int64_t) { return false; }));
    EXPECT_TRUE(ReadText(onC / "video.mp4") == content);
    EXPECT_TRUE(Names(onZ.Path()).empty());

    std::int64_t last = 0;
    ASSERT_TRUE(platform::MoveFileNoReplace(onC / "video.mp4", onZ / "video.mp4",
                                            [&](std::int64_t done, std::int64_t) {
                                                last = done;
                                                return true;
                                            }));
    EXPECT_EQ(last, static_cast<std::int64_t>(content.size()));
    EXPECT_TRUE(ReadText(onZ / "video.mp4") == content);
    EXPECT_FALSE(platform::FileExists(onC / "video.mp4"));
}

TEST(Win32ReadOnlyFile, TellsWhenTheContentLastChanged) {
    ScratchFolder scratch;
    WriteText(scratch / "page.html", "<html>");
    {
        // 2021-03-04 05:06:07.1234567 UTC, in 100 ns steps since 1601.
        HANDLE file = ::CreateFileW(Wide(scratch / "page.html").c_str(), FILE_WRITE_ATTRIBUTES, 0,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        const std::uint64_t ticks = 132593079671234567ULL;
        FILETIME written{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        EXPECT_TRUE(::SetFileTime(file, nullptr, nullptr, &written));
        ::CloseHandle(file);
    }
    const auto file = platform::ReadOnlyFile::Open(scratch / "page.html");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->ModifiedNs(), 1614834367123456700LL);
}
