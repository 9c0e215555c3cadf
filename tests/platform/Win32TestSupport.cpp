#include "Win32TestSupport.h"

#include "TextFiles.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <shellapi.h>
#include <stdexcept>
#include <winsock2.h>

namespace win32_testing {

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    std::wstring out(
        static_cast<std::size_t>(::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0)),
        L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), static_cast<int>(out.size()));
    return out;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    std::string out(static_cast<std::size_t>(::WideCharToMultiByte(CP_UTF8, 0, text.data(), size,
                                                                   nullptr, 0, nullptr, nullptr)),
                    '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), static_cast<int>(out.size()),
                          nullptr, nullptr);
    return out;
}

ScratchFolder::ScratchFolder(const std::string& base) {
    const std::string root = base.empty() ? platform::TempFolder() : base;
    const auto guid = platform::NewGuidText();
    if (!guid)
        throw std::runtime_error("no GUID for a scratch folder name");
    path_ = root + "tessary-test-" + guid->substr(1, 8) + "\\";
    if (!::CreateDirectoryW(Wide(path_).c_str(), nullptr))
        throw std::runtime_error("cannot create the scratch folder " + path_);
}

ScratchFolder::~ScratchFolder() {
    // Attributes cleared first so hidden and read-only leftovers go too.
    std::wstring pattern = Wide(path_) + L"*";
    WIN32_FIND_DATAW data{};
    HANDLE find = ::FindFirstFileW(pattern.c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = Wide(path_) + name;
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                SHFILEOPSTRUCTW operation{};
                std::wstring from = path + L'\0';
                operation.wFunc = FO_DELETE;
                operation.pFrom = from.c_str();
                operation.fFlags = FOF_NO_UI;
                ::SHFileOperationW(&operation);
            } else {
                ::DeleteFileW(path.c_str());
            }
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(Wide(path_).c_str());
}

// The names are UTF-8; a narrow std::filesystem::path would read them in
// the ANSI code page.
void WriteText(const std::string& path, const std::string& content) {
    testsupport::WriteText(Wide(path), content);
}

std::string ReadText(const std::string& path) {
    return testsupport::ReadText(Wide(path));
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry :
         platform::ListFolder(folder).value_or(std::vector<platform::FolderEntry>{}))
        if (entry.name != "." && entry.name != "..")
            names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// Quoted by the rules the child's command-line reader undoes.
std::wstring Quoted(const std::wstring& argument) {
    std::wstring out = L"\"";
    std::size_t slashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

} // namespace

Child::Child(const std::vector<std::string>& arguments, const std::string& programFile) {
    const std::wstring program =
        Wide(programFile.empty() ? platform::ExecutablePath() : programFile);
    std::wstring commandLine = Quoted(program);
    for (const std::string& argument : arguments)
        commandLine += L" " + Quoted(Wide(argument));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                         nullptr, &startup, &info)) {
        ::CloseHandle(info.hThread);
        process_ = info.hProcess;
        pid_ = info.dwProcessId;
    }
}

Child::~Child() {
    if (process_ == nullptr)
        return;
    if (::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process_, 99);
        ::WaitForSingleObject(process_, 5000);
    }
    ::CloseHandle(process_);
}

int Child::Wait(std::chrono::milliseconds timeout) {
    if (process_ == nullptr ||
        ::WaitForSingleObject(process_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    return static_cast<int>(code);
}

int RunChildRole(int argc, char** argv) {
    const std::string role = argv[1];
    if (role == "hold" && argc == 4) {
        HANDLE file = ::CreateFileW(Wide(argv[2]).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return 2;
        WriteText(std::string(argv[2]) + ".held", "held");
        WaitUntil([&] { return platform::FileExists(argv[3]); }, std::chrono::seconds(30));
        ::CloseHandle(file);
        return 0;
    }
    if (role == "wait-stop" && argc == 3) {
        platform::HoldStopSignals();
        WriteText(argv[2], "ready");
        for (int i = 0; i < 300; ++i)
            if (platform::WaitForStopSignal(std::chrono::milliseconds(100)))
                return 0;
        return 3;
    }
    if (role == "touch" && argc >= 3) {
        std::string lines;
        for (int i = 3; i < argc; ++i)
            lines += std::string(argv[i]) + "\n";
        WriteText(argv[2], lines);
        return 0;
    }
    if (role == "sleep") {
        ::Sleep(30000);
        return 0;
    }
    if (role == "watch-stop" && argc == 4) {
        std::atomic<bool> seen{false};
        {
            platform::StopRequestWatch watch([&] { seen.store(true); });
            if (!watch.IsWatching())
                return 2;
            WriteText(argv[2], "ready");
            if (!WaitUntil([&] { return seen.load(); }, std::chrono::seconds(30)))
                return 3;
            WriteText(argv[3], "seen");
        }
        WriteText(std::string(argv[2]) + ".unwatched", "unwatched");
        ::Sleep(30000);
        return 0;
    }
    if (role == "spawn-watcher" && argc == 3) {
        if (!platform::RunHidden(platform::ExecutablePath(),
                                 "parent-watch \"" + std::string(argv[2]) + "\""))
            return 2;
        return WaitUntil([&] { return ReadText(argv[2]) == "n"; }, std::chrono::seconds(30)) ? 0
                                                                                             : 3;
    }
    if (role == "parent-watch" && argc == 3) {
        const platform::ParentProcessWatch parent;
        WriteText(argv[2], parent.ParentHasEnded() ? "y" : "n");
        if (!WaitUntil([&] { return parent.ParentHasEnded(); }, std::chrono::seconds(30)))
            return 3;
        WriteText(argv[2], "ny");
        return 0;
    }
    if (role == "listen" && argc == 3) {
        WSADATA data{};
        if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
            return 2;
        const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        int size = sizeof address;
        if (listener == INVALID_SOCKET ||
            ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 4) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return 2;
        WriteText(argv[2], std::to_string(::ntohs(address.sin_port)));
        ::Sleep(30000);
        ::closesocket(listener);
        return 0;
    }
    return 64;
}

} // namespace win32_testing
