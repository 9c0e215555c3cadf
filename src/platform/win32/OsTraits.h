#pragma once

// What differs between the systems in the platform interface's constants.

#include <string_view>

namespace platform {

inline constexpr char PathDelimiter = '\\';
// Appended to the names of the companion programs ("TessaryEngine", "pskl").
inline constexpr std::string_view ExecutableSuffix = ".exe";
// Whether the file system takes "A" and "a" for one name.
inline constexpr bool FileNamesIgnoreCase = true;

} // namespace platform
