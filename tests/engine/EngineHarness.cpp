#include "EngineHarness.h"

#include "EngineHarnessSocket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace enginetest {

TempFolder::TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "tessary-engine-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

std::string EnterPrivateMountNamespace() {
    static std::string reason = [] {
        if (unshare(CLONE_NEWNS) != 0) {
            return std::string("cannot make a mount namespace (needs root): ") +
                   std::strerror(errno);
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("cannot make mounts private: ") + std::strerror(errno);
        }
        return std::string();
    }();
    return reason;
}

namespace {

void MountSmallDisk(const fs::path& folder, std::uint64_t bytes) {
    fs::create_directories(folder);
    const std::string size = "size=" + std::to_string(bytes);
    if (mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) != 0) {
        throw std::runtime_error("cannot mount a small disk on " + folder.string() + ": " +
                                 std::strerror(errno));
    }
}

} // namespace

std::string EngineProgram() {
    return TESSARY_ENGINE_PROGRAM;
}

Listener::Listener() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    socket_ = fd;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
}

Listener::~Listener() {
    if (socket_ >= 0) {
        close(static_cast<int>(socket_));
    }
}

ProgramRun RunEngineOnce(const fs::path& work, const std::vector<std::string>& arguments,
                         std::optional<std::chrono::milliseconds> stopAfter,
                         const std::string& program) {
    const fs::path errors = work / "engine-errors.txt";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (chdir(work.c_str()) != 0 || fd < 0 || dup2(fd, STDERR_FILENO) < 0) {
            _exit(126);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ProgramRun run;
    if (child < 0) {
        return run;
    }
    if (stopAfter) {
        std::this_thread::sleep_for(*stopAfter);
        kill(child, SIGTERM);
    }
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    run.errors = ReadFile(errors);
    fs::remove(errors);
    return run;
}
std::string KillToolProgram() {
    return TESSARY_KILLTOOL_PROGRAM;
}

Engine::Engine(StartOptions options) : options_(std::move(options)) {
    if (options_.diskBytes > 0) {
        MountSmallDisk(Work(), options_.diskBytes);
        mounts_.push_back(Work());
    }
    if (options_.uploadDiskBytes > 0) {
        MountSmallDisk(UploadDir(), options_.uploadDiskBytes);
        mounts_.insert(mounts_.begin(), UploadDir());
    }
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
    for (const auto& folder : mounts_) {
        umount2(folder.c_str(), MNT_DETACH);
    }
}

bool Engine::Start() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = options_.port.value_or(FreePort());
        const std::string program = options_.program.empty() ? EngineProgram() : options_.program;
        const std::string portText = std::to_string(port_);
        // Built before the fork: the child only calls exec.
        std::vector<std::string> args = {program,  Key,      "./wdoc",   "--port",
                                         portText, "--bind", "127.0.0.1"};
        if (options_.timeoutSeconds) {
            args.insert(args.end(), {"--timeout", std::to_string(*options_.timeoutSeconds)});
        }
        if (options_.minReplyRate) {
            args.insert(args.end(), {"--min-reply-rate", std::to_string(*options_.minReplyRate)});
        }
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            if (chdir(Work().c_str()) != 0) {
                _exit(126);
            }
            if (options_.fileSizeLimit > 0) {
                const rlimit limit{options_.fileSizeLimit, options_.fileSizeLimit};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        pid_ = child;
        exited_ = false;
        reaper_ = std::thread([this, child] {
            int status = 0;
            waitpid(child, &status, 0);
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
        kill(pid_, SIGTERM);
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
        kill(pid_, SIGKILL);
    }
    reaper_.join();
    pid_ = -1;
    if (!inTime) {
        return std::nullopt;
    }
    return status_.load();
}

long Engine::PeakRssKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

Connection::Connection(std::uint16_t port) : Connection(port, std::string()) {}

Connection::Connection(std::uint16_t port, const std::string& sourceAddress) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!sourceAddress.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (inet_pton(AF_INET, sourceAddress.c_str(), &source.sin_addr) != 1 ||
            bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            Close();
            return;
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Close();
    }
}

Connection::~Connection() {
    Close();
}

void Connection::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

bool Connection::Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

namespace detail {

int ReadSome(int fd, char* buffer, int size, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0) {
        return ReadTimedOut;
    }
    const ssize_t n = recv(fd, buffer, static_cast<std::size_t>(size), 0);
    return n < 0 ? -1 : static_cast<int>(n);
}

} // namespace detail

} // namespace enginetest
