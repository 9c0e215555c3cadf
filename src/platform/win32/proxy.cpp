// The system's proxy for a URL: the current user's Internet Options, read
// through WinHTTP, and chosen the way WinInet chooses.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <winhttp.h>

namespace platform {

namespace {

// The strings WinHTTP hands out are the caller's to free.
struct IeProxyConfig {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG value{};
    ~IeProxyConfig() {
        for (LPWSTR text : {value.lpszAutoConfigUrl, value.lpszProxy, value.lpszProxyBypass})
            if (text)
                ::GlobalFree(text);
    }
};

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// The entries of a list separated by ";" (the proxy list) or by ";", ","
// and blanks (the bypass list), without empty ones.
std::vector<std::string> SplitList(std::string_view text, std::string_view separators) {
    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of(separators, start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view entry = Trim(text.substr(start, end - start));
        if (!entry.empty())
            entries.emplace_back(entry);
        start = end + 1;
    }
    return entries;
}

struct UrlParts {
    std::string scheme; // lower case
    std::string host;   // lower case, without brackets
};

std::optional<UrlParts> SplitUrl(std::string_view url) {
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos || schemeEnd == 0)
        return std::nullopt;
    UrlParts parts;
    parts.scheme = Lower(url.substr(0, schemeEnd));
    std::string_view authority = url.substr(schemeEnd + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        parts.host = Lower(authority.substr(1, close - 1));
    } else {
        parts.host = Lower(authority.substr(0, authority.find(':')));
    }
    if (parts.host.empty())
        return std::nullopt;
    return parts;
}

// "*" stands for any run of characters; both texts are lower case.
bool WildcardMatch(std::string_view pattern, std::string_view text) {
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.starts_with("127.");
}

bool IsIpLiteral(const std::string& host) {
    return host.find(':') != std::string::npos ||
           host.find_first_not_of("0123456789.") == std::string::npos;
}

// WinInet's bypass rules: "<local>" for names without a dot, patterns with
// "*" matched against the host (or "scheme://host"), and loopback addresses
// always, unless the list holds "<-loopback>".
bool Bypassed(const UrlParts& url, std::string_view bypassList) {
    bool loopbackBypassed = true;
    for (const std::string& raw : SplitList(bypassList, "; ,\t\r\n")) {
        const std::string entry = Lower(raw);
        if (entry == "<local>") {
            if (url.host.find('.') == std::string::npos && !IsIpLiteral(url.host))
                return true;
        } else if (entry == "<-loopback>") {
            loopbackBypassed = false;
        } else if (entry.find("://") != std::string::npos) {
            if (WildcardMatch(entry, url.scheme + "://" + url.host))
                return true;
        } else if (WildcardMatch(entry, url.host)) {
            return true;
        }
    }
    return loopbackBypassed && IsLoopback(url.host);
}

// A proxy entry as libcurl takes it: "host:port" is an HTTP proxy.
std::string AsProxyUrl(const std::string& entry, std::string_view defaultScheme) {
    if (entry.find("://") != std::string::npos)
        return entry;
    return std::string(defaultScheme) + "://" + entry;
}

// The entry of a proxy list for the scheme: "scheme=host:port", else an
// entry for every scheme ("host:port"), else a SOCKS entry, which WinInet
// speaks as SOCKS 4.
std::optional<std::string> ProxyForScheme(std::string_view proxyList, const std::string& scheme) {
    std::optional<std::string> forAll;
    std::optional<std::string> socks;
    for (const std::string& entry : SplitList(proxyList, "; \t\r\n")) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            if (!forAll)
                forAll = entry;
            continue;
        }
        const std::string key = Lower(Trim(std::string_view(entry).substr(0, equals)));
        const std::string value(Trim(std::string_view(entry).substr(equals + 1)));
        if (value.empty())
            continue;
        if (key == scheme)
            return AsProxyUrl(value, "http");
        if (key == "socks" && !socks)
            socks = value;
    }
    if (forAll)
        return AsProxyUrl(*forAll, "http");
    if (socks)
        return AsProxyUrl(*socks, "socks4");
    return std::nullopt;
}

// What an automatic configuration script says for a URL.
struct ScriptAnswer {
    bool answered = false;              // false: no script, or it failed
    std::optional<std::string> proxies; // nullopt: DIRECT
};

// Fetches and runs the script at scriptUrl (WinHTTP does both) for url.
ScriptAnswer AskScript(const wchar_t* scriptUrl, const std::string& url) {
    struct Session {
        HINTERNET handle;
        ~Session() {
            if (handle)
                ::WinHttpCloseHandle(handle);
        }
    } session{::WinHttpOpen(L"Tessary", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0)};
    if (!session.handle)
        return {};
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl;
    options.fAutoLogonIfChallenged = TRUE;
    struct ProxyInfo {
        WINHTTP_PROXY_INFO value{};
        ~ProxyInfo() {
            for (LPWSTR text : {value.lpszProxy, value.lpszProxyBypass})
                if (text)
                    ::GlobalFree(text);
        }
    } info;
    const std::wstring wideUrl = win32::Wide(url);
    if (!::WinHttpGetProxyForUrl(session.handle, wideUrl.c_str(), &options, &info.value))
        return {};
    ScriptAnswer answer;
    answer.answered = true;
    if (info.value.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.value.lpszProxy)
        answer.proxies = win32::Narrow(info.value.lpszProxy);
    return answer;
}

} // namespace

std::optional<std::string> SystemProxyFor(const std::string& url) {
    const std::optional<UrlParts> parts = SplitUrl(url);
    if (!parts)
        return std::nullopt;
    IeProxyConfig config;
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&config.value))
        return std::nullopt;
    // A configuration script, where one is named, decides; the fixed proxy
    // below serves when it cannot be had, as in WinInet. (Automatic
    // detection, WPAD, is not done.)
    if (config.value.lpszAutoConfigUrl) {
        const ScriptAnswer answer = AskScript(config.value.lpszAutoConfigUrl, url);
        if (answer.answered)
            return answer.proxies ? ProxyForScheme(*answer.proxies, parts->scheme) : std::nullopt;
    }
    if (!config.value.lpszProxy)
        return std::nullopt;
    const std::string bypass =
        config.value.lpszProxyBypass ? win32::Narrow(config.value.lpszProxyBypass) : std::string();
    if (Bypassed(*parts, bypass))
        return std::nullopt;
    return ProxyForScheme(win32::Narrow(config.value.lpszProxy), parts->scheme);
}

} // namespace platform
