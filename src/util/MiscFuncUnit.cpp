#include "util/MiscFuncUnit.h"

#include "platform/platform.h"

#include <array>
#include <charconv>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace misc {
namespace {

constexpr const char* SizeUnits[] = {"Bytes", "KB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};

bool IsUtf8Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Byte offset where the code point after the first count ones begins.
std::size_t Utf8Offset(std::string_view text, std::size_t count) {
    std::size_t i = 0;
    for (std::size_t seen = 0; i < text.size(); ++seen) {
        if (seen == count) {
            return i;
        }
        ++i;
        while (i < text.size() && IsUtf8Continuation(text[i])) {
            ++i;
        }
    }
    return i;
}

std::size_t Utf8Length(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        ++i;
        while (i < text.size() && IsUtf8Continuation(text[i])) {
            ++i;
        }
    }
    return count;
}

// The text-file reader's idea of lines: CR LF, CR or LF ends one, a NUL ends
// the text. Every line comes back ending in CR LF, the last one included.
std::string NormalizeLines(std::string_view text) {
    std::size_t end = text.find('\0');
    if (end != std::string_view::npos) {
        text = text.substr(0, end);
    }
    std::string result;
    result.reserve(text.size() + text.size() / 16 + 2);
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t stop = text.find_first_of("\r\n", i);
        if (stop == std::string_view::npos) {
            result.append(text.substr(i));
            result += "\r\n";
            break;
        }
        result.append(text.substr(i, stop - i));
        result += "\r\n";
        i = stop + 1;
        if (text[stop] == '\r' && i < text.size() && text[i] == '\n') {
            ++i;
        }
    }
    return result;
}

std::string ReplaceAll(std::string_view text, std::string_view mark, std::string_view value) {
    std::string result;
    result.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t at = text.find(mark); at != std::string_view::npos;
         at = text.find(mark, from)) {
        result.append(text.substr(from, at - from));
        result.append(value);
        from = at + mark.size();
    }
    result.append(text.substr(from));
    return result;
}

// The stem/extension split: the extension starts at the last "." after the
// last delimiter.
std::size_t ExtensionStart(const std::string& path) {
    std::size_t dot = path.find_last_of('.');
    std::size_t slash = path.find_last_of(platform::PathDelimiter);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return path.size();
    }
    return dot;
}

} // namespace

bool CopyTemplate(const std::string& source, const std::string& target, const std::string& mark,
                  const std::string& value) {
    if (mark.empty()) {
        // A plain copy is housekeeping: its outcome is not the caller's concern.
        platform::CopyFile(source, target, platform::CopyMode::Overwrite);
        return true;
    }
    if (!platform::FileExists(source)) {
        return false;
    }
    std::string error;
    auto content = platform::ReadFileContents(source, error);
    if (!content) {
        throw FileError("Cannot read the template " + source + ": " + error);
    }
    if (auto attributes = platform::GetAttributes(target);
        attributes && (*attributes & (platform::AttrReadOnly | platform::AttrDirectory)) != 0) {
        throw FileError("Cannot write " + target + ": it is " +
                        ((*attributes & platform::AttrDirectory) != 0 ? "a folder" : "read-only"));
    }
    std::string text = NormalizeLines(ReplaceAll(NormalizeLines(*content), mark, value));
    // Through a temporary file, so a failure never leaves half a page.
    if (!platform::WriteFileAtomically(target, text, error)) {
        throw FileError("Cannot write " + target + ": " + error);
    }
    return true;
}

std::string AddressToHex(const std::string& address) {
    std::vector<std::string_view> parts;
    std::string_view rest(address);
    for (;;) {
        std::size_t dot = rest.find('.');
        parts.push_back(rest.substr(0, dot));
        if (dot == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(dot + 1);
    }
    if (parts.size() < 4) {
        throw ListIndexError("The address \"" + address + "\" has fewer than four parts");
    }
    std::string result;
    for (std::size_t i = 0; i < 4; ++i) {
        std::int32_t number = 0;
        auto [end, status] =
            std::from_chars(parts[i].data(), parts[i].data() + parts[i].size(), number);
        if (status != std::errc() || end != parts[i].data() + parts[i].size()) {
            number = 0; // not a number
        }
        // A negative part is written as its 32-bit two's complement.
        char digits[16];
        auto written =
            std::to_chars(digits, digits + sizeof digits, static_cast<std::uint32_t>(number), 16);
        std::string hex(digits, written.ptr);
        if (hex.size() < 2) {
            hex.insert(0, 2 - hex.size(), '0');
        }
        for (char& c : hex) {
            if (c >= 'a' && c <= 'f') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        result += hex;
    }
    return result;
}

std::string TempFolder() {
    return IncludeTrailingDelimiter(platform::TempFolder());
}

std::string RandomLetters() {
    return RandomLetters(platform::RandomBytes);
}

std::string RandomLetters(const RandomSource& source) {
    // 234 is the largest multiple of 26 a byte holds: the bytes above it
    // would make the first letters more likely.
    constexpr unsigned Letters = 26;
    constexpr unsigned Fair = 256 / Letters * Letters;
    std::string letters;
    std::array<unsigned char, 16> bytes{};
    while (letters.size() < 6) {
        if (!source(bytes)) {
            throw std::runtime_error("the system's random source failed");
        }
        for (const unsigned char byte : bytes) {
            if (byte < Fair && letters.size() < 6) {
                letters += static_cast<char>('a' + byte % Letters);
            }
        }
    }
    return letters;
}

std::string MakeTempFileName() {
    const std::string folder = TempFolder();
    for (;;) {
        std::string path = folder + RandomLetters() + ".dat";
        if (!platform::FileExists(path)) {
            return path;
        }
    }
}

std::int64_t FileSizeOf(const std::string& path) {
    auto info = platform::QueryFile(path);
    return info ? info->size : -1;
}

std::string FitNameToFolder(const std::string& name, std::string_view folder) {
    if (platform::NameFitsFolder(folder, name)) {
        return name;
    }
    // An extension longer than this is more likely a dot inside a long name.
    constexpr std::size_t MaxKeptExtension = 32;
    const std::size_t dot = name.find_last_of('.');
    const bool keepExtension =
        dot != std::string::npos && dot > 0 && name.size() - dot <= MaxKeptExtension;
    std::string stem = keepExtension ? name.substr(0, dot) : name;
    const std::string extension = keepExtension ? name.substr(dot) : std::string();
    while (!stem.empty()) {
        // Off comes the last code point, whatever its length in bytes.
        std::size_t last = stem.size() - 1;
        while (last > 0 && (static_cast<unsigned char>(stem[last]) & 0xC0) == 0x80) {
            --last;
        }
        stem.erase(last);
        stem.erase(stem.find_last_not_of(" .") + 1);
        const std::string candidate = platform::FileNameForThisSystem(stem + extension);
        if (!stem.empty() && platform::NameFitsFolder(folder, candidate)) {
            return candidate;
        }
    }
    return {};
}

std::string MakeUniqueName(const std::string& path) {
    // Only the file name: on Windows no folder holds a "?", here one may.
    std::string wanted = path;
    const std::size_t nameAt = wanted.find_last_of(std::string("/") + platform::PathDelimiter);
    for (std::size_t i = nameAt == std::string::npos ? 0 : nameAt + 1; i < wanted.size(); ++i) {
        if (wanted[i] == '?') {
            wanted[i] = '_';
        }
    }
    const std::size_t folderEnd = nameAt == std::string::npos ? 0 : nameAt + 1;
    const std::string fitted =
        FitNameToFolder(wanted.substr(folderEnd), std::string_view(wanted).substr(0, folderEnd));
    if (!fitted.empty()) {
        wanted = wanted.substr(0, folderEnd) + fitted;
    }
    if (!platform::FileExists(wanted)) {
        return wanted;
    }
    const std::size_t extensionAt = ExtensionStart(wanted);
    const std::string stem = wanted.substr(0, extensionAt); // folder included
    const std::string extension = wanted.substr(extensionAt);
    for (std::uint64_t n = 1;; ++n) {
        std::string candidate = stem + "(" + std::to_string(n) + ")" + extension;
        if (!platform::FileExists(candidate)) {
            return candidate;
        }
    }
}

bool IsFileInUse(const std::string& path) {
    try {
        if (!platform::FileExists(path)) {
            return false;
        }
        return !platform::TryOpenExclusive(path);
    } catch (...) {
        return true;
    }
}

void DeleteFileQuietly(const std::string& path) {
    try {
        if (platform::FileExists(path)) {
            platform::DeleteFile(path);
        }
    } catch (...) {
    }
}

std::string ShortDisplayName(const std::string& name) {
    const std::size_t extensionAt = ExtensionStart(name);
    std::string_view stem(name.data(), extensionAt);
    std::string_view extension(name.data() + extensionAt, name.size() - extensionAt);
    if (Utf8Length(stem) <= 20) {
        return name;
    }
    std::string result(stem.substr(0, Utf8Offset(stem, 16)));
    result += "...";
    result += extension;
    return result;
}

std::string SizeToText(std::int64_t size) {
    // Steps of 1024 up to 1024^6; a signed 64-bit size never needs more.
    int e = 0;
    while (e < 6 && size > (std::int64_t{1} << (10 * (e + 1)))) {
        ++e;
    }
    // Hundredths in integers, rounded half away from zero, so the borders
    // come out exactly (1.125 KB is 1.13 KB, 1048575 is 1024 KB).
    const bool negative = size < 0;
    const unsigned __int128 magnitude =
        negative ? static_cast<unsigned __int128>(-(size + 1)) + 1 : size;
    const unsigned __int128 divisor = static_cast<unsigned __int128>(1) << (10 * e);
    unsigned __int128 hundredths = magnitude * 100 / divisor;
    if ((magnitude * 100 % divisor) * 2 >= divisor) {
        ++hundredths;
    }
    const auto whole = static_cast<std::uint64_t>(hundredths / 100);
    const auto fraction = static_cast<unsigned>(hundredths % 100);
    // "###0.##" with "." as the decimal separator whatever the locale.
    std::string text = negative ? "-" : "";
    text += std::to_string(whole);
    if (fraction != 0) {
        text += '.';
        text += static_cast<char>('0' + fraction / 10);
        if (fraction % 10 != 0) {
            text += static_cast<char>('0' + fraction % 10);
        }
    }
    return text + " " + SizeUnits[e];
}

void EnsureFolder(const std::string& path) {
    try {
        if (!platform::FolderExists(path)) {
            platform::CreateFolderTree(path);
        }
    } catch (...) {
    }
}

std::string GetDocumentsFolder() {
    return IncludeTrailingDelimiter(platform::DocumentsFolder());
}

std::string GetAppDataFolder() {
    return IncludeTrailingDelimiter(platform::AppDataFolder());
}

void OpenWithShell(const std::string& path) {
    try {
        platform::OpenWithDefaultApp(path);
    } catch (...) {
    }
}

std::string ExtractFileExt(const std::string& path) {
    return path.substr(ExtensionStart(path));
}

std::string ExtractFileName(const std::string& path) {
    std::size_t slash = path.find_last_of(platform::PathDelimiter);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExtractFilePath(const std::string& path) {
    std::size_t slash = path.find_last_of(platform::PathDelimiter);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string IncludeTrailingDelimiter(const std::string& path) {
    if (!path.empty() && path.back() == platform::PathDelimiter) {
        return path;
    }
    return path + platform::PathDelimiter;
}

std::string Trim(const std::string& text) {
    auto isSpace = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && isSpace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::string CutUtf8Bytes(const std::string& text, std::size_t max) {
    if (text.size() <= max) {
        return text;
    }
    std::size_t cut = max;
    // Step back over continuation bytes to the start of the cut sequence.
    while (cut > 0 && IsUtf8Continuation(text[cut])) {
        --cut;
    }
    return text.substr(0, cut);
}

} // namespace misc
