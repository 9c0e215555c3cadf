#include "app/core/ConnectionUrls.h"

namespace appcore {

ConnectionUrls DirectUrls(const std::string& address, const std::string& pageKey) {
    const std::string base = "http://" + address + ":" + std::string(EnginePort) + "/";
    return {base + "u/" + pageKey + ".html", base + "d/" + pageKey + ".html"};
}

std::string ReplaceFirst(std::string text, std::string_view mark, std::string_view value) {
    if (mark.empty()) {
        return text;
    }
    if (const auto at = text.find(mark); at != std::string::npos) {
        text.replace(at, mark.size(), value);
    }
    return text;
}

std::string RelayUrl(const std::string& relayTemplate, std::string_view direction,
                     std::string_view versionDigits) {
    std::string url = ReplaceFirst(relayTemplate, "#updown#", direction);
    url = ReplaceFirst(std::move(url), "https://", "http://");
    return ReplaceFirst(std::move(url), "#version#", versionDigits.substr(0, 1));
}

ConnectionUrls RelayUrls(const std::string& relayTemplate, std::string_view versionDigits) {
    return {RelayUrl(relayTemplate, "u", versionDigits),
            RelayUrl(relayTemplate, "d", versionDigits)};
}

} // namespace appcore
