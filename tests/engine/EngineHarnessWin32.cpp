// The engine harness for the Windows build: the engine started with
// CreateProcess and stopped through the platform's stop request, raw HTTP
// over Winsock on loopback.

#include "EngineHarness.h"
#include "platform/platform.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
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

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string Pattern(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes) {
        c = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

std::vector<std::string> FileNames(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_regular_file()) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
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

Reply Connection::Receive(bool headRequest, int timeoutMs) {
    Reply reply;
    std::string data = std::move(pending_);
    pending_.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto readMore = [&] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || fd_ < 0) {
            return false;
        }
        WSAPOLLFD entry{Socket(fd_), POLLRDNORM, 0};
        if (WSAPoll(&entry, 1, static_cast<int>(left)) <= 0) {
            return false;
        }
        char buffer[65536];
        const int n = recv(Socket(fd_), buffer, sizeof buffer, 0);
        if (n <= 0) {
            return false;
        }
        data.append(buffer, static_cast<std::size_t>(n));
        return true;
    };
    std::size_t headerEnd;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
        if (!readMore()) {
            return reply;
        }
    }
    std::istringstream head(data.substr(0, headerEnd));
    std::string line;
    std::getline(head, line);
    if (line.size() < 12) {
        return reply;
    }
    reply.status = std::stoi(line.substr(9, 3));
    reply.received = true;
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        reply.headers[name] = value;
    }
    std::string rest = data.substr(headerEnd + 4);
    const auto length = reply.headers.find("content-length");
    if (headRequest || reply.status == 204 || reply.status == 304) {
        pending_ = rest;
        return reply;
    }
    if (length != reply.headers.end()) {
        const std::size_t want = std::stoull(length->second);
        data = std::move(rest);
        while (data.size() < want && readMore()) {
        }
        reply.body = data.substr(0, std::min(want, data.size()));
        if (data.size() > want) {
            pending_ = data.substr(want);
        }
        return reply;
    }
    data = std::move(rest);
    while (readMore()) {
    }
    reply.body = data;
    return reply;
}

bool Connection::ClosedByPeer(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        WSAPOLLFD entry{Socket(fd_), POLLRDNORM, 0};
        if (WSAPoll(&entry, 1, 50) > 0) {
            char buffer[4096];
            const int n = recv(Socket(fd_), buffer, sizeof buffer, 0);
            if (n <= 0) {
                return true;
            }
        }
    }
    return false;
}

Reply Request(std::uint16_t port, const std::string& method, const std::string& target,
              const std::string& body, const std::vector<std::string>& headers) {
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto& header : headers) {
        request += header + "\r\n";
    }
    if (!body.empty() || method == "POST") {
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    request += "Connection: close\r\n\r\n" + body;
    return RawRequest(port, request, method == "HEAD");
}

Reply RawRequest(std::uint16_t port, const std::string& bytes, bool headRequest,
                 const char* source) {
    Connection connection(port, source != nullptr ? std::string(source) : std::string());
    if (!connection.IsOpen()) {
        return {};
    }
    // A server may answer and close before taking all of an oversized request.
    connection.Send(bytes);
    return connection.Receive(headRequest);
}

std::string MultipartBody(const std::vector<FilePart>& parts, const std::string& boundary) {
    std::string body;
    for (const auto& part : parts) {
        body += "--" + boundary + "\r\n";
        body += "Content-Disposition: form-data; name=\"file\"; filename=\"" + part.name + "\"\r\n";
        body += "Content-Type: application/octet-stream\r\n\r\n";
        body += part.content + "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    return body;
}

std::string SetCookieOf(const Reply& reply) {
    const auto found = reply.headers.find("set-cookie");
    if (found == reply.headers.end()) {
        return {};
    }
    return found->second.substr(0, found->second.find(';'));
}

} // namespace enginetest
