#include "killtool/ProcessKiller.h"

#include "platform/platform.h"

#include <algorithm>
#include <string_view>

namespace killtool {

namespace {

// Whether name ends in suffix, without regard to case where the file system
// has none.
bool HasSuffix(std::string_view name, std::string_view suffix) {
    if (name.size() < suffix.size()) {
        return false;
    }
    const std::string_view tail = name.substr(name.size() - suffix.size());
    return std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) {
        const auto fold = [](char c) {
            return platform::FileNamesIgnoreCase && c >= 'A' && c <= 'Z'
                       ? static_cast<char>(c - 'A' + 'a')
                       : c;
        };
        return fold(a) == fold(b);
    });
}

} // namespace

std::string ResolveProgram(const std::string& name) {
    std::string path = name;
    if (name.find_first_of("/\\") == std::string::npos) {
        path = platform::AppDataFolder();
        if (!path.empty() && path.back() != platform::PathDelimiter) {
            path += platform::PathDelimiter;
        }
        // The window names the program with its suffix ("TessaryEngine.exe"),
        // a person may leave it out.
        path += "Tessary" + std::string(1, platform::PathDelimiter) + name;
        if (!HasSuffix(name, platform::ExecutableSuffix)) {
            path += platform::ExecutableSuffix;
        }
    }
    if (!platform::FileExists(path)) {
        return {};
    }
    return platform::CanonicalPath(path).value_or(std::string{});
}

} // namespace killtool
