#include "ProcessSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

std::optional<int> WaitForExit(pid_t child, std::chrono::milliseconds limit) {
    int status = 0;
    if (!Eventually([&] { return waitpid(child, &status, WNOHANG) == child; }, limit)) {
        return std::nullopt;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

int RunInChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
            code = 98;
        }
        ::_exit(code);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

HeldInChild::HeldInChild(const std::function<std::shared_ptr<void>()>& hold) {
    if (::pipe(ready_) != 0 || ::pipe(release_) != 0) {
        throw std::runtime_error("cannot make pipes");
    }
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("cannot fork");
    }
    if (pid_ == 0) {
        const std::shared_ptr<void> held = hold();
        char c = held ? 'y' : 'n';
        (void)!::write(ready_[1], &c, 1);
        (void)!::read(release_[0], &c, 1);
        ::_exit(0);
    }
    char c = 0;
    holding_ = ::read(ready_[0], &c, 1) == 1 && c == 'y';
}

HeldInChild::~HeldInChild() {
    Release();
    for (int fd : {ready_[0], ready_[1], release_[0], release_[1]}) {
        ::close(fd);
    }
}

void HeldInChild::Release() {
    if (pid_ > 0) {
        (void)!::write(release_[1], "x", 1);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

sockaddr_in LoopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

bool Listens(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(port);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

LoopbackListener::LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd_ >= 0) {
            close(fd_);
        }
        throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
    close(fd_);
}

} // namespace testsupport
