#pragma once

// A piece of text as a file: what the PC pastes for the phone, and what the
// phone's upload page sends, both named from the clock as
// "Text yyyy-mm-dd hh.mm.ss.txt" and holding the text's UTF-8 bytes.

#include <QDateTime>
#include <QString>
#include <optional>
#include <string>

namespace appcore {

// "Text 2026-12-10 19.42.01.txt" for that local time.
QString TextFileName(const QDateTime& when);

// True for a name of that form, also with the "(n)" a taken name gets.
bool IsTextFileName(const QString& name);

// True when text holds something other than blanks, so is worth sending.
bool HasWords(const QString& text);

// Writes text as UTF-8, unchanged, into folder (with its trailing delimiter)
// under TextFileName(when), or "(n)" when taken. The path written, nullopt
// when it could not be written (nothing is left then).
std::optional<std::string> WriteTextFile(const std::string& folder, const QString& text,
                                         const QDateTime& when);

// The first line of the text file that holds words, blanks trimmed, cut to
// maxChars characters with "…"; empty when the file cannot be read or is not
// UTF-8 text. Reads no more than the first 4 KB.
QString FirstLineOfText(const std::string& path, int maxChars = 80);

} // namespace appcore
