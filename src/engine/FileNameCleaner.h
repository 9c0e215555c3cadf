#pragma once

// Turns a file name sent by a phone into one that is safe to create in the
// upload folder. Pure functions: no file system access.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

// The longest name most Linux file systems accept, in bytes.
inline constexpr std::size_t MaxNameBytes = 255;

// Keeps only the last path component (after "/" and "\"), removes control
// characters, replaces bytes that are not UTF-8 by "_", trims blanks at both
// ends and cuts the result to MaxNameBytes without splitting a UTF-8
// sequence, keeping the extension. nullopt for a name that is then empty,
// "." or "..".
std::optional<std::string> CleanUploadName(std::string_view raw);

// The name with " (n)"-style numbering for the n-th free-name attempt:
// n = 0 gives the name itself, n = 1 "stem(1).ext", and so on. The stem is
// shortened (never splitting a UTF-8 sequence) so the result still fits in
// MaxNameBytes.
std::string NumberedName(const std::string& name, unsigned n);

} // namespace engine
