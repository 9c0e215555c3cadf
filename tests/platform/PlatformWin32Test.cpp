// The Windows platform layer against the real Win32 calls (under Wine here).

#include "Win32TestSupport.h"
#include "platform/platform.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <io.h>
#include <set>
#include <sstream>

using namespace std::chrono_literals;
using win32_testing::Child;
using win32_testing::Names;
using win32_testing::ReadText;
using win32_testing::ScratchFolder;
using win32_testing::WaitUntil;
using win32_testing::Wide;
using win32_testing::WriteText;

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

TEST(Win32Paths, KnownFoldersExistAndEndInABackslash) {
    for (const std::string& folder :
         {platform::DocumentsFolder(), platform::AppDataFolder(), platform::TempFolder()}) {
        ASSERT_FALSE(folder.empty());
        EXPECT_EQ(folder.back(), '\\') << folder;
        EXPECT_EQ(folder[1], ':') << folder; // a full path on a drive
        EXPECT_TRUE(platform::FolderExists(folder)) << folder;
    }
    EXPECT_NE(platform::DocumentsFolder(), platform::AppDataFolder());
    EXPECT_EQ(platform::PathDelimiter, '\\');
    EXPECT_EQ(platform::ExecutableSuffix, ".exe");
}

TEST(Win32Paths, ExecutablePathNamesThisProgram) {
    const std::string path = platform::ExecutablePath();
    EXPECT_TRUE(Lower(path).ends_with("\\platform_win32_tests.exe")) << path;
    EXPECT_TRUE(platform::FileExists(path));
}

TEST(Win32Files, UnicodeNamesSurviveTheRoundTrip) {
    ScratchFolder scratch;
    // Latin, Greek, CJK and an emoji beyond the basic plane.
    const std::string name =
        "Zo\xC3\xAB \xCE\xB1\xCE\xB2 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80.txt";
    std::string error;
    ASSERT_TRUE(platform::WriteFileAtomically(scratch / name, "content", error)) << error;
    EXPECT_EQ(Names(scratch.Path()), std::vector<std::string>{name});
    EXPECT_EQ(platform::ReadFileContents(scratch / name, error).value_or(""), "content");
    EXPECT_EQ(platform::QueryFile(scratch / name)->size, 7);
}

TEST(Win32Files, CreateFolderTreeMakesEveryParent) {
    ScratchFolder scratch;
    const std::string deep = scratch / "a\\b\\c\\";
    EXPECT_TRUE(platform::CreateFolderTree(deep));
    EXPECT_TRUE(platform::FolderExists(scratch / "a\\b\\c"));
    EXPECT_TRUE(platform::CreateFolderTree(deep)); // again: it exists
    WriteText(scratch / "file", "x");
    EXPECT_FALSE(platform::CreateFolderTree(scratch / "file\\sub"));
}

TEST(Win32Files, ListFolderHasDotEntriesAndAttributes) {
    ScratchFolder scratch;
    WriteText(scratch / "plain.txt", "12345");
    WriteText(scratch / "hidden.txt", "h");
    ASSERT_TRUE(platform::CreateFolderTree(scratch / "sub"));
    ASSERT_TRUE(platform::SetAttributes(scratch / "hidden.txt",
                                        platform::AttrHidden | platform::AttrArchive));
    const auto entries = platform::ListFolder(scratch.Path());
    ASSERT_TRUE(entries);
    std::set<std::string> seen;
    for (const auto& entry : *entries) {
        seen.insert(entry.name);
        if (entry.name == "plain.txt") {
            EXPECT_EQ(entry.size, 5);
            EXPECT_EQ(entry.attributes & platform::AttrHidden, 0u);
        } else if (entry.name == "hidden.txt") {
            EXPECT_NE(entry.attributes & platform::AttrHidden, 0u);
        } else if (entry.name == "sub") {
            EXPECT_NE(entry.attributes & platform::AttrDirectory, 0u);
            EXPECT_EQ(entry.size, 0);
        }
    }
    EXPECT_EQ(seen, (std::set<std::string>{".", "..", "plain.txt", "hidden.txt", "sub"}));
    EXPECT_FALSE(platform::ListFolder(scratch / "missing"));
}

TEST(Win32Attributes, HiddenAndReadOnlyRoundTrip) {
    ScratchFolder scratch;
    const std::string file = scratch / "a.txt";
    WriteText(file, "x");
    ASSERT_TRUE(platform::SetAttributes(file, platform::AttrHidden | platform::AttrReadOnly));
    EXPECT_EQ(*platform::GetAttributes(file) & (platform::AttrHidden | platform::AttrReadOnly),
              platform::AttrHidden | platform::AttrReadOnly);
    // What Windows itself says, not only what the layer reads back.
    const DWORD raw = ::GetFileAttributesW(Wide(file).c_str());
    EXPECT_NE(raw & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_NE(raw & FILE_ATTRIBUTE_READONLY, 0u);
    // A read-only file cannot be opened for writing: it counts as in use.
    EXPECT_FALSE(platform::TryOpenExclusive(file));

    ASSERT_TRUE(platform::SetAttributes(file, 0));
    EXPECT_EQ(*platform::GetAttributes(file) & (platform::AttrHidden | platform::AttrReadOnly), 0u);
    EXPECT_TRUE(platform::TryOpenExclusive(file));
    EXPECT_FALSE(platform::GetAttributes(scratch / "missing"));
    EXPECT_NE(*platform::GetAttributes(scratch.Path()) & platform::AttrDirectory, 0u);
}

TEST(Win32InUse, FileHeldOpenByAnotherProcessIsInUseUntilReleased) {
    ScratchFolder scratch;
    const std::string file = scratch / "upload.bin";
    WriteText(file, "data");
    ASSERT_TRUE(platform::TryOpenExclusive(file));

    Child holder({"hold", file, scratch / "release"});
    ASSERT_TRUE(holder.Started());
    ASSERT_TRUE(WaitUntil([&] { return platform::FileExists(file + ".held"); }, 20s));
    EXPECT_FALSE(platform::TryOpenExclusive(file));

    WriteText(scratch / "release", "");
    EXPECT_EQ(holder.Wait(20s), 0);
    EXPECT_TRUE(platform::TryOpenExclusive(file));
    EXPECT_FALSE(platform::TryOpenExclusive(scratch / "missing"));
}

TEST(Win32LockedFile, HeldFileIsInUseAndCanBeMovedWhileHeld) {
    ScratchFolder scratch;
    const std::string staged = scratch / "staged.part";
    auto file = platform::LockedFile::CreateNew(staged);
    ASSERT_TRUE(file);
    EXPECT_FALSE(platform::LockedFile::CreateNew(staged)); // never replaces
    ASSERT_TRUE(file->Append(std::string_view("hello world")));
    EXPECT_EQ(file->Size(), 11);
    ASSERT_TRUE(file->Truncate(5));
    ASSERT_TRUE(file->Append(std::string_view("!!")));
    EXPECT_TRUE(file->Sync());
    EXPECT_EQ(file->Size(), 7);

    EXPECT_FALSE(platform::TryOpenExclusive(staged));
    EXPECT_FALSE(platform::LockedFile::OpenExisting(staged));
    // The engine moves a complete upload into place before it lets go.
    ASSERT_TRUE(platform::MoveFileNoReplace(staged, scratch / "final.txt"));
    EXPECT_FALSE(platform::TryOpenExclusive(scratch / "final.txt"));
    file->Close();
    EXPECT_TRUE(platform::TryOpenExclusive(scratch / "final.txt"));
    EXPECT_EQ(ReadText(scratch / "final.txt"), "hello!!");

    auto again = platform::LockedFile::OpenExisting(scratch / "final.txt");
    ASSERT_TRUE(again);
    ASSERT_TRUE(again->Append(std::string_view("+")));
    again->Close();
    EXPECT_EQ(ReadText(scratch / "final.txt"), "hello!!+");
}

TEST(Win32ReadOnlyFile, OpensRegularFilesOnly) {
    ScratchFolder scratch;
    WriteText(scratch / "page.html", "<html>");
    auto file = platform::ReadOnlyFile::Open(scratch / "page.html");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Size(), 6);
    char buffer[16] = {};
    EXPECT_EQ(::_read(file->NativeHandle(), buffer, sizeof buffer), 6);
    EXPECT_EQ(std::string(buffer, 6), "<html>");
    EXPECT_FALSE(platform::ReadOnlyFile::Open(scratch.Path()));
    EXPECT_FALSE(platform::ReadOnlyFile::Open(scratch / "missing"));
    EXPECT_FALSE(platform::ReadOnlyFile::Open("NUL"));
}

TEST(Win32Copy, FailIfExistsNeverReplacesAndOverwriteSparesHiddenAndReadOnly) {
    ScratchFolder scratch;
    WriteText(scratch / "source", "new");
    WriteText(scratch / "taken", "old");
    EXPECT_FALSE(platform::CopyFile(scratch / "source", scratch / "taken",
                                    platform::CopyMode::FailIfExists));
    EXPECT_EQ(ReadText(scratch / "taken"), "old");
    EXPECT_TRUE(
        platform::CopyFile(scratch / "source", scratch / "free", platform::CopyMode::FailIfExists));
    EXPECT_EQ(ReadText(scratch / "free"), "new");

    EXPECT_TRUE(
        platform::CopyFile(scratch / "source", scratch / "taken", platform::CopyMode::Overwrite));
    EXPECT_EQ(ReadText(scratch / "taken"), "new");

    for (auto attribute : {platform::AttrHidden, platform::AttrReadOnly}) {
        WriteText(scratch / "guarded", "keep");
        ASSERT_TRUE(platform::SetAttributes(scratch / "guarded", attribute));
        EXPECT_FALSE(platform::CopyFile(scratch / "source", scratch / "guarded",
                                        platform::CopyMode::Overwrite));
        ASSERT_TRUE(platform::SetAttributes(scratch / "guarded", 0));
        EXPECT_EQ(ReadText(scratch / "guarded"), "keep");
    }
    EXPECT_FALSE(platform::CopyFile(scratch / "missing", scratch / "other",
                                    platform::CopyMode::FailIfExists));
    // No pending copy is left anywhere.
    EXPECT_EQ(Names(scratch.Path()),
              (std::vector<std::string>{"free", "guarded", "source", "taken"}));
}

TEST(Win32Move, NeverReplacesAndMovesIntoFreeNames) {
    ScratchFolder scratch;
    WriteText(scratch / "a", "first");
    WriteText(scratch / "b", "second");
    EXPECT_FALSE(platform::MoveFileNoReplace(scratch / "a", scratch / "b"));
    EXPECT_EQ(ReadText(scratch / "a"), "first");
    EXPECT_EQ(ReadText(scratch / "b"), "second");
    // Names differing in case only are the same file on Windows.
    EXPECT_FALSE(platform::MoveFileNoReplace(scratch / "a", scratch / "B"));
    EXPECT_TRUE(platform::MoveFileNoReplace(scratch / "a", scratch / "c"));
    EXPECT_FALSE(platform::FileExists(scratch / "a"));
    EXPECT_EQ(ReadText(scratch / "c"), "first");
    EXPECT_FALSE(platform::MoveFileNoReplace(scratch / "missing", scratch / "d"));
}

TEST(Win32Move, AcrossDrivesNeverReplaces) {
    // Wine maps the prefix's drive C: and the whole Unix tree as Z:.
    if (::GetDriveTypeW(L"Z:\\") == DRIVE_NO_ROOT_DIR)
        GTEST_SKIP() << "no second drive Z: here";
    ScratchFolder onC;
    ScratchFolder onZ("Z:\\tmp\\");
    ASSERT_NE(Lower(onC.Path()).substr(0, 2), "z:");
    WriteText(onC / "photo.jpg", "jpeg bytes");
    WriteText(onZ / "taken.jpg", "other");
    EXPECT_FALSE(platform::MoveFileNoReplace(onC / "photo.jpg", onZ / "taken.jpg"));
    EXPECT_EQ(ReadText(onZ / "taken.jpg"), "other");
    EXPECT_EQ(ReadText(onC / "photo.jpg"), "jpeg bytes");

    ASSERT_TRUE(platform::MoveFileNoReplace(onC / "photo.jpg", onZ / "photo.jpg"));
    EXPECT_FALSE(platform::FileExists(onC / "photo.jpg"));
    EXPECT_EQ(ReadText(onZ / "photo.jpg"), "jpeg bytes");
    EXPECT_EQ(Names(onZ.Path()), (std::vector<std::string>{"photo.jpg", "taken.jpg"}));
}

TEST(Win32Files, AtomicWriteReplacesWholeAndDeleteReportsGone) {
    ScratchFolder scratch;
    std::string error;
    ASSERT_TRUE(platform::WriteFileAtomically(scratch / "settings", "one", error));
    ASSERT_TRUE(platform::WriteFileAtomically(scratch / "settings", "two", error));
    EXPECT_EQ(ReadText(scratch / "settings"), "two");
    EXPECT_EQ(Names(scratch.Path()), std::vector<std::string>{"settings"});
    EXPECT_FALSE(platform::WriteFileAtomically(scratch / "no\\such\\folder\\x", "y", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(platform::ReadFileContents(scratch / "missing", error));

    EXPECT_TRUE(platform::DeleteFile(scratch / "settings"));
    EXPECT_FALSE(platform::FileExists(scratch / "settings"));
    EXPECT_TRUE(platform::DeleteFile(scratch / "settings")); // already gone
    EXPECT_TRUE(platform::FreeSpace(scratch.Path()).value_or(0) > 0);
}

TEST(Win32Files, CanonicalPathExpandsShortNamesAndDots) {
    ScratchFolder scratch;
    const std::string longName = "a rather long file name.text";
    WriteText(scratch / longName, "x");
    wchar_t shortPath[MAX_PATH] = {};
    const DWORD length = ::GetShortPathNameW(Wide(scratch / longName).c_str(), shortPath, MAX_PATH);
    ASSERT_GT(length, 0u);
    const std::string shortText = win32_testing::Narrow(shortPath);
    ASSERT_EQ(shortText.find(longName), std::string::npos) << shortText;

    const auto fromShort = platform::CanonicalPath(shortText);
    const auto fromLong = platform::CanonicalPath(scratch / longName);
    ASSERT_TRUE(fromShort && fromLong);
    EXPECT_EQ(*fromShort, *fromLong);
    EXPECT_TRUE(fromShort->ends_with("\\" + longName)) << *fromShort;
    ASSERT_TRUE(platform::CreateFolderTree(scratch / "sub"));
    EXPECT_EQ(platform::CanonicalPath(scratch / "sub\\..\\" + longName).value_or(""), *fromLong);
    EXPECT_FALSE(platform::CanonicalPath(scratch / "missing"));
}

TEST(Win32Registry, SettingRoundTripUnderTheCurrentUser) {
    const std::string key = "Software\\Tessary\\Test-" + platform::NewGuidText().value();
    EXPECT_FALSE(platform::ReadUserSetting(key, "RandomSessionID"));
    const std::string value = "4F2A9C0E5B7D4C1A8E3F6B2D9A0C7E51 \xC3\xA9";
    ASSERT_TRUE(platform::WriteUserSetting(key, "RandomSessionID", value));
    EXPECT_EQ(platform::ReadUserSetting(key, "RandomSessionID").value_or(""), value);
    // Registry names are not case-sensitive, and the leading backslash is optional.
    EXPECT_EQ(platform::ReadUserSetting("\\" + key + "\\", "randomsessionid").value_or(""), value);
    ASSERT_TRUE(platform::WriteUserSetting(key, "RandomSessionID", "second"));
    EXPECT_EQ(platform::ReadUserSetting(key, "RandomSessionID").value_or(""), "second");

    // Stored where the registry keeps it, not anywhere else.
    HKEY handle = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, Wide(key).c_str(), 0, KEY_QUERY_VALUE, &handle),
              ERROR_SUCCESS);
    ::RegCloseKey(handle);
    EXPECT_EQ(::RegDeleteKeyW(HKEY_CURRENT_USER, Wide(key).c_str()), ERROR_SUCCESS);
    EXPECT_FALSE(platform::ReadUserSetting(key, "RandomSessionID"));
}

TEST(Win32Misc, GuidsAreBracedUpperCaseAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const auto guid = platform::NewGuidText();
        ASSERT_TRUE(guid);
        ASSERT_EQ(guid->size(), 38u);
        EXPECT_EQ(guid->front(), '{');
        EXPECT_EQ(guid->back(), '}');
        for (std::size_t j = 1; j < 37; ++j) {
            const char c = (*guid)[j];
            if (j == 9 || j == 14 || j == 19 || j == 24)
                EXPECT_EQ(c, '-');
            else
                EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << *guid;
        }
        seen.insert(*guid);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST(Win32Misc, CounterAndLocalTimeMove) {
    const auto first = platform::PerformanceCounter();
    ::Sleep(20);
    const auto elapsed = platform::PerformanceCounter() - first;
    EXPECT_GE(elapsed, 15'000'000);
    EXPECT_LT(elapsed, 5'000'000'000);
    // 2019-10-06 12:00:00 UTC is that day in every time zone.
    const auto moment = std::chrono::system_clock::time_point(std::chrono::seconds(1570363200));
    const auto local = platform::ToLocalDateTime(moment);
    ASSERT_TRUE(local);
    EXPECT_EQ(local->year, 2019);
    EXPECT_EQ(local->month, 10);
    EXPECT_EQ(local->day, 6);
}

TEST(Win32Processes, StopRequestReachesAWaitingProcess) {
    ScratchFolder scratch;
    Child child({"wait-stop", scratch / "ready"});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(WaitUntil([&] { return platform::FileExists(scratch / "ready"); }, 20s));

    const auto processes = platform::ListProcesses();
    const auto found = std::find_if(processes.begin(), processes.end(),
                                    [&](const auto& p) { return p.pid == child.Pid(); });
    ASSERT_NE(found, processes.end());
    EXPECT_EQ(Lower(found->executable), Lower(platform::ExecutablePath()));
    EXPECT_EQ(found->user, platform::CurrentUserId());
    EXPECT_TRUE(platform::ProcessExists(child.Pid()));

    ASSERT_TRUE(platform::SendSignal(child.Pid(), platform::Signal::Terminate));
    EXPECT_EQ(child.Wait(20s), 0); // it saw the request and ended by itself
    EXPECT_TRUE(WaitUntil([&] { return !platform::ProcessExists(child.Pid()); }, 5s));
}

TEST(Win32Processes, KillEndsAProcessThatIgnoresStopRequests) {
    Child child({"sleep"});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(WaitUntil([&] { return platform::ProcessExists(child.Pid()); }, 5s));
    ASSERT_TRUE(platform::SendSignal(child.Pid(), platform::Signal::Terminate));
    EXPECT_EQ(child.Wait(20s), 1);
    EXPECT_FALSE(platform::SendSignal(0, platform::Signal::Kill));
    EXPECT_FALSE(platform::ProcessExists(0));
}

TEST(Win32Processes, RunHiddenStartsTheProgramInItsFolderWithItsParameters) {
    ScratchFolder scratch;
    // Relative output: it lands in the program's own folder.
    const std::string program = platform::ExecutablePath();
    const std::string folder = program.substr(0, program.find_last_of('\\') + 1);
    const std::string output = "run-hidden-" + platform::NewGuidText()->substr(1, 8) + ".txt";
    ASSERT_TRUE(platform::RunHidden(program, "touch " + output + " \"two words\" x\\\"y"));
    EXPECT_TRUE(WaitUntil([&] { return platform::FileExists(folder + output); }, 20s));
    EXPECT_TRUE(WaitUntil([&] { return ReadText(folder + output) == "two words\nx\"y\n"; }, 5s))
        << ReadText(folder + output);
    platform::DeleteFile(folder + output);
    EXPECT_FALSE(platform::RunHidden(scratch / "missing.exe", ""));
    EXPECT_FALSE(platform::RunHidden("", ""));
}

TEST(Win32Network, LoopbackIsInBothTables) {
    const auto interfaces = platform::ReadInterfaceTable();
    const auto addresses = platform::ReadAddressTable();
    ASSERT_TRUE(interfaces);
    ASSERT_TRUE(addresses);
    EXPECT_TRUE(std::is_sorted(interfaces->begin(), interfaces->end(),
                               [](const auto& a, const auto& b) { return a.index < b.index; }));
    EXPECT_TRUE(std::is_sorted(addresses->begin(), addresses->end(),
                               [](const auto& a, const auto& b) { return a.address < b.address; }));
    const auto loopback = std::find_if(addresses->begin(), addresses->end(),
                                       [](const auto& row) { return row.dotted == "127.0.0.1"; });
    ASSERT_NE(loopback, addresses->end());
    EXPECT_EQ(loopback->address, 0x7F000001u);
    const auto row = std::find_if(interfaces->begin(), interfaces->end(), [&](const auto& r) {
        return r.index == loopback->interfaceIndex;
    });
    ASSERT_NE(row, interfaces->end());
    EXPECT_EQ(row->type, 24); // software loopback
}

TEST(Win32Network, DefaultRoutesLeaveByKnownInterfaces) {
    const auto routes = platform::ReadDefaultRoutes();
    const auto interfaces = platform::ReadInterfaceTable();
    ASSERT_TRUE(routes);
    ASSERT_TRUE(interfaces);
    for (const auto& route : *routes) {
        EXPECT_TRUE(std::any_of(interfaces->begin(), interfaces->end(), [&](const auto& row) {
            return row.index == route.interfaceIndex;
        })) << route.interfaceIndex;
    }
    // Under Wine the host's own table shows through as drive Z:; a default
    // route there ("00000000" destination and mask) must show here too.
    if (::GetDriveTypeW(L"Z:\\") == DRIVE_NO_ROOT_DIR)
        GTEST_SKIP() << "no host file system as Z: here";
    const std::string hostTable = ReadText("Z:\\proc\\net\\route");
    ASSERT_NE(hostTable.find("Destination"), std::string::npos);
    bool hostHasDefault = false;
    std::istringstream lines(hostTable);
    std::string line;
    std::getline(lines, line); // the header
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refCount, use, metric, mask;
        fields >> name >> destination >> gateway >> flags >> refCount >> use >> metric >> mask;
        hostHasDefault = hostHasDefault || (destination == "00000000" && mask == "00000000");
    }
    EXPECT_EQ(!routes->empty(), hostHasDefault) << hostTable;
}

TEST(Win32Signature, AnUnsignedProgramIsNotValid) {
    const unsigned char key[32] = {};
    EXPECT_EQ(platform::VerifyDetachedSignature(platform::ExecutablePath(), key),
              platform::SignatureResult::Invalid);
    ScratchFolder scratch;
    EXPECT_NE(platform::VerifyDetachedSignature(scratch / "missing.exe", key),
              platform::SignatureResult::Valid);
}
