#include "InternetOptionsProxy.h"
#include "SystemProxySetting.h"

#include <cstdint>
#include <cstring>
#include <windows.h>

namespace {

const wchar_t* const ConnectionsKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
const wchar_t* const SettingsValue = L"DefaultConnectionSettings";

// The layout of the connection settings: a header (a fixed tag, a change
// counter, flags), then the proxy list, the bypass list and the automatic
// configuration URL, each an 8-bit text after its 32-bit length.
constexpr std::uint32_t SettingsTag = 0x46;
constexpr std::uint32_t ProxyTypeDirect = 0x1;
constexpr std::uint32_t ProxyTypeProxy = 0x2;
constexpr std::uint32_t ProxyUseScript = 0x4;

void AppendDword(std::vector<unsigned char>& out, std::uint32_t value) {
    unsigned char bytes[4];
    std::memcpy(bytes, &value, 4);
    out.insert(out.end(), bytes, bytes + 4);
}

void AppendText(std::vector<unsigned char>& out, const std::string& text) {
    AppendDword(out, static_cast<std::uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

bool WriteValue(const std::vector<unsigned char>& data) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, ConnectionsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                          &key, nullptr) != ERROR_SUCCESS)
        return false;
    const bool ok = ::RegSetValueExW(key, SettingsValue, 0, REG_BINARY, data.data(),
                                     static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
    ::RegCloseKey(key);
    return ok;
}

} // namespace

InternetOptionsProxy::InternetOptionsProxy(const std::string& proxyList,
                                           const std::string& bypassList,
                                           const std::string& scriptUrl) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, ConnectionsKey, 0, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
        DWORD size = 0;
        DWORD type = 0;
        if (::RegQueryValueExW(key, SettingsValue, nullptr, &type, nullptr, &size) ==
                ERROR_SUCCESS &&
            type == REG_BINARY) {
            previous_.resize(size);
            hadValue_ = ::RegQueryValueExW(key, SettingsValue, nullptr, &type, previous_.data(),
                                           &size) == ERROR_SUCCESS;
            previous_.resize(size);
        }
        ::RegCloseKey(key);
    }
    std::vector<unsigned char> data;
    AppendDword(data, SettingsTag);
    AppendDword(data, 1);
    std::uint32_t flags = ProxyTypeDirect;
    if (!proxyList.empty())
        flags |= ProxyTypeProxy;
    if (!scriptUrl.empty())
        flags |= ProxyUseScript;
    AppendDword(data, flags);
    AppendText(data, proxyList);
    AppendText(data, bypassList);
    AppendText(data, scriptUrl);
    ok_ = WriteValue(data);
}

InternetOptionsProxy::~InternetOptionsProxy() {
    if (hadValue_) {
        WriteValue(previous_);
        return;
    }
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, ConnectionsKey, 0, KEY_SET_VALUE, &key) ==
        ERROR_SUCCESS) {
        ::RegDeleteValueW(key, SettingsValue);
        ::RegCloseKey(key);
    }
}

struct SystemProxySetting::Saved {
    Saved(const std::string& proxyList, const std::string& bypassList)
        : options(proxyList, bypassList) {}
    InternetOptionsProxy options;
};

// Loopback addresses bypass the Internet Options' proxy unless the bypass
// list says "<-loopback>"; the tests' servers are on loopback.
SystemProxySetting::SystemProxySetting(const std::string& hostPort)
    : saved_(std::make_unique<Saved>(hostPort, "<-loopback>")) {}

SystemProxySetting::~SystemProxySetting() = default;

bool SystemProxySetting::Ok() const {
    return saved_->options.Ok();
}
