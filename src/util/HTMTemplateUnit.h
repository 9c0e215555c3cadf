#pragma once

// The HTML of one file entry on the phone's download page.

#include <string>

namespace htmtemplate {

// The seven-line entry with its ##FILEEXT##, ##FILENAME##, ##FILESIZE##,
// ##FILEDATE## and ##FILEURL## marks, every line ending in CR LF. Built once.
const std::string& FileEntryTemplate();

// The filled entry of the file at path (the file the user chose). linkName is
// the name the link opens below "dfiles/" (the copy's real name); empty means
// the chosen file's own name. Values are HTML-escaped, the link percent-encoded.
std::string FillFileEntry(const std::string& path, const std::string& linkName = {});

} // namespace htmtemplate
