// The engine harness's system calls on Windows: CreateProcess, Winsock on
// loopback; no small disks.

#include "EngineHarness.h"
#include "EngineHarnessSystem.h"
#include "platform/platform.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

// Winsock first (windows.h would bring the old one), psapi.h last.
#include <winsock2.h>
#include <ws2tcpip.h>
// (kept apart so the order stays)
#include <windows.h>
// (kept apart so the order stays)
#include <psapi.h>

namespace fs = std::filesystem;

namespace enginetest {
namespace {

// Winsock for the whole test program.
struct SocketLibrary {
    SocketLibrary() {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~SocketLibrary() { WSACleanup(); }
};
const SocketLibrary socketLibrary;

SOCKET Socket(int fd) {
    return static_cast<SOCKET>(fd);
}

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    std::wstring out(
        static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0)),
        L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), static_cast<int>(out.size()));
    return out;
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

} // namespace

TempFolder::TempFolder() {
    const auto guid = platform::NewGuidText();
    if (!guid) {
        throw std::runtime_error("cannot name a temporary folder");
    }
    path_ = fs::path(Wide(platform::TempFolder())) / ("tessary-engine-" + guid->substr(1, 8));
    if (!fs::create_directory(path_)) {
        throw std::runtime_error("cannot create a temporary folder");
    }
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(path_, ignored)) {
        SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    fs::remove_all(path_, ignored);
}

std::uint16_t FreePort() {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    int length = sizeof address;
    std::uint16_t port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    closesocket(s);
    return port;
}

std::string EnterPrivateMountNamespace() {
    return "Windows has no mount namespaces to give a test a small disk of its own";
}

Listener::Listener() {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    socket_ = static_cast<std::intptr_t>(s);
    sockaddr_in address = Loopback(0);
    int length = sizeof address;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(s, 4) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
}

Listener::~Listener() {
    if (static_cast<SOCKET>(socket_) != INVALID_SOCKET) {
        closesocket(static_cast<SOCKET>(socket_));
    }
}

long Engine::PeakRssKiB() const {
    HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid_));
    if (process == nullptr) {
        return -1;
    }
    PROCESS_MEMORY_COUNTERS counters{};
    const bool ok = GetProcessMemoryInfo(process, &counters, sizeof counters);
    CloseHandle(process);
    return ok ? static_cast<long>(counters.PeakWorkingSetSize / 1024) : -1;
}

namespace detail {

Child::Child(const std::string& program, const std::vector<std::string>& arguments,
             const fs::path& work, const fs::path& errorsTo, std::uint64_t /*fileSizeLimit*/) {
    std::string commandLine = "\"" + program + "\"";
    for (const auto& argument : arguments) {
        commandLine += " \"" + argument + "\"";
    }
    std::wstring line = Wide(commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    HANDLE errorFile = INVALID_HANDLE_VALUE;
    if (!errorsTo.empty()) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        errorFile = CreateFileW(errorsTo.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (errorFile == INVALID_HANDLE_VALUE) {
            return;
        }
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = INVALID_HANDLE_VALUE;
        startup.hStdOutput = errorFile;
        startup.hStdError = errorFile;
    }
    PROCESS_INFORMATION info{};
    const bool started = CreateProcessW(Wide(program).c_str(), line.data(), nullptr, nullptr,
                                        errorFile != INVALID_HANDLE_VALUE, 0, nullptr, work.c_str(),
                                        &startup, &info);
    if (errorFile != INVALID_HANDLE_VALUE) {
        CloseHandle(errorFile);
    }
    if (!started) {
        return;
    }
    CloseHandle(info.hThread);
    pid_ = static_cast<int>(info.dwProcessId);
    handle_ = reinterpret_cast<std::intptr_t>(info.hProcess);
}

Child::~Child() {
    if (pid_ > 0) {
        const HANDLE process = reinterpret_cast<HANDLE>(handle_);
        if (!waited_) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
        }
        CloseHandle(process);
    }
}

std::optional<int> Child::Wait(std::optional<std::chrono::milliseconds> limit) {
    const HANDLE process = reinterpret_cast<HANDLE>(handle_);
    DWORD code = 0;
    if (WaitForSingleObject(process, limit ? static_cast<DWORD>(limit->count()) : INFINITE) !=
            WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process, &code)) {
        return std::nullopt;
    }
    waited_ = true;
    return static_cast<int>(code);
}

std::vector<fs::path> MountSmallDisks(const fs::path&, std::uint64_t, const fs::path&,
                                      std::uint64_t) {
    // No small disks here: the tests that need one skip (EnterPrivateMountNamespace).
    return {};
}

void UnmountSmallDisks(const std::vector<fs::path>&) {}

int ConnectLoopback(std::uint16_t port, const std::string& sourceAddress) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        return -1;
    }
    if (!sourceAddress.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (inet_pton(AF_INET, sourceAddress.c_str(), &source.sin_addr) != 1 ||
            bind(s, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            closesocket(s);
            return -1;
        }
    }
    sockaddr_in address = Loopback(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return -1;
    }
    return static_cast<int>(s);
}

int SendSome(int fd, const char* bytes, std::size_t size) {
    return send(Socket(fd), bytes, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
}

void CloseSocket(int fd) {
    closesocket(Socket(fd));
}

int ReadSome(int fd, char* buffer, int size, int timeoutMs) {
    WSAPOLLFD entry{Socket(fd), POLLRDNORM, 0};
    if (WSAPoll(&entry, 1, timeoutMs) <= 0) {
        return ReadTimedOut;
    }
    const int n = recv(Socket(fd), buffer, size, 0);
    return n < 0 ? -1 : n;
}

} // namespace detail

} // namespace enginetest
