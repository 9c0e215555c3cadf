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
// components ("//") are skipped. "/" gives an empty list. A file directly
// in "d/dfiles/" is the exception: a published copy keeps the name the user
// picked, so there only an encoded "/", ".", ".." and NUL are refused.
std::optional<std::vector<std::string>> SplitRequestPath(std::string_view rawPath);

// True for a name a published copy may have: not empty, ".", or "..", and
// without "/" or NUL.
bool IsPublishedFileName(std::string_view name);

// True when every component of the relative path (components separated by
// "/") is servable: not empty and not starting with "."; or when it names a
// file directly in "d/dfiles/" by a published name.
bool IsServableRelativePath(std::string_view relative);

// A path below the web root in the one form the serving rules compare:
// components joined by "/" instead of the system's delimiter, and in ASCII
// lower case where the file system ignores case. On Windows the canonical
// "d\DFiles\x.HTML" reads "d/dfiles/x.html"; on Linux only the delimiter
// is "/" already and nothing changes (a "\" there is part of a name).
std::string ComparableRelativePath(std::string_view relative, char delimiter, bool ignoreCase);

// The Content-Type for a file name, by its extension (text types with a
// UTF-8 charset); "application/octet-stream" for unknown ones.
std::string ContentTypeFor(std::string_view fileName);

// True for names the phone must always fetch afresh (HTML pages).
bool IsHtmlName(std::string_view fileName);

} // namespace engine
