// The engine harness's system calls on Linux: fork and exec, tmpfs mounts,
// BSD sockets on loopback.

#include "EngineHarness.h"

#include "EngineHarnessSystem.h"
#include "ProcessSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace enginetest {

using testsupport::LoopbackAddress;

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
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
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

Listener::Listener() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    socket_ = fd;
    sockaddr_in address = LoopbackAddress(0);
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

namespace detail {

Child::Child(const std::string& program, const std::vector<std::string>& arguments,
             const fs::path& work, const fs::path& errorsTo, std::uint64_t fileSizeLimit) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(work.c_str()) != 0) {
            _exit(126);
        }
        if (!errorsTo.empty()) {
            const int fd = open(errorsTo.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) {
                _exit(126);
            }
        }
        if (fileSizeLimit > 0) {
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    pid_ = child;
}

Child::~Child() {
    // Never leave a zombie behind: one still running is killed and reaped.
    if (pid_ > 0 && !waited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::optional<int> Child::Wait(std::optional<std::chrono::milliseconds> limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit.value_or(std::chrono::hours(0));
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &status, limit ? WNOHANG : 0);
        if (done == pid_) {
            break;
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    waited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<fs::path> MountSmallDisks(const fs::path& work, std::uint64_t workBytes,
                                      const fs::path& uploads, std::uint64_t uploadBytes) {
    std::vector<fs::path> mounted;
    for (const auto& [folder, bytes] : {std::pair{work, workBytes}, {uploads, uploadBytes}}) {
        if (bytes == 0) {
            continue;
        }
        fs::create_directories(folder);
        const std::string size = "size=" + std::to_string(bytes);
        if (mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) != 0) {
            const std::string reason = std::strerror(errno);
            UnmountSmallDisks(mounted);
            throw std::runtime_error("cannot mount a small disk on " + folder.string() + ": " +
                                     reason);
        }
        mounted.insert(mounted.begin(), folder);
    }
    return mounted;
}

void UnmountSmallDisks(const std::vector<fs::path>& folders) {
    for (const auto& folder : folders) {
        umount2(folder.c_str(), MNT_DETACH);
    }
}

int ConnectLoopback(std::uint16_t port, const std::string& sourceAddress) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (!sourceAddress.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (inet_pton(AF_INET, sourceAddress.c_str(), &source.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            close(fd);
            return -1;
        }
    }
    const sockaddr_in address = LoopbackAddress(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int SendSome(int fd, const char* bytes, std::size_t size) {
    return static_cast<int>(send(fd, bytes, std::min<std::size_t>(size, 1 << 20), MSG_NOSIGNAL));
}

void CloseSocket(int fd) {
    close(fd);
}

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
