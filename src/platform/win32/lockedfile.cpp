// Files the engine writes, held open without sharing write access, and
// files opened for serving. Both hand out C runtime descriptors over their
// Windows handles, which the HTTP library reads and closes.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <algorithm>
#include <fcntl.h>
#include <io.h>
#include <utility>

namespace platform {
namespace {

using win32::UniqueHandle;
using win32::Wide;

HANDLE HandleOf(int fd) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

// Gives the handle to the C runtime; on failure the handle is closed.
int ToDescriptor(UniqueHandle handle, int flags) {
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle.Get()), flags | _O_BINARY);
    if (fd >= 0)
        handle.Release();
    return fd;
}

// Others may read the file and the holder may rename it (delete sharing is
// what a rename of an open file needs), but no one else may write it, so
// an exclusive open of it fails while it is held.
constexpr DWORD HeldSharing = FILE_SHARE_READ | FILE_SHARE_DELETE;

std::optional<int> OpenHeld(const std::string& path, DWORD disposition) {
    UniqueHandle file(::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, HeldSharing,
                                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::nullopt;
    const int fd = ToDescriptor(std::move(file), _O_RDWR);
    if (fd < 0)
        return std::nullopt;
    return fd;
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
    const auto fd = OpenHeld(path, CREATE_NEW);
    if (!fd)
        return std::nullopt;
    return LockedFile(*fd);
}

std::optional<LockedFile> LockedFile::OpenExisting(const std::string& path) {
    std::optional<int> fd;
    win32::RetryWhileHeld([&] {
        fd = OpenHeld(path, OPEN_EXISTING);
        return fd.has_value();
    });
    if (!fd)
        return std::nullopt;
    return LockedFile(*fd);
}

bool LockedFile::Append(std::span<const char> data) {
    if (fd_ < 0)
        return false;
    HANDLE file = HandleOf(fd_);
    LARGE_INTEGER end{};
    if (!::SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END))
        return false;
    const char* next = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1U << 30));
        DWORD written = 0;
        if (!::WriteFile(file, next, chunk, &written, nullptr) || written == 0) {
            // A partial block (disk full) is taken back, so the file holds
            // whole blocks only, as a caller that retries expects.
            ::SetFilePointerEx(file, end, nullptr, FILE_BEGIN);
            ::SetEndOfFile(file);
            return false;
        }
        next += written;
        left -= written;
    }
    return true;
}

bool LockedFile::SetLastWrite(std::chrono::system_clock::time_point time) {
    // FILETIME counts 100 ns steps since 1601.
    constexpr std::int64_t EpochDifference = 116444736000000000LL;
    const std::int64_t ticks =
        std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count() /
            100 +
        EpochDifference;
    FILETIME written{};
    written.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
    written.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return fd_ >= 0 && ::SetFileTime(HandleOf(fd_), nullptr, nullptr, &written) != FALSE;
}

bool LockedFile::Sync() {
    return fd_ >= 0 && ::FlushFileBuffers(HandleOf(fd_));
}

std::int64_t LockedFile::Size() const {
    LARGE_INTEGER size{};
    if (fd_ < 0 || !::GetFileSizeEx(HandleOf(fd_), &size))
        return 0;
    return size.QuadPart;
}

bool LockedFile::Truncate(std::int64_t size) {
    if (fd_ < 0 || size < 0)
        return false;
    HANDLE file = HandleOf(fd_);
    LARGE_INTEGER position{};
    position.QuadPart = size;
    return ::SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
}

void LockedFile::Close() {
    if (fd_ >= 0)
        ::_close(std::exchange(fd_, -1));
}

ReadOnlyFile::~ReadOnlyFile() {
    if (fd_ >= 0)
        ::_close(fd_);
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(std::exchange(other.size_, 0)),
      modifiedNs_(std::exchange(other.modifiedNs_, 0)) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::_close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        size_ = std::exchange(other.size_, 0);
        modifiedNs_ = std::exchange(other.modifiedNs_, 0);
    }
    return *this;
}

std::optional<ReadOnlyFile> ReadOnlyFile::Open(const std::string& path) {
    // Without backup semantics CreateFile refuses folders; devices and pipes
    // are refused by their type.
    UniqueHandle file(::CreateFileW(Wide(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    FILETIME written{};
    if (!file || ::GetFileType(file.Get()) != FILE_TYPE_DISK ||
        !::GetFileSizeEx(file.Get(), &size) ||
        !::GetFileTime(file.Get(), nullptr, nullptr, &written))
        return std::nullopt;
    const int fd = ToDescriptor(std::move(file), _O_RDONLY);
    if (fd < 0)
        return std::nullopt;
    // FILETIME counts 100 ns steps since 1601.
    constexpr std::int64_t EpochDifference = 116444736000000000LL;
    const auto ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime);
    return ReadOnlyFile(fd, size.QuadPart, (ticks - EpochDifference) * 100);
}

std::int64_t ReadOnlyFile::ReadAt(std::int64_t offset, std::span<char> out) const {
    if (fd_ < 0)
        return -1;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size(), 1u << 30));
    if (!::ReadFile(HandleOf(fd_), out.data(), want, &got, &at))
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return got;
}

int ReadOnlyFile::Release() {
    size_ = 0;
    modifiedNs_ = 0;
    return std::exchange(fd_, -1);
}

} // namespace platform
