// The parts of the engine harness that are the same on every system: files,
// the engine's runs, and HTTP over a connection (the system's calls are in
// EngineHarnessSystem.h).

#include "EngineHarness.h"
#include "EngineHarnessSystem.h"
#include "Eventually.h"
#include "platform/platform.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace enginetest {

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    return testsupport::Eventually(condition, limit);
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

std::string EngineProgram() {
    return TESSARY_ENGINE_PROGRAM;
}

std::string KillToolProgram() {
    return TESSARY_KILLTOOL_PROGRAM;
}

EngineCopy::EngineCopy() {
    fs::copy_file(EngineProgram(), Path());
}

fs::path EngineCopy::Path() const {
    return bin_.Path() / fs::path(EngineProgram()).filename();
}

ProgramRun RunEngineOnce(const fs::path& work, const std::vector<std::string>& arguments,
                         std::optional<std::chrono::milliseconds> stopAfter,
                         const std::string& program) {
    ProgramRun run;
    const fs::path errors = work / "engine-errors.txt";
    {
        detail::Child child(program, arguments, work, errors);
        if (!child.Started()) {
            return run;
        }
        if (stopAfter && !child.Wait(*stopAfter)) {
            platform::SendSignal(child.Pid(), platform::Signal::Terminate);
        }
        run.status = child.Wait(std::chrono::seconds(30)).value_or(-1);
    }
    run.errors = ReadFile(errors);
    fs::remove(errors);
    return run;
}

Engine::Engine(StartOptions options) : options_(std::move(options)) {
    mounts_ =
        detail::MountSmallDisks(Work(), options_.diskBytes, UploadDir(), options_.uploadDiskBytes);
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
    detail::UnmountSmallDisks(mounts_);
}

bool Engine::Start() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = options_.port.value_or(FreePort());
        std::vector<std::string> arguments{Key,      (fs::path(".") / "wdoc").string(),
                                           "--port", std::to_string(port_),
                                           "--bind", "127.0.0.1"};
        if (options_.timeoutSeconds) {
            arguments.insert(arguments.end(),
                             {"--timeout", std::to_string(*options_.timeoutSeconds)});
        }
        if (options_.minReplyRate) {
            arguments.insert(arguments.end(),
                             {"--min-reply-rate", std::to_string(*options_.minReplyRate)});
        }
        if (options_.keyBudget) {
            arguments.insert(arguments.end(),
                             {"--key-budget", std::to_string(*options_.keyBudget)});
        }
        child_ = std::make_unique<detail::Child>(
            options_.program.empty() ? EngineProgram() : options_.program, arguments, Work(),
            fs::path(), options_.fileSizeLimit);
        if (!child_->Started()) {
            child_.reset();
            return false;
        }
        pid_ = child_->Pid();
        exited_ = false;
        reaper_ = std::thread([this] {
            status_ = child_->Wait(std::nullopt).value_or(-1);
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
    child_.reset();
    pid_ = -1;
    if (!inTime) {
        return std::nullopt;
    }
    return status_.load();
}

bool SystemTellsBytesDelivered() {
    const Listener listener;
    const int fd = detail::ConnectLoopback(listener.Port(), {});
    const bool tells = fd >= 0 && platform::SocketBytesDelivered(fd).has_value();
    if (fd >= 0) {
        detail::CloseSocket(fd);
    }
    return tells;
}

Connection::Connection(std::uint16_t port) : Connection(port, std::string()) {}

Connection::Connection(std::uint16_t port, const std::string& sourceAddress)
    : fd_(detail::ConnectLoopback(port, sourceAddress)) {}

Connection::~Connection() {
    Close();
}

void Connection::Close() {
    if (fd_ >= 0) {
        detail::CloseSocket(fd_);
        fd_ = -1;
    }
}

bool Connection::Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = detail::SendSome(fd_, bytes.data() + sent, bytes.size() - sent);
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
        char buffer[65536];
        const int n = detail::ReadSome(fd_, buffer, sizeof buffer, static_cast<int>(left));
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
        char buffer[4096];
        const int n = detail::ReadSome(fd_, buffer, sizeof buffer, 50);
        if (n != detail::ReadTimedOut && n <= 0) {
            return true;
        }
    }
    return false;
}

int Connection::Drop(int most, int timeoutMs) {
    std::vector<char> buffer(static_cast<std::size_t>(most));
    const int n = detail::ReadSome(fd_, buffer.data(), most, timeoutMs);
    return n == detail::ReadTimedOut ? 0 : n > 0 ? n : -1;
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
        if (!part.modified.empty()) {
            body += "--" + boundary +
                    "\r\nContent-Disposition: form-data; name=\"modified\"\r\n\r\n" +
                    part.modified + "\r\n";
        }
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
