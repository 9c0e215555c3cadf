#pragma once

// The program's text is UTF-8; Windows speaks UTF-16 in its wide ("W") entry
// points. Every call in this folder uses those and converts here, at the
// boundary, so any file name a phone sends survives whatever the PC's 8-bit
// code page is.

#include <functional>
#include <string>
#include <string_view>
#include <windows.h>

// windows.h maps these names to their A or W variant by macro; the
// platform's own functions of the same names must keep theirs.
#undef CopyFile
#undef DeleteFile

namespace platform::win32 {

// UTF-8 to UTF-16; invalid sequences become U+FFFD (Windows' own rule).
std::wstring Wide(std::string_view text);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Narrow(std::wstring_view text);

// Indexers and virus scanners open a file that was just written for a
// moment, and Windows then refuses to move, open or delete it. Runs attempt
// until it succeeds, or fails for another reason, or about 2 s have passed
// (GetLastError then tells the last failure).
bool RetryWhileHeld(const std::function<bool()>& attempt);

// Closes a kernel handle when it goes out of scope.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = other.Release();
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    // CreateFile reports failure as INVALID_HANDLE_VALUE, most others as null.
    explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void Reset() {
        if (*this)
            ::CloseHandle(handle_);
        handle_ = nullptr;
    }

  private:
    HANDLE handle_ = nullptr;
};

} // namespace platform::win32
