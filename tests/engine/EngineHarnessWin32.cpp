// The engine harness for the Windows build: the engine started with
// CreateProcess and stopped through the platform's stop request, raw HTTP
// over Winsock on loopback.

#include "EngineHarness.h"
#include "EngineHarnessSocket.h"
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

std::string EngineProgram() {
    return TESSARY_ENGINE_PROGRAM;
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

ProgramRun RunEngineOnce(const fs::path& work, const std::vector<std::string>& arguments,
                         std::optional<std::chrono::milliseconds> stopAfter,
                         const std::string& program) {
    ProgramRun run;
    const fs::path errors = work / "engine-errors.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE errorFile = CreateFileW(errors.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (errorFile == INVALID_HANDLE_VALUE) {
        return run;
    }
    std::string commandLine = "\"" + program + "\"";
    for (const auto& argument : arguments) {
        commandLine += " \"" + argument + "\"";
    }
    std::wstring line = Wide(commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = errorFile;
    startup.hStdError = errorFile;
    PROCESS_INFORMATION info{};
    const bool started = CreateProcessW(Wide(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, work.c_str(), &startup, &info);
    CloseHandle(errorFile);
    if (!started) {
        return run;
    }
    CloseHandle(info.hThread);
    if (stopAfter && WaitForSingleObject(info.hProcess, static_cast<DWORD>(stopAfter->count())) ==
                         WAIT_TIMEOUT) {
        platform::SendSignal(static_cast<int>(info.dwProcessId), platform::Signal::Terminate);
    }
    DWORD code = 0;
    if (WaitForSingleObject(info.hProcess, 30000) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(info.hProcess, &code)) {
        run.status = static_cast<int>(code);
    }
    CloseHandle(info.hProcess);
    run.errors = ReadFile(errors);
    fs::remove(errors);
    return run;
}
std::string KillToolProgram() {
    return TESSARY_KILLTOOL_PROGRAM;
}

Engine::Engine(StartOptions options) : options_(std::move(options)) {
    fs::create_directories(WebRoot() / "u/ufiles");
    fs::create_directories(WebRoot() / "d/dfiles");
    if (!Start()) {
        throw std::runtime_error("the engine did not start");
    }
}

Engine::~Engine() {
    if (pid_ > 0) {
        Terminate(5000);
    }
}

bool Engine::Start() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = options_.port.value_or(FreePort());
        const std::string program = options_.program.empty() ? EngineProgram() : options_.program;
        std::string commandLine = "\"" + program + "\" " + Key + " .\\wdoc --port " +
                                  std::to_string(port_) + " --bind 127.0.0.1";
        if (options_.timeoutSeconds) {
            commandLine += " --timeout " + std::to_string(*options_.timeoutSeconds);
        }
        if (options_.minReplyRate) {
            commandLine += " --min-reply-rate " + std::to_string(*options_.minReplyRate);
        }
        std::wstring line = Wide(commandLine);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(Wide(program).c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            Work().c_str(), &startup, &info)) {
            return false;
        }
        CloseHandle(info.hThread);
        pid_ = static_cast<int>(info.dwProcessId);
        exited_ = false;
        reaper_ = std::thread([this, process = info.hProcess] {
            WaitForSingleObject(process, INFINITE);
            DWORD code = 0;
            GetExitCodeProcess(process, &code);
            CloseHandle(process);
            status_ = static_cast<int>(code);
            exited_ = true;
        });
        // Up once it accepts a connection (a takeover may take a few seconds).
        for (int wait = 0; wait < 500 && !exited_; ++wait) {
            Connection probe(port_);
            if (probe.IsOpen()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Terminate(2000);
        if (options_.port) {
            return false;
        }
    }
    return false;
}

bool Engine::Running() const {
    return pid_ > 0 && !exited_;
}

std::optional<int> Engine::Terminate(int timeoutMs, int* elapsedMs) {
    if (pid_ <= 0) {
        return std::nullopt;
    }
    const auto start = std::chrono::steady_clock::now();
    if (!exited_) {
        platform::SendSignal(pid_, platform::Signal::Terminate);
    }
    while (!exited_ &&
           std::chrono::steady_clock::now() - start < std::chrono::milliseconds(timeoutMs)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool inTime = exited_;
    if (elapsedMs != nullptr) {
        *elapsedMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
    }
    if (!inTime) {
        platform::SendSignal(pid_, platform::Signal::Kill);
    }
    reaper_.join();
    pid_ = -1;
    if (!inTime) {
        return std::nullopt;
    }
    return status_.load();
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

Connection::Connection(std::uint16_t port) : Connection(port, std::string()) {}

Connection::Connection(std::uint16_t port, const std::string& sourceAddress) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        return;
    }
    fd_ = static_cast<int>(s);
    if (!sourceAddress.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (inet_pton(AF_INET, sourceAddress.c_str(), &source.sin_addr) != 1 ||
            bind(s, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            Close();
            return;
        }
    }
    sockaddr_in address = Loopback(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Close();
    }
}

Connection::~Connection() {
    Close();
}

void Connection::Close() {
    if (fd_ >= 0) {
        closesocket(Socket(fd_));
        fd_ = -1;
    }
}

bool Connection::Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 1 << 20));
        const int n = send(Socket(fd_), bytes.data() + sent, chunk, 0);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

namespace detail {

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
