#pragma once

// Decoding of request paths and query values, and the rules that keep a
// request inside the web root. Pure functions on text.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// Decodes %XX escapes (and "+" as a blank when plusIsSpace, as in query
// values). nullopt for a malformed escape or an encoded NUL.
std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace);

// Splits a raw (still percent-encoded) request path into its decoded folder
// and file names. nullopt, meaning "not found", for anything that could
// leave the web root or reach what is never served: an encoded "/" or "\",
// a backslash, NUL or other control character, a "." or ".." component, a
// dot file or dot folder, or a path that does not start with "/". Empty
// components ("//") are skipped. "/" gives an empty list.
std::optional<std::vector<std::string>> SplitRequestPath(std::string_view rawPath);

// True when every component of the relative path (components separated by
// "/") is servable: not empty and not starting with ".".
bool IsServableRelativePath(std::string_view relative);

// The Content-Type for a file name, by its extension (text types with a
// UTF-8 charset); "application/octet-stream" for unknown ones.
std::string ContentTypeFor(std::string_view fileName);

// True for names the phone must always fetch afresh (HTML pages).
bool IsHtmlName(std::string_view fileName);

} // namespace engine
