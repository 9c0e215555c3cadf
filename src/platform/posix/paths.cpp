// Known folders by the XDG base-directory rules, and the running program's path.

#include "platform/platform.h"

#include <cstdlib>
#include <fstream>
#include <limits.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

std::string WithDelimiter(std::string path) {
    if (!path.empty() && path.back() != PathDelimiter) {
        path += PathDelimiter;
    }
    return path;
}

// An environment variable that names an absolute path; the XDG rules say a
// relative value is to be ignored.
std::string AbsoluteFromEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') {
        return {};
    }
    return value;
}

std::string HomeFolder() {
    if (std::string home = AbsoluteFromEnv("HOME"); !home.empty()) {
        return home;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
        result != nullptr && result->pw_dir != nullptr && result->pw_dir[0] == '/') {
        return result->pw_dir;
    }
    return {};
}

// The folder from $XDG_xxx_HOME, else home + fallback; empty without a home.
std::string BaseFolder(const char* variable, const char* fallback) {
    if (std::string folder = AbsoluteFromEnv(variable); !folder.empty()) {
        return WithDelimiter(folder);
    }
    std::string home = HomeFolder();
    if (home.empty()) {
        return {};
    }
    return WithDelimiter(WithDelimiter(home) + fallback);
}

// The value of one line of user-dirs.dirs: "$HOME/path" or "/path", in double
// quotes with backslash escapes, as xdg-user-dirs writes it. Empty when the
// line holds no usable path.
std::string UserDirValue(std::string_view text, const std::string& home) {
    std::string value;
    if (!text.empty() && text.front() == '"') {
        for (std::size_t i = 1; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) {
                ++i;
            }
            value += text[i];
        }
    } else {
        std::size_t end = text.find_first_of(" \t#");
        value = std::string(text.substr(0, end));
    }
    for (std::string_view prefix : {"$HOME", "${HOME}"}) {
        if (value.starts_with(prefix) &&
            (value.size() == prefix.size() || value[prefix.size()] == '/')) {
            if (home.empty()) {
                return {};
            }
            return home + value.substr(prefix.size());
        }
    }
    return value.starts_with('/') ? value : std::string{};
}

} // namespace

std::string DocumentsFolder() {
    std::string home = HomeFolder();
    std::string found;
    std::string config = ConfigFolder();
    if (!config.empty()) {
        std::ifstream file(config + "user-dirs.dirs");
        std::string line;
        // The file is shell syntax: a later assignment wins.
        while (std::getline(file, line)) {
            std::string_view rest(line);
            rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
            constexpr std::string_view key = "XDG_DOCUMENTS_DIR";
            if (!rest.starts_with(key)) {
                continue;
            }
            rest.remove_prefix(key.size());
            rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
            if (!rest.starts_with('=')) {
                continue;
            }
            rest.remove_prefix(1);
            rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
            if (std::string value = UserDirValue(rest, home); !value.empty()) {
                found = value;
            }
        }
    }
    if (!found.empty()) {
        return WithDelimiter(found);
    }
    if (home.empty()) {
        return {};
    }
    return WithDelimiter(WithDelimiter(home) + "Documents");
}

std::string AppDataFolder() {
    return BaseFolder("XDG_DATA_HOME", ".local/share");
}

std::string ConfigFolder() {
    return BaseFolder("XDG_CONFIG_HOME", ".config");
}

std::string TempFolder() {
    if (std::string folder = AbsoluteFromEnv("TMPDIR"); !folder.empty()) {
        return WithDelimiter(folder);
    }
    return "/tmp/";
}

std::string ExecutablePath() {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            return {};
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace platform
