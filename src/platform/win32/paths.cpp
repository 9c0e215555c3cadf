// Known folders through the shell, the temporary folder and the running
// program's path.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <shlobj.h>

namespace platform {
namespace {

std::string WithDelimiter(std::string path) {
    if (!path.empty() && path.back() != '\\' && path.back() != '/')
        path += PathDelimiter;
    return path;
}

// A CSIDL folder as SHGetFolderPath reports it; empty when there is none.
std::string ShellFolder(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return {};
    return WithDelimiter(win32::Narrow(buffer));
}

} // namespace

std::string DocumentsFolder() {
    return ShellFolder(CSIDL_PERSONAL);
}

std::string AppDataFolder() {
    return ShellFolder(CSIDL_APPDATA);
}

// Windows keeps per-user configuration in the roaming application data too.
std::string ConfigFolder() {
    return ShellFolder(CSIDL_APPDATA);
}

std::string TempFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH)
        return {};
    return WithDelimiter(win32::Narrow(std::wstring_view(buffer, length)));
}

std::string ExecutablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size())
            return win32::Narrow(std::wstring_view(buffer.data(), length));
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace platform
