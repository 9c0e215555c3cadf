#pragma once

// What the test programs that start real programs share: waiting for a
// condition, reading a file whole, and loopback sockets (a port that listens
// or not, a listener of the test's own).

#include "Eventually.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/types.h>

namespace testsupport {

// The exit status of a child once it has ended within limit (128 + the
// signal when a signal ended it), else nullopt and the child is left as it is.
std::optional<int> WaitForExit(pid_t child, std::chrono::milliseconds limit);

// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Runs body in a forked child and returns its exit status (body's result;
// 98 when it threw), or -1 when the child did not exit normally. For limits
// that must not touch the test process.
int RunInChild(const std::function<int()>& body);

// A child process that holds something (a file it opened and locked, as
// another program would) until Release() or the end of the object.
class HeldInChild {
  public:
    // hold() runs in the child; what it returns is kept until the release,
    // nullptr when it could not take hold.
    explicit HeldInChild(const std::function<std::shared_ptr<void>()>& hold);
    ~HeldInChild();
    HeldInChild(const HeldInChild&) = delete;
    HeldInChild& operator=(const HeldInChild&) = delete;

    // Whether the child took hold.
    bool Holding() const { return holding_; }
    // Lets go and waits for the child to end.
    void Release();

  private:
    int ready_[2] = {-1, -1};
    int release_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool holding_ = false;
};

// 127.0.0.1:port as a socket address.
sockaddr_in LoopbackAddress(std::uint16_t port);

// Whether something accepts connections on 127.0.0.1:port.
bool Listens(std::uint16_t port);

// A socket of this test process listening on a free loopback port; it
// accepts nothing by itself.
class LoopbackListener {
  public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    std::uint16_t Port() const { return port_; }
    int Fd() const { return fd_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace testsupport
