// Shared names, copies with progress and file identity on Windows (under Wine
// here).

#include "Win32TestSupport.h"
#include "platform/platform.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>

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

TEST(Win32HardLink, APublishedCopyNeverHoldsTheUsersOwnFile) {
    ScratchFolder scratch;
    WriteText(scratch / "report.docx", "draft");
    // No link on Windows: a copy is what gets published.
    EXPECT_FALSE(platform::HardLinkFile(scratch / "report.docx", scratch / "published.docx"));
    EXPECT_EQ(Names(scratch.Path()), std::vector<std::string>{"report.docx"});
    ASSERT_TRUE(platform::CopyFile(scratch / "report.docx", scratch / "published.docx",
                                   platform::CopyMode::FailIfExists));
    // While a phone downloads the copy, the user's editor opens the original
    // as editors do (no sharing) and saves it...
    auto served = platform::ReadOnlyFile::Open(scratch / "published.docx");
    ASSERT_TRUE(served);
    HANDLE editor = CreateFileW(Wide(scratch / "report.docx").c_str(), GENERIC_READ | GENERIC_WRITE,
                                0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(editor, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(editor, "final", 5, &written, nullptr));
    // ...and the copy still goes at exit while the editor holds the original.
    served.reset();
    EXPECT_TRUE(platform::DeleteFile(scratch / "published.docx"));
    CloseHandle(editor);
    EXPECT_EQ(ReadText(scratch / "report.docx"), "final");
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

TEST(Win32HeldFiles, AFileHeldForAMomentIsMovedReplacedAndDeletedOnceLetGo) {
    ScratchFolder scratch;
    // A scanner opens each file for a moment without sharing anything.
    const auto holdFor = [](const std::string& path, DWORD milliseconds) {
        HANDLE scanner = CreateFileW(Wide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(scanner, INVALID_HANDLE_VALUE) << path;
        return std::thread([scanner, milliseconds] {
            Sleep(milliseconds);
            CloseHandle(scanner);
        });
    };
    WriteText(scratch / "staged.part", "upload");
    std::thread scan = holdFor(scratch / "staged.part", 400);
    EXPECT_TRUE(platform::MoveFileNoReplace(scratch / "staged.part", scratch / "photo.jpg"));
    scan.join();
    EXPECT_EQ(ReadText(scratch / "photo.jpg"), "upload");

    WriteText(scratch / "filelist.html", "old list");
    scan = holdFor(scratch / "filelist.html", 400);
    std::string error;
    EXPECT_TRUE(platform::WriteFileAtomically(scratch / "filelist.html", "new list", error))
        << error;
    scan.join();

    scan = holdFor(scratch / "photo.jpg", 400);
    EXPECT_TRUE(platform::DeleteFile(scratch / "photo.jpg"));
    scan.join();
    EXPECT_EQ(Names(scratch.Path()), std::vector<std::string>{"filelist.html"});

    // A phone downloading the list (served sharing deletion) never stops a
    // rewrite, however long it takes.
    auto served = platform::ReadOnlyFile::Open(scratch / "filelist.html");
    ASSERT_TRUE(served);
    EXPECT_TRUE(platform::WriteFileAtomically(scratch / "filelist.html", "newest list", error))
        << error;
    served.reset();
    EXPECT_EQ(ReadText(scratch / "filelist.html"), "newest list");
}
