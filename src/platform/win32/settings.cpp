// Per-user settings in the registry, under the current user's hive.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

namespace platform {
namespace {

using win32::Wide;

class RegistryKey {
  public:
    RegistryKey() = default;
    ~RegistryKey() {
        if (key_ != nullptr)
            ::RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    HKEY* Out() { return &key_; }
    HKEY Get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

// "\Software\Tessary\" and "Software\Tessary" name the same key.
std::wstring KeyPath(const std::string& key) {
    std::wstring path = Wide(key);
    while (!path.empty() && path.front() == L'\\')
        path.erase(path.begin());
    while (!path.empty() && path.back() == L'\\')
        path.pop_back();
    return path;
}

} // namespace

std::optional<std::string> ReadUserSetting(const std::string& key, const std::string& name) {
    const std::wstring path = KeyPath(key);
    if (path.empty())
        return std::nullopt;
    RegistryKey handle;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, handle.Out()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    const std::wstring valueName = Wide(name);
    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExW(handle.Get(), valueName.c_str(), nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::nullopt;
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(handle.Get(), valueName.c_str(), nullptr, &type,
                           reinterpret_cast<BYTE*>(value.data()), &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    // A stored string may or may not end in its zero.
    value.resize(bytes / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0')
        value.pop_back();
    return win32::Narrow(value);
}

bool WriteUserSetting(const std::string& key, const std::string& name, const std::string& value) {
    const std::wstring path = KeyPath(key);
    if (path.empty() || name.empty())
        return false;
    RegistryKey handle;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_SET_VALUE, nullptr, handle.Out(), nullptr) != ERROR_SUCCESS)
        return false;
    const std::wstring data = Wide(value);
    const auto bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(handle.Get(), Wide(name).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()), bytes) == ERROR_SUCCESS;
}

} // namespace platform
