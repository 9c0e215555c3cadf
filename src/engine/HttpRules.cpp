#include "engine/HttpRules.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

namespace engine {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsIpv4Literal(std::string_view name) {
    int parts = 0;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('.', start);
        if (end == std::string_view::npos) {
            end = name.size();
        }
        const std::string_view part = name.substr(start, end - start);
        unsigned value = 0;
        const auto [last, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || part.size() > 3 || error != std::errc{} ||
            last != part.data() + part.size() || value > 255) {
            return false;
        }
        ++parts;
        start = end + 1;
    }
    return parts == 4;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

std::optional<HostParts> ParseHost(std::string_view host) {
    HostParts parts;
    std::string_view rest;
    if (host.starts_with('[')) {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        parts.name = host.substr(1, close - 1);
        parts.ipv6 = true;
        rest = host.substr(close + 1);
        // Hex digits, ":" and "."; then maybe a zone ("%25eth0").
        const std::string_view address = parts.name.substr(0, parts.name.find('%'));
        const std::string_view zone = parts.name.substr(address.size());
        const bool literal = address.find(':') != std::string_view::npos &&
                             std::all_of(address.begin(), address.end(),
                                         [](char c) {
                                             return IsDigit(c) ||
                                                    (Lower(c) >= 'a' && Lower(c) <= 'f') ||
                                                    c == ':' || c == '.';
                                         }) &&
                             std::all_of(zone.begin(), zone.end(), [](char c) {
                                 return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'z') ||
                                        c == '%' || c == '-' || c == '_' || c == '.' || c == '~';
                             });
        if (!literal) {
            return std::nullopt;
        }
    } else {
        const std::size_t colon = host.find(':');
        parts.name = host.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : host.substr(colon);
        if (parts.name.ends_with('.')) {
            parts.name.remove_suffix(1);
        }
        const bool name = std::all_of(parts.name.begin(), parts.name.end(), [](char c) {
            return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'z') || c == '-' || c == '_' ||
                   c == '.';
        });
        if (!name || parts.name.empty()) {
            return std::nullopt;
        }
    }
    if (!rest.empty()) {
        const std::string_view port = rest.substr(1);
        unsigned value = 0;
        const auto [last, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (rest.front() != ':' || port.empty() || port.size() > 5 ||
            !std::all_of(port.begin(), port.end(), IsDigit) || error != std::errc{} ||
            last != port.data() + port.size() || value > 65535) {
            return std::nullopt;
        }
        parts.port = value;
    }
    return parts;
}

bool IsAllowedHost(std::string_view host, const std::vector<std::string>& ownNames) {
    const auto parts = ParseHost(host);
    if (!parts) {
        return false;
    }
    if (parts->ipv6 || IsIpv4Literal(parts->name) || SameNoCase(parts->name, "localhost")) {
        return true;
    }
    return std::any_of(ownNames.begin(), ownNames.end(),
                       [&](const std::string& own) { return SameNoCase(parts->name, own); });
}

bool IsFromAnotherSite(const char* fetchSite, const char* origin, const char* host) {
    if (fetchSite != nullptr && SameNoCase(Trim(fetchSite), "cross-site")) {
        return true;
    }
    if (origin == nullptr) {
        return false;
    }
    constexpr std::string_view scheme = "http://";
    const std::string_view from = Trim(origin);
    // Our own pages send no referrer, so their form posts carry "null": it
    // names another site only where the browser says the request is not
    // from this origin (a sandboxed page's requests are "cross-site").
    if (from == "null") {
        return fetchSite != nullptr && SameNoCase(Trim(fetchSite), "same-site");
    }
    if (host == nullptr || from.size() <= scheme.size() ||
        !SameNoCase(from.substr(0, scheme.size()), scheme)) {
        return true;
    }
    const auto theirs = ParseHost(from.substr(scheme.size()));
    const auto ours = ParseHost(Trim(host));
    return !theirs || !ours || theirs->port != ours->port || !SameNoCase(theirs->name, ours->name);
}

bool OpensInPlace(std::string_view contentType) {
    const std::string_view type = contentType.substr(0, contentType.find(';'));
    for (const std::string_view prefix : {"video/", "audio/"}) {
        if (type.starts_with(prefix)) {
            return true;
        }
    }
    // An SVG picture is a document that may hold scripts.
    if (type.starts_with("image/")) {
        return type != "image/svg+xml";
    }
    return type == "text/plain" || type == "text/csv" || type == "application/pdf";
}

std::vector<std::string> OwnHostNames(std::string_view hostName) {
    std::vector<std::string> names;
    if (hostName.ends_with('.')) {
        hostName.remove_suffix(1);
    }
    if (hostName.empty()) {
        return names;
    }
    const std::string full(hostName);
    const std::string first(hostName.substr(0, hostName.find('.')));
    for (const std::string& name : {full, first}) {
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
            names.push_back(name + ".local");
        }
    }
    return names;
}

std::optional<std::int64_t> ParseCount(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> ParseContentLength(std::string_view text) {
    return ParseCount(Trim(text));
}

std::string HttpDate(std::int64_t unixSeconds) {
    // Civil date from days since 1970 (Howard Hinnant's algorithm), so that
    // no time zone or locale of the process can change the text.
    static constexpr const char* weekdays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::int64_t days = unixSeconds / 86400;
    std::int64_t rest = unixSeconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    const int weekday = static_cast<int>(((days % 7) + 7) % 7);
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04lld %02d:%02d:%02d GMT", weekdays[weekday],
                  day, months[month - 1], static_cast<long long>(year),
                  static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                  static_cast<int>(rest % 60));
    return text;
}

std::string EntityTag(std::int64_t size, std::int64_t modifiedNs) {
    char text[48];
    std::snprintf(text, sizeof text, "\"%llx-%llx\"", static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(modifiedNs));
    return text;
}

std::string FolderLocation(const std::vector<std::string>& components) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "/";
    for (const std::string& component : components) {
        for (const char c : component) {
            const auto byte = static_cast<unsigned char>(c);
            const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                               IsDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
            if (plain) {
                out += c;
            } else {
                out += '%';
                out += hex[byte >> 4];
                out += hex[byte & 0x0F];
            }
        }
        out += '/';
    }
    return out;
}

} // namespace engine
