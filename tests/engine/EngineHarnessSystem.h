#pragma once

// What the harness's shared code (EngineHarnessShared.cpp) asks of the
// system: starting and waiting for a program, loopback sockets, small disks.
// EngineHarness.cpp does it with POSIX calls, EngineHarnessWin32.cpp with
// Win32 and Winsock.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace enginetest::detail {

// A program the harness started; ended or abandoned with the object.
class Child {
  public:
    // Starts program in work with these arguments; its standard error (and
    // output) into errorsTo when that is given; a file-size limit in bytes
    // where the system has one (0: none). Started() tells whether it ran.
    Child(const std::string& program, const std::vector<std::string>& arguments,
          const std::filesystem::path& work, const std::filesystem::path& errorsTo = {},
          std::uint64_t fileSizeLimit = 0);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return pid_ > 0; }
    int Pid() const { return pid_; }
    // The exit status (128 + the signal for a signalled POSIX process), or
    // nullopt when it has not ended within limit (no limit: waits). Call from
    // one thread at a time.
    std::optional<int> Wait(std::optional<std::chrono::milliseconds> limit);

  private:
    int pid_ = -1;
    std::intptr_t handle_ = -1;
    bool waited_ = false;
};

// Mounts a tmpfs of the given size on each folder of StartOptions that asks
// for one (Windows: none); the folders to unmount, last mounted first.
std::vector<std::filesystem::path> MountSmallDisks(const std::filesystem::path& work,
                                                   std::uint64_t workBytes,
                                                   const std::filesystem::path& uploads,
                                                   std::uint64_t uploadBytes);
void UnmountSmallDisks(const std::vector<std::filesystem::path>& folders);

// A socket connected to 127.0.0.1:port, from sourceAddress when not empty;
// -1 when it cannot connect.
int ConnectLoopback(std::uint16_t port, const std::string& sourceAddress);
// Sends part of the bytes: how many went, or 0 and less on an error.
int SendSome(int fd, const char* bytes, std::size_t size);
void CloseSocket(int fd);

inline constexpr int ReadTimedOut = -2;

// Waits up to timeoutMs for the socket to become readable and reads what is
// there: the byte count, 0 when the peer has closed, -1 on an error,
// ReadTimedOut when nothing came in time.
int ReadSome(int fd, char* buffer, int size, int timeoutMs);

} // namespace enginetest::detail
