#include "engine/FileNameCleaner.h"

#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

namespace engine {

namespace {

// An extension longer than this is not kept whole when a name is cut: it is
// more likely a dot inside a long name than a real file type.
constexpr std::size_t MaxKeptExtension = 32;

// Length of the valid UTF-8 sequence at text[i], 0 when the bytes there are
// not one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    if (byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// Where the extension starts (its dot), or npos when the name has none. A
// leading dot (".profile") starts no extension.
std::size_t ExtensionStart(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return (dot == std::string_view::npos || dot == 0) ? std::string_view::npos : dot;
}

std::string Fit(std::string_view stem, std::string_view suffix, std::string_view ext) {
    if (ext.size() > MaxKeptExtension || suffix.size() + ext.size() >= MaxNameBytes) {
        std::string whole(stem);
        whole += ext;
        std::string cut = misc::CutUtf8Bytes(whole, MaxNameBytes - suffix.size());
        return cut + std::string(suffix);
    }
    std::string result =
        misc::CutUtf8Bytes(std::string(stem), MaxNameBytes - suffix.size() - ext.size());
    result += suffix;
    result += ext;
    return result;
}

} // namespace

std::optional<std::string> CleanUploadName(std::string_view raw) {
    const std::size_t separator = raw.find_last_of("/\\");
    if (separator != std::string_view::npos) {
        raw.remove_prefix(separator + 1);
    }

    std::string clean;
    clean.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size();) {
        const std::size_t length = Utf8SequenceLength(raw, i);
        if (length == 0) {
            clean += '_';
            ++i;
            continue;
        }
        const auto lead = static_cast<unsigned char>(raw[i]);
        const bool c0Control = length == 1 && (lead < 0x20 || lead == 0x7F);
        // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
        const bool c1Control =
            length == 2 && lead == 0xC2 && static_cast<unsigned char>(raw[i + 1]) < 0xA0;
        if (!c0Control && !c1Control) {
            clean.append(raw.substr(i, length));
        }
        i += length;
    }

    const std::size_t first = clean.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::nullopt;
    }
    clean = clean.substr(first, clean.find_last_not_of(' ') - first + 1);
    // What the file system would read otherwise (on Windows a stream, a
    // device, a dropped trailing dot) becomes a plain name, before the cut
    // so that a "_" put in front still fits.
    clean = platform::FileNameForThisSystem(clean);
    if (clean.size() > MaxNameBytes) {
        const std::size_t dot = ExtensionStart(clean);
        const std::string_view view(clean);
        clean = dot == std::string::npos ? Fit(view, "", "")
                                         : Fit(view.substr(0, dot), "", view.substr(dot));
        // The cut may fall among blanks, which must not end the name either.
        clean.erase(clean.find_last_not_of(' ') + 1);
    }
    if (clean == "." || clean == "..") {
        return std::nullopt;
    }
    // A cut may end the name where Windows would drop what ends it.
    clean = platform::FileNameForThisSystem(clean);
    if (clean.empty()) {
        return std::nullopt;
    }
    return clean;
}

std::string NumberedName(const std::string& name, unsigned n) {
    if (n == 0) {
        return name;
    }
    const std::string suffix = "(" + std::to_string(n) + ")";
    const std::size_t dot = ExtensionStart(name);
    const std::string_view view(name);
    if (dot == std::string::npos) {
        return Fit(view, suffix, "");
    }
    return Fit(view.substr(0, dot), suffix, view.substr(dot));
}

} // namespace engine
