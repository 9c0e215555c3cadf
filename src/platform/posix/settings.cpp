// The per-user settings store: a small INI file in the configuration folder,
// one section per registry-style key. Rewritten whole through the platform's
// atomic write, so a crash or a full disk never leaves a half-written store.

#include "platform/platform.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <utility>

namespace platform {
namespace {

struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;
};

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string StoreFolder() {
    return ConfigFolder() + "Tessary/";
}
std::string StorePath() {
    return StoreFolder() + "settings.ini";
}

// Values may hold any bytes; line breaks and backslashes are escaped so each
// value stays on its line.
std::string Escape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string Unescape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char next = value[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return out;
}

std::optional<std::vector<Section>> Load() {
    // Without a home folder there is no store (never one relative to the
    // working folder).
    if (ConfigFolder().empty())
        return std::nullopt;
    std::ifstream in(StorePath(), std::ios::binary);
    if (!in)
        return std::nullopt;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    std::vector<Section> sections;
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.starts_with('[') && line.ends_with(']')) {
            sections.push_back({std::string(line.substr(1, line.size() - 2)), {}});
            continue;
        }
        const std::size_t equals = line.find('=');
        if (sections.empty() || equals == std::string_view::npos || line.starts_with(';'))
            continue;
        sections.back().values.emplace_back(std::string(line.substr(0, equals)),
                                            Unescape(line.substr(equals + 1)));
    }
    return sections;
}

std::string Render(const std::vector<Section>& sections) {
    std::string text;
    for (const Section& section : sections) {
        if (!text.empty())
            text += '\n';
        text += '[' + section.name + "]\n";
        for (const auto& [name, value] : section.values)
            text += name + '=' + Escape(value) + '\n';
    }
    return text;
}

// The store's folder is made on the first write; the file is replaced whole.
bool ReplaceStore(const std::string& text) {
    if (ConfigFolder().empty())
        return false;
    std::error_code ec;
    std::filesystem::create_directories(StoreFolder(), ec);
    std::string error;
    return WriteFileAtomically(StorePath(), text, error);
}

} // namespace

std::optional<std::string> ReadUserSetting(const std::string& key, const std::string& name) {
    const auto sections = Load();
    if (!sections)
        return std::nullopt;
    for (const Section& section : *sections) {
        if (!EqualNoCase(section.name, key))
            continue;
        for (const auto& [valueName, value] : section.values)
            if (EqualNoCase(valueName, name))
                return value;
    }
    return std::nullopt;
}

bool WriteUserSetting(const std::string& key, const std::string& name, const std::string& value) {
    if (key.empty() || name.empty() || name.find_first_of("=\r\n") != std::string::npos ||
        key.find_first_of("]\r\n") != std::string::npos)
        return false;
    // A store that exists but cannot be read is not replaced: its other
    // values would be lost.
    std::vector<Section> sections;
    std::error_code ec;
    if (std::filesystem::exists(StorePath(), ec)) {
        auto loaded = Load();
        if (!loaded)
            return false;
        sections = std::move(*loaded);
    }
    Section* target = nullptr;
    for (Section& section : sections)
        if (EqualNoCase(section.name, key)) {
            target = &section;
            break;
        }
    if (!target)
        target = &sections.emplace_back(Section{key, {}});
    bool replaced = false;
    for (auto& [valueName, stored] : target->values)
        if (EqualNoCase(valueName, name)) {
            stored = value;
            replaced = true;
            break;
        }
    if (!replaced)
        target->values.emplace_back(name, value);
    return ReplaceStore(Render(sections));
}

} // namespace platform
