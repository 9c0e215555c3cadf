#include "platform/platform.h"

namespace platform {

// Linux file systems take every byte but "/" and NUL in a name.
std::string FileNameForThisSystem(std::string_view name) {
    std::string out(name);
    for (char& c : out)
        if (c == '/' || c == '\0')
            c = '_';
    return out;
}

bool NameFitsFolder(std::string_view, std::string_view name) {
    return name.size() <= 255;
}

bool IsPlainFileName(std::string_view name) {
    return !name.empty() && FileNameForThisSystem(name) == name;
}

} // namespace platform
