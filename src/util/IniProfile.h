#pragma once

// Reading INI files by the profile-reader rules: section and key names without
// regard to case, first match wins, the default for a missing file, section or
// key, values cut at 2047 bytes, one pair of enclosing quotes removed.

#include <string>

namespace ini {

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& defaultValue);

} // namespace ini
