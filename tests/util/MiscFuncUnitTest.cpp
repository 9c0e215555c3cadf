#include "util/MiscFuncUnit.h"

#include "TestSupport.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <set>
#include <span>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace testing_support;

TEST(SizeToText, UnitBordersAndRounding) {
    const std::pair<std::int64_t, const char*> table[] = {
        {0, "0 Bytes"},
        {1, "1 Bytes"},
        {1024, "1024 Bytes"},
        {1025, "1 KB"},
        {1152, "1.13 KB"}, // 1.125: a half rounds away from zero
        {1536, "1.5 KB"},
        {1048575, "1024 KB"},
        {1048576, "1024 KB"},
        {1048577, "1 MB"},
        {5000000, "4.77 MB"},
        {123456789, "117.74 MB"},
        {1073741824, "1024 MB"},
        {5368709120, "5 GB"},
        {(1LL << 40) + (1LL << 39), "1.5 TB"},
        {-1, "-1 Bytes"},
        {-5000, "-5000 Bytes"},
        {INT64_MAX, "8 EB"},
        {INT64_MIN, "-9223372036854775808 Bytes"},
    };
    for (const auto& [size, text] : table) {
        EXPECT_EQ(misc::SizeToText(size), text) << size;
    }
}

TEST(SizeToText, DecimalPointWhateverTheLocale) {
    // The page shows "." as decimal separator and no thousands separator; the
    // C++ locale must not matter. scripts/deps.sh generates both locales:
    // German writes "1.024,5", British English "1,024.5".
    for (const char* name : {"de_DE.UTF-8", "en_GB.UTF-8"}) {
        std::locale user;
        ASSERT_NO_THROW(user = std::locale(name)) << name << ": run scripts/deps.sh";
        ASSERT_EQ(std::use_facet<std::numpunct<char>>(user).grouping().empty(), false) << name;
        const std::locale previous = std::locale::global(user);
        EXPECT_EQ(misc::SizeToText(1536), "1.5 KB") << name;
        EXPECT_EQ(misc::SizeToText(5000000), "4.77 MB") << name;
        EXPECT_EQ(misc::SizeToText(1024), "1024 Bytes") << name;
        EXPECT_EQ(misc::SizeToText(-5000), "-5000 Bytes") << name;
        std::locale::global(previous);
    }
}

TEST(AddressToHex, FourPartsAtLeastTwoDigitsEach) {
    EXPECT_EQ(misc::AddressToHex("192.168.1.20"), "C0A80114");
    EXPECT_EQ(misc::AddressToHex("10.0.0.7"), "0A000007");
    EXPECT_EQ(misc::AddressToHex("300.1.2.3"), "12C010203");
    EXPECT_EQ(misc::AddressToHex("1.2.3.4.5.6"), "01020304");
    // A part that is not a number counts as 0.
    EXPECT_EQ(misc::AddressToHex("a.1x.. "), "00000000");
    EXPECT_EQ(misc::AddressToHex("1.2.3."), "01020300");
}

TEST(AddressToHex, FewerThanFourPartsThrows) {
    EXPECT_THROW(misc::AddressToHex("192.168.1"), misc::ListIndexError);
    EXPECT_THROW(misc::AddressToHex(""), misc::ListIndexError);
    EXPECT_THROW(misc::AddressToHex("localhost"), misc::ListIndexError);
}

TEST(ShortDisplayName, CutsStemsOverTwentyCharacters) {
    EXPECT_EQ(misc::ShortDisplayName("abcdefghijklmnopqrstu.jpg"), "abcdefghijklmnop....jpg");
    EXPECT_EQ(misc::ShortDisplayName("abcdefghijklmnopqrst.jpg"), "abcdefghijklmnopqrst.jpg");
    EXPECT_EQ(misc::ShortDisplayName("abcdefghijklmnopqrstu"), "abcdefghijklmnop...");
    EXPECT_EQ(misc::ShortDisplayName("abcdefghijklmnopqrst"), "abcdefghijklmnopqrst");
    // The extension is what follows the last dot; it is never cut.
    EXPECT_EQ(misc::ShortDisplayName("a.very.long.archive.name.tar.gz"), "a.very.long.arch....gz");
    EXPECT_EQ(misc::ShortDisplayName(".profile"), ".profile");
    EXPECT_EQ(misc::ShortDisplayName(""), "");
}

TEST(ShortDisplayName, CountsCharactersNotBytes) {
    // 20 two-byte characters stay whole although they take 40 bytes.
    std::string twenty;
    for (int i = 0; i < 20; ++i) {
        twenty += "\u00e9";
    }
    EXPECT_EQ(misc::ShortDisplayName(twenty + ".jpg"), twenty + ".jpg");
    // 21 characters mixing one-, two-, three- and four-byte sequences.
    const std::string stem = "\u65e5\u672c\u8a9e\U0001F600abc\u00e9\u00e9\u00e9defghijklmno";
    const std::string first16 = "\u65e5\u672c\u8a9e\U0001F600abc\u00e9\u00e9\u00e9defghi";
    EXPECT_EQ(misc::ShortDisplayName(stem + ".png"), first16 + "....png");
}

class UniqueName : public ::testing::Test {
  protected:
    ScratchFolder folder;
};

TEST_F(UniqueName, FreeNameComesBackWithQuestionMarksReplaced) {
    EXPECT_EQ(misc::MakeUniqueName(folder / "a.txt"), folder / "a.txt");
    EXPECT_EQ(misc::MakeUniqueName(folder / "wh?t?.txt"), folder / "wh_t_.txt");
}

TEST_F(UniqueName, TakenNamesGetTheNextNumberWithoutBlank) {
    WriteText(folder / "a.txt", "");
    EXPECT_EQ(misc::MakeUniqueName(folder / "a.txt"), folder / "a(1).txt");
    WriteText(folder / "a(1).txt", "");
    WriteText(folder / "a(2).txt", "");
    EXPECT_EQ(misc::MakeUniqueName(folder / "a.txt"), folder / "a(3).txt");
    WriteText(folder / "q_.txt", "");
    EXPECT_EQ(misc::MakeUniqueName(folder / "q?.txt"), folder / "q_(1).txt");
}

TEST_F(UniqueName, ExtensionRulesAndFolders) {
    WriteText(folder / "README", "");
    EXPECT_EQ(misc::MakeUniqueName(folder / "README"), folder / "README(1)");
    WriteText(folder / ".profile", "");
    EXPECT_EQ(misc::MakeUniqueName(folder / ".profile"), folder / "(1).profile");
    WriteText(folder / "archive.tar.gz", "");
    EXPECT_EQ(misc::MakeUniqueName(folder / "archive.tar.gz"), folder / "archive.tar(1).gz");
    // A dot in a folder name is no extension.
    std::filesystem::create_directory(folder / "in.box");
    WriteText(folder / "in.box/notes", "");
    EXPECT_EQ(misc::MakeUniqueName(folder / "in.box/notes"), folder / "in.box/notes(1)");
}

TEST_F(UniqueName, AQuestionMarkInAFolderNameStays) {
    // A folder name may hold "?" here; only the file name is changed.
    std::filesystem::create_directory(folder / "in?box");
    EXPECT_EQ(misc::MakeUniqueName(folder / "in?box/a?.txt"), folder / "in?box/a_.txt");
    WriteText(folder / "in?box/a_.txt", "");
    EXPECT_EQ(misc::MakeUniqueName(folder / "in?box/a?.txt"), folder / "in?box/a_(1).txt");
    EXPECT_EQ(misc::MakeUniqueName(folder / "in?box/b.txt"), folder / "in?box/b.txt");
}

TEST_F(UniqueName, FolderOfThatNameDoesNotCountAsTaken) {
    std::filesystem::create_directory(folder / "a.txt");
    EXPECT_EQ(misc::MakeUniqueName(folder / "a.txt"), folder / "a.txt");
}

class InUse : public ::testing::Test {
  protected:
    ScratchFolder folder;
};

TEST_F(InUse, NothingThereIsNotInUse) {
    EXPECT_FALSE(misc::IsFileInUse(folder / "gone.jpg"));
    std::filesystem::create_directory(folder / "dir");
    EXPECT_FALSE(misc::IsFileInUse(folder / "dir"));
}

TEST_F(InUse, FreeFileIsNotInUseAndReadOnlyIs) {
    WriteText(folder / "free.jpg", "x");
    EXPECT_FALSE(misc::IsFileInUse(folder / "free.jpg"));
    WriteText(folder / "ro.jpg", "x");
    ::chmod((folder / "ro.jpg").c_str(), 0444);
    // Root may write it, but it is read-only all the same.
    EXPECT_TRUE(misc::IsFileInUse(folder / "ro.jpg"));
}

TEST_F(InUse, FileLockedByAnotherProcessUntilItLetsGo) {
    const std::string upload = folder / "upload.mp4";
    HeldInChild engine([&]() -> std::shared_ptr<void> {
        // What the engine does while it writes an upload.
        auto file = platform::LockedFile::CreateNew(upload);
        if (!file || !file->Append(std::string(1000, 'v'))) {
            return nullptr;
        }
        return std::make_shared<platform::LockedFile>(std::move(*file));
    });
    ASSERT_TRUE(engine.Holding());
    EXPECT_TRUE(misc::IsFileInUse(upload));
    engine.Release();
    EXPECT_FALSE(misc::IsFileInUse(upload));
}

TEST(FileSizeOf, SizesAndMissingFiles) {
    ScratchFolder folder;
    WriteText(folder / "small", "12345");
    EXPECT_EQ(misc::FileSizeOf(folder / "small"), 5);
    EXPECT_EQ(misc::FileSizeOf(folder / "missing"), -1);
    { std::ofstream out(folder / "big"); }
    std::filesystem::resize_file(folder / "big", 5LL << 30); // sparse
    EXPECT_EQ(misc::FileSizeOf(folder / "big"), 5368709120LL);
    EXPECT_EQ(misc::SizeToText(misc::FileSizeOf(folder / "big")), "5 GB");
}

TEST(DeleteFileQuietly, DeletesFilesOnlyAndNeverThrows) {
    ScratchFolder folder;
    WriteText(folder / "f", "x");
    std::filesystem::create_directory(folder / "d");
    misc::DeleteFileQuietly(folder / "f");
    misc::DeleteFileQuietly(folder / "d");
    misc::DeleteFileQuietly(folder / "missing");
    misc::DeleteFileQuietly("");
    EXPECT_FALSE(std::filesystem::exists(folder / "f"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "d"));
}

TEST(RandomLetters, SixLowerCaseLettersThatVary) {
    std::set<std::string> seen;
    std::set<char> letters;
    for (int i = 0; i < 200; ++i) {
        std::string drawn = misc::RandomLetters();
        ASSERT_EQ(drawn.size(), 6u);
        for (char c : drawn) {
            ASSERT_TRUE(c >= 'a' && c <= 'z') << drawn;
            letters.insert(c);
        }
        seen.insert(drawn);
    }
    EXPECT_GT(seen.size(), 190u);
    EXPECT_EQ(letters.size(), 26u);
}

TEST(RandomLetters, EachByteBelow234GivesALetterAndTheRestAreDrawnAgain) {
    // 234 = 9 * 26: a byte from there up would favour "a" to "v".
    std::vector<std::vector<unsigned char>> draws = {
        {234, 255, 0, 25, 26, 233, 240, 51, 250, 251, 252, 253, 254, 255, 244, 245},
        {52, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}};
    std::size_t drawn = 0;
    const misc::RandomSource scripted = [&](std::span<unsigned char> bytes) {
        const auto& next = draws.at(drawn++);
        std::fill(bytes.begin(), bytes.end(), 255);
        std::copy_n(next.begin(), std::min(next.size(), bytes.size()), bytes.begin());
        return true;
    };
    EXPECT_EQ(misc::RandomLetters(scripted), "azazza");
    EXPECT_EQ(drawn, 2u);
}

TEST(RandomLetters, AFailingSourceIsAnErrorNotAWeakKey) {
    const misc::RandomSource failing = [](std::span<unsigned char>) { return false; };
    EXPECT_THROW(misc::RandomLetters(failing), std::runtime_error);
}

TEST(RandomLetters, EveryLetterEquallyLikely) {
    std::array<int, 26> counts{};
    constexpr int Draws = 10000;
    for (int i = 0; i < Draws; ++i) {
        for (char c : misc::RandomLetters()) {
            ++counts[static_cast<std::size_t>(c - 'a')];
        }
    }
    // Chi-square with 25 degrees of freedom; 80 is exceeded by chance about
    // once in a hundred million runs, while a bias of a few percent on some
    // letters exceeds it at once.
    const double expected = Draws * 6.0 / 26.0;
    double chiSquare = 0;
    for (const int count : counts) {
        chiSquare += (count - expected) * (count - expected) / expected;
    }
    EXPECT_LT(chiSquare, 80.0);
}

TEST(MakeTempFileName, FreeDatNameInTheTemporaryFolder) {
    ScratchFolder folder;
    const char* old = std::getenv("TMPDIR");
    std::string saved = old != nullptr ? old : "";
    // Without a trailing delimiter: TempFolder adds it.
    ::setenv("TMPDIR", folder.Path().substr(0, folder.Path().size() - 1).c_str(), 1);
    EXPECT_EQ(misc::TempFolder(), folder.Path());
    std::string name = misc::MakeTempFileName();
    if (old != nullptr) {
        ::setenv("TMPDIR", saved.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
    EXPECT_EQ(misc::ExtractFilePath(name), folder.Path());
    EXPECT_EQ(misc::ExtractFileName(name).size(), 10u);
    EXPECT_EQ(misc::ExtractFileExt(name), ".dat");
    EXPECT_FALSE(std::filesystem::exists(name)); // named, not created
}

TEST(Folders, EnsureFolderCreatesParentsAndSwallowsFailures) {
    ScratchFolder folder;
    misc::EnsureFolder(folder / "Tessary/20261209/");
    EXPECT_TRUE(std::filesystem::is_directory(folder / "Tessary/20261209"));
    WriteText(folder / "file", "x");
    EXPECT_NO_THROW(misc::EnsureFolder(folder / "file/sub/"));
    EXPECT_NO_THROW(misc::EnsureFolder(""));
}

TEST(Folders, KnownFoldersEndInADelimiter) {
    ScratchFolder folder;
    const char* old = std::getenv("XDG_DATA_HOME");
    std::string saved = old != nullptr ? old : "";
    ::setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
    EXPECT_EQ(misc::GetAppDataFolder(), folder / "data/");
    if (old != nullptr) {
        ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
    EXPECT_EQ(misc::GetDocumentsFolder().back(), '/');
}

TEST(PathHelpers, SplitLikeTheToolkit) {
    EXPECT_EQ(misc::ExtractFileExt("/in/photo.jpg"), ".jpg");
    EXPECT_EQ(misc::ExtractFileExt("/in/archive.tar.gz"), ".gz");
    EXPECT_EQ(misc::ExtractFileExt("/in/README"), "");
    EXPECT_EQ(misc::ExtractFileExt("/in/.profile"), ".profile");
    EXPECT_EQ(misc::ExtractFileExt("/in.d/README"), "");
    EXPECT_EQ(misc::ExtractFileExt("name."), ".");
    EXPECT_EQ(misc::ExtractFileName("/in/photo.jpg"), "photo.jpg");
    EXPECT_EQ(misc::ExtractFileName("photo.jpg"), "photo.jpg");
    EXPECT_EQ(misc::ExtractFileName("/in/"), "");
    EXPECT_EQ(misc::ExtractFilePath("/in/photo.jpg"), "/in/");
    EXPECT_EQ(misc::ExtractFilePath("photo.jpg"), "");
    EXPECT_EQ(misc::IncludeTrailingDelimiter("/in"), "/in/");
    EXPECT_EQ(misc::IncludeTrailingDelimiter("/in/"), "/in/");
    EXPECT_EQ(misc::IncludeTrailingDelimiter(""), "/");
}

TEST(TextHelpers, TrimAndCutKeepUtf8Whole) {
    EXPECT_EQ(misc::Trim(" \t\r\n /home/me/In \x01\n"), "/home/me/In");
    EXPECT_EQ(misc::Trim("   "), "");
    EXPECT_EQ(misc::Trim("\u00e9t\u00e9"), "\u00e9t\u00e9");
    EXPECT_EQ(misc::CutUtf8Bytes("abcdef", 4), "abcd");
    EXPECT_EQ(misc::CutUtf8Bytes("abc", 255), "abc");
    // "a" + a three-byte character: a cut after 2 or 3 bytes drops it whole.
    EXPECT_EQ(misc::CutUtf8Bytes("a\u65e5b", 2), "a");
    EXPECT_EQ(misc::CutUtf8Bytes("a\u65e5b", 3), "a");
    EXPECT_EQ(misc::CutUtf8Bytes("a\u65e5b", 4), "a\u65e5");
    EXPECT_EQ(misc::CutUtf8Bytes("\U0001F600", 0), "");
}

} // namespace
