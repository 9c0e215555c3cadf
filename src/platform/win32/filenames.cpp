// The names Windows stores as given. Everything else it reads its own way:
// a colon opens a drive or a data stream, trailing dots and blanks vanish,
// and the device names open devices in every folder, with any extension.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <array>

namespace platform {
namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (x != b[i])
            return false;
    }
    return true;
}

// "CON", "nul.txt", "com1.tar.gz", "LPT9 .x": the part before the first dot,
// blanks at its end left out, is a device name.
bool IsDeviceName(std::string_view name) {
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.remove_suffix(1);
    static constexpr std::array<std::string_view, 6> plain = {"CON", "PRN",    "AUX",
                                                              "NUL", "CONIN$", "CONOUT$"};
    for (std::string_view device : plain)
        if (EqualNoCase(stem, device))
            return true;
    if (stem.size() == 4 &&
        (EqualNoCase(stem.substr(0, 3), "COM") || EqualNoCase(stem.substr(0, 3), "LPT")))
        return stem[3] >= '0' && stem[3] <= '9';
    // COM and LPT with a superscript 1, 2 or 3 (U+00B9, U+00B2, U+00B3) too.
    if (stem.size() == 5 &&
        (EqualNoCase(stem.substr(0, 3), "COM") || EqualNoCase(stem.substr(0, 3), "LPT")) &&
        static_cast<unsigned char>(stem[3]) == 0xC2) {
        const auto sup = static_cast<unsigned char>(stem[4]);
        return sup == 0xB9 || sup == 0xB2 || sup == 0xB3;
    }
    return false;
}

} // namespace

std::string FileNameForThisSystem(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 1);
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        const bool refused = u < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' ||
                             c == '?' || c == '*' || c == '/' || c == '\\';
        out += refused ? '_' : c;
    }
    while (!out.empty() && (out.back() == '.' || out.back() == ' '))
        out.pop_back();
    if (!out.empty() && IsDeviceName(out))
        out.insert(out.begin(), '_');
    return out;
}

bool NameFitsFolder(std::string_view folder, std::string_view name) {
    // The wide calls take paths without the "\\?\" prefix, so MAX_PATH
    // (with the path's end) holds for the whole path.
    constexpr std::size_t Numbering = 6;
    const std::size_t length = win32::Wide(name).size();
    return length <= 255 && win32::Wide(folder).size() + length + Numbering < MAX_PATH;
}

bool IsPlainFileName(std::string_view name) {
    return !name.empty() && FileNameForThisSystem(name) == name;
}

} // namespace platform
