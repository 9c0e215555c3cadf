#pragma once

// The small file and name operations the program shares. Free functions
// without state of their own. Text is UTF-8; limits on stored text count
// bytes, limits on text for people to read count characters, and no cut ever
// splits a UTF-8 sequence. Operations returning nothing swallow every failure.

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace misc {

// A template or page that cannot be read or written.
class FileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An index outside a list (an address with fewer than four parts).
class ListIndexError : public std::out_of_range {
  public:
    using std::out_of_range::out_of_range;
};

// With an empty mark: copies source over target (a hidden or read-only
// target is refused) and returns true whatever happened. With a mark: false
// when no file is at source; else rewrites the text with every mark replaced
// by value and every line ending in CR LF, and returns true. Throws FileError
// when the template cannot be read or the target cannot be written (a
// read-only target or a folder included); the target is replaced whole or
// not at all.
bool CopyTemplate(const std::string& source, const std::string& target, const std::string& mark,
                  const std::string& value);

// "192.168.1.20" -> "C0A80114": the first four parts as at least two upper-case
// hex digits each. Throws ListIndexError for fewer than four parts.
std::string AddressToHex(const std::string& address);

// The temporary folder with a trailing delimiter.
std::string TempFolder();
// Where random bytes come from: fills the span, false when it failed.
using RandomSource = std::function<bool(std::span<unsigned char>)>;
// Six letters "a" to "z", each equally likely, drawn from the operating
// system's random source (also the run's page key, a secret of the run).
// Throws std::runtime_error when the source fails.
std::string RandomLetters();
// The same from the given source: bytes that would favour some letters
// (those from 234 up) are drawn again.
std::string RandomLetters(const RandomSource& source);
// A path TempFolder() + six letters + ".dat" where no file exists yet.
std::string MakeTempFileName();

// The size of the file, -1 when it cannot be read.
std::int64_t FileSizeOf(const std::string& path);

// "?" in the file name becomes "_" (a folder's name here may hold one and
// keeps it); a name too long for its folder is cut as FitNameToFolder cuts
// it; a taken name gets "(1)", "(2)"... before its extension.
std::string MakeUniqueName(const std::string& path);

// The file name shortened until it fits folder with room for a numbering
// (platform::NameFitsFolder): code points come off the end of the stem, and
// an extension of up to 32 bytes is kept. Empty when even the shortest form
// does not fit.
std::string FitNameToFolder(const std::string& name, std::string_view folder);

// True unless the file is gone or can be opened exclusively (nobody holds
// the engine's lock, it is not read-only). Never throws.
bool IsFileInUse(const std::string& path);

// Deletes the file when one is there; every failure is swallowed.
void DeleteFileQuietly(const std::string& path);

// A stem over 20 characters becomes its first 16 and "..."; the extension stays.
std::string ShortDisplayName(const std::string& name);

// 1025 -> "1 KB", 5000000 -> "4.77 MB", -1 -> "-1 Bytes".
std::string SizeToText(std::int64_t size);

// Creates the folder with all missing parents; every failure is swallowed.
void EnsureFolder(const std::string& path);
// The user's documents folder with a trailing delimiter ("/" when unknown).
std::string GetDocumentsFolder();
// The user's application-data folder with a trailing delimiter.
std::string GetAppDataFolder();
// Hands a folder, file or web address to the desktop's default application;
// the outcome is ignored.
void OpenWithShell(const std::string& path);

// Splitting a file name the toolkit's way: the extension runs from the last
// "." after the last delimiter to the end, dot included.
std::string ExtractFileExt(const std::string& path);
// The last component of a path (after the last delimiter).
std::string ExtractFileName(const std::string& path);
// The folder part of a path, with its trailing delimiter.
std::string ExtractFilePath(const std::string& path);
// Appends a delimiter when the text does not end in one.
std::string IncludeTrailingDelimiter(const std::string& path);
// Removes leading and trailing blanks and control characters (<= U+0020).
std::string Trim(const std::string& text);
// The first max bytes of text, shortened further so no UTF-8 sequence is split.
std::string CutUtf8Bytes(const std::string& text, std::size_t max);
// A short text (the address slots, the relay template): at most 255 bytes.
inline std::string ShortText(const std::string& text) {
    return CutUtf8Bytes(text, 255);
}

} // namespace misc
