// The file and name utilities on Windows: backslash paths, file names that
// differ in case only, and files held open by another process.

#include "Win32TestSupport.h"
#include "platform/platform.h"
#include "util/IniProfile.h"
#include "util/MiscFuncUnit.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using win32_testing::Child;
using win32_testing::ReadText;
using win32_testing::ScratchFolder;
using win32_testing::WaitUntil;
using win32_testing::WriteText;

TEST(UniqueNameWin32, TakenNamesAreFoundWhateverTheirCase) {
    ScratchFolder folder;
    WriteText(folder / "Photo.JPG", "");
    // The file system does not tell case apart, so "photo.jpg" is taken.
    EXPECT_EQ(misc::MakeUniqueName(folder / "photo.jpg"), folder / "photo(1).jpg");
    EXPECT_EQ(misc::MakeUniqueName(folder / "wh?t.txt"), folder / "wh_t.txt");
    ASSERT_TRUE(platform::CreateFolderTree(folder / "in.box"));
    WriteText(folder / "in.box\\notes", "");
    EXPECT_EQ(misc::MakeUniqueName(folder / "in.box\\notes"), folder / "in.box\\notes(1)");
}

TEST(InUseWin32, FileHeldByAnotherProcessUntilItLetsGo) {
    ScratchFolder folder;
    const std::string file = folder / "IMG_0001.jpg";
    WriteText(file, "jpeg");
    EXPECT_FALSE(misc::IsFileInUse(file));
    EXPECT_FALSE(misc::IsFileInUse(folder / "gone.jpg"));

    Child holder({"hold", file, folder / "release"});
    ASSERT_TRUE(holder.Started());
    ASSERT_TRUE(WaitUntil([&] { return platform::FileExists(file + ".held"); }, 20s));
    EXPECT_TRUE(misc::IsFileInUse(file));
    WriteText(folder / "release", "");
    EXPECT_EQ(holder.Wait(20s), 0);
    EXPECT_FALSE(misc::IsFileInUse(file));

    ASSERT_TRUE(platform::SetAttributes(file, platform::AttrReadOnly));
    EXPECT_TRUE(misc::IsFileInUse(file));
    ASSERT_TRUE(platform::SetAttributes(file, 0));
}

TEST(CopyTemplateWin32, LinesEndInCrLfAndGuardedTargetsAreRefused) {
    ScratchFolder folder;
    WriteText(folder / "uindex.dat", "<p>##PCNAME##</p>\n<p>x</p>");
    ASSERT_TRUE(misc::CopyTemplate(folder / "uindex.dat", folder / "page.html", "##PCNAME##", ""));
    EXPECT_EQ(ReadText(folder / "page.html"), "<p></p>\r\n<p>x</p>\r\n");

    WriteText(folder / "hidden.html", "keep");
    ASSERT_TRUE(platform::SetAttributes(folder / "hidden.html", platform::AttrHidden));
    // A plain copy reports true whatever happened but leaves a hidden target.
    EXPECT_TRUE(misc::CopyTemplate(folder / "uindex.dat", folder / "hidden.html", "", ""));
    ASSERT_TRUE(platform::SetAttributes(folder / "hidden.html", 0));
    EXPECT_EQ(ReadText(folder / "hidden.html"), "keep");
}

TEST(FoldersWin32, PathsUseBackslashes) {
    EXPECT_EQ(misc::TempFolder().back(), '\\');
    EXPECT_EQ(misc::GetAppDataFolder().back(), '\\');
    EXPECT_EQ(misc::GetDocumentsFolder().back(), '\\');
    EXPECT_EQ(misc::ExtractFilePath("C:\\in\\photo.jpg"), "C:\\in\\");
    EXPECT_EQ(misc::ExtractFileName("C:\\in\\photo.jpg"), "photo.jpg");
    EXPECT_EQ(misc::ExtractFileExt("C:\\in.d\\README"), "");
    EXPECT_EQ(misc::IncludeTrailingDelimiter("C:\\in"), "C:\\in\\");

    const std::string name = misc::MakeTempFileName();
    EXPECT_EQ(misc::ExtractFilePath(name), misc::TempFolder());
    EXPECT_EQ(misc::ExtractFileExt(name), ".dat");
    EXPECT_FALSE(platform::FileExists(name));
}

TEST(FileSizeOfWin32, SizesAndMissingFiles) {
    ScratchFolder folder;
    WriteText(folder / "five", "12345");
    EXPECT_EQ(misc::FileSizeOf(folder / "five"), 5);
    EXPECT_EQ(misc::FileSizeOf(folder / "missing"), -1);
    misc::DeleteFileQuietly(folder / "five");
    EXPECT_FALSE(platform::FileExists(folder / "five"));
    EXPECT_NO_THROW(misc::DeleteFileQuietly(folder / "five"));
}

TEST(ProfileWin32, TheUpdateReplyIsReadUnderANameOutsideTheCodePage) {
    // A user folder named in Cyrillic and Greek: no ANSI code page spells both.
    ScratchFolder base;
    ASSERT_TRUE(platform::CreateFolderTree(base / "\xD0\x96\xCE\xA9"));
    const std::string reply = base / "\xD0\x96\xCE\xA9\\update.ini";
    WriteText(reply, "[update]\r\nversion=3.11\r\n");
    EXPECT_EQ(ini::ReadProfileString(reply, "update", "version", "none"), "3.11");
}

TEST(UniqueNameWin32, ALongNameInADeepReceivingFolderIsCutToAPathWindowsCanOpen) {
    ScratchFolder base;
    const std::string deep = base / (std::string(100, 'r') + "\\");
    ASSERT_TRUE(platform::CreateFolderTree(deep));
    const std::string wanted = deep + std::string(246, 'n') + ".jpg";
    const std::string first = misc::MakeUniqueName(wanted);
    EXPECT_TRUE(first.ends_with("n.jpg")) << first;
    EXPECT_EQ(first.rfind(deep, 0), 0u);
    EXPECT_LT(first.size() + 6, 260u) << first.size();
    WriteText(first, "taken");
    const std::string second = misc::MakeUniqueName(wanted);
    EXPECT_TRUE(second.ends_with("(1).jpg")) << second;
    EXPECT_LT(second.size(), 260u);
}
