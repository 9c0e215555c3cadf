// Files held with an open-file-description lock, and files opened for reading.

#include "platform/platform.h"
#include "platform/posix/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {
namespace {

// An OFD lock belongs to the open file, not the process, so it also keeps a
// second open in this same process (the watcher's test) from succeeding.
bool LockWhole(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

} // namespace

LockedFile::~LockedFile() {
    Close();
}

LockedFile::LockedFile(LockedFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

LockedFile& LockedFile::operator=(LockedFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

std::optional<LockedFile> LockedFile::CreateNew(const std::string& path) {
    posix::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd) {
        return std::nullopt;
    }
    if (!LockWhole(fd.Get())) {
        // Nobody else can have it yet; a file system without locks lands here.
        ::unlink(path.c_str());
        return std::nullopt;
    }
    return LockedFile(fd.Release());
}

std::optional<LockedFile> LockedFile::OpenExisting(const std::string& path) {
    posix::UniqueFd fd(::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || !LockWhole(fd.Get())) {
        return std::nullopt;
    }
    return LockedFile(fd.Release());
}

bool LockedFile::Append(std::span<const char> data) {
    if (fd_ < 0) {
        return false;
    }
    const char* next = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t written = ::write(fd_, next, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            return false;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

bool LockedFile::Sync() {
    return fd_ >= 0 && ::fsync(fd_) == 0;
}

bool LockedFile::SetLastWrite(std::chrono::system_clock::time_point time) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
    // The access time is left as it is.
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(ns / 1'000'000'000), ns % 1'000'000'000}};
    return fd_ >= 0 && ::futimens(fd_, times) == 0;
}

std::int64_t LockedFile::Size() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        return -1;
    }
    return st.st_size;
}

bool LockedFile::Truncate(std::int64_t size) {
    return fd_ >= 0 && size >= 0 && ::ftruncate(fd_, static_cast<off_t>(size)) == 0;
}

void LockedFile::Close() {
    if (fd_ >= 0) {
        ::close(std::exchange(fd_, -1));
    }
}

ReadOnlyFile::~ReadOnlyFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(std::exchange(other.size_, 0)),
      modifiedNs_(std::exchange(other.modifiedNs_, 0)) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        size_ = std::exchange(other.size_, 0);
        modifiedNs_ = std::exchange(other.modifiedNs_, 0);
    }
    return *this;
}

std::optional<ReadOnlyFile> ReadOnlyFile::Open(const std::string& path) {
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    const std::int64_t modifiedNs =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    return ReadOnlyFile(fd.Release(), st.st_size, modifiedNs);
}

std::int64_t ReadOnlyFile::ReadAt(std::int64_t offset, std::span<char> out) const {
    for (;;) {
        const ssize_t got = ::pread(fd_, out.data(), out.size(), static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

int ReadOnlyFile::Release() {
    size_ = 0;
    return std::exchange(fd_, -1);
}

} // namespace platform
