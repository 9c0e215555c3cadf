#pragma once

// The HTML of one file entry on the phone's download page.

#include <ctime>
#include <locale>
#include <string>
#include <string_view>

namespace htmtemplate {

// The seven-line entry with its ##FILEEXT##, ##FILENAME##, ##FILESIZE##,
// ##FILEDATE## and ##FILEURL## marks, every line ending in CR LF. Built once.
const std::string& FileEntryTemplate();

// The filled entry of the file at path (the file the user chose). linkName is
// the name the link opens below "dfiles/" (the copy's real name); empty means
// the chosen file's own name. Values are HTML-escaped, the link percent-encoded.
// Dates use the user's locale (LC_ALL, LC_TIME, LANG), the C locale when that
// one is not installed.
std::string FillFileEntry(const std::string& path, const std::string& linkName = {});

// The row an entry of a picture carries above its Open button: the preview
// at link (relative to the download page, used as it stands), width x height
// pixels, loaded only when the phone scrolls near it. No line end.
std::string PreviewRow(const std::string& link, int width, int height);

// The short date, a blank and the long time of localTime in the locale's
// formats (%x and %X); the date alone when the time is exactly midnight.
std::string FileDateText(const std::tm& localTime, const std::locale& locale);

// Text safe inside HTML content and quoted attributes: & < > " ' escaped.
std::string EscapeHtml(std::string_view text);

// Every byte outside A-Z a-z 0-9 - . _ ~ as %XX, so the result is a single
// path segment that is also safe inside a quoted JavaScript string.
std::string PercentEncode(std::string_view text);

} // namespace htmtemplate
