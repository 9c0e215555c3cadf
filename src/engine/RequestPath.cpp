#include "engine/RequestPath.h"

#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <utility>

namespace engine {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string LowerExtension(std::string_view fileName) {
    const std::size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos) {
        return {};
    }
    std::string ext(fileName.substr(dot + 1));
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return ext;
}

} // namespace

std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            const char decoded = static_cast<char>(high * 16 + low);
            if (decoded == '\0') {
                return std::nullopt;
            }
            out += decoded;
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out += ' ';
        } else if (c == '\0') {
            return std::nullopt;
        } else {
            out += c;
        }
    }
    return out;
}

bool IsPublishedFileName(std::string_view name) {
    return name != "." && name != ".." && platform::IsPlainFileName(name);
}

std::optional<std::vector<std::string>> SplitRequestPath(std::string_view rawPath) {
    if (rawPath.empty() || rawPath.front() != '/') {
        return std::nullopt;
    }
    std::vector<std::string> components;
    std::size_t start = 1;
    while (start <= rawPath.size()) {
        std::size_t end = rawPath.find('/', start);
        if (end == std::string_view::npos) {
            end = rawPath.size();
        }
        const std::string_view raw = rawPath.substr(start, end - start);
        start = end + 1;
        if (raw.empty()) {
            continue;
        }
        const auto name = PercentDecode(raw, false);
        if (!name || name->empty()) {
            return std::nullopt;
        }
        // A decoded "/" or "\" would change how the path splits; a leading dot
        // covers ".", ".." and every dot file or folder.
        const bool unsafe = std::any_of(name->begin(), name->end(), [](unsigned char c) {
            return c == '/' || c == '\\' || c < 0x20 || c == 0x7F;
        });
        // Published copies keep the names the user picked, whatever the file
        // system takes. Elsewhere, names the file system reads its own way (on
        // Windows "a.txt:x", "a.txt.", "nul.txt") would open something other
        // than they say.
        const bool published = start > rawPath.size() && components.size() == 2 &&
                               components[0] == "d" && components[1] == "dfiles";
        if (published ? !IsPublishedFileName(*name)
                      : (unsafe || name->front() == '.' || !platform::IsPlainFileName(*name))) {
            return std::nullopt;
        }
        components.push_back(*name);
    }
    return components;
}

bool IsServableRelativePath(std::string_view relative) {
    constexpr std::string_view publishedDir = "d/dfiles/";
    if (relative.starts_with(publishedDir) &&
        IsPublishedFileName(relative.substr(publishedDir.size()))) {
        return true;
    }
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find_first_of("/\\", start);
        if (end == std::string_view::npos) {
            end = relative.size();
        }
        const std::string_view name = relative.substr(start, end - start);
        if (name.empty() || name.front() == '.') {
            return false;
        }
        start = end + 1;
    }
    return true;
}

std::string ComparableRelativePath(std::string_view relative, char delimiter, bool ignoreCase) {
    std::string out(relative);
    for (char& c : out) {
        if (c == delimiter) {
            c = '/';
        } else if (ignoreCase && c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string ContentTypeFor(std::string_view fileName) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 52> types{{
        {"html", "text/html; charset=utf-8"},
        {"htm", "text/html; charset=utf-8"},
        {"css", "text/css; charset=utf-8"},
        {"js", "text/javascript; charset=utf-8"},
        {"mjs", "text/javascript; charset=utf-8"},
        {"json", "application/json"},
        {"txt", "text/plain; charset=utf-8"},
        {"csv", "text/csv; charset=utf-8"},
        {"xml", "application/xml"},
        {"svg", "image/svg+xml"},
        {"png", "image/png"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
        {"webp", "image/webp"},
        {"bmp", "image/bmp"},
        {"ico", "image/x-icon"},
        {"heic", "image/heic"},
        {"heif", "image/heif"},
        {"avif", "image/avif"},
        {"tif", "image/tiff"},
        {"tiff", "image/tiff"},
        {"mp4", "video/mp4"},
        {"m4v", "video/mp4"},
        {"mov", "video/quicktime"},
        {"webm", "video/webm"},
        {"mkv", "video/x-matroska"},
        {"avi", "video/x-msvideo"},
        {"3gp", "video/3gpp"},
        {"ogv", "video/ogg"},
        {"mp3", "audio/mpeg"},
        {"m4a", "audio/mp4"},
        {"aac", "audio/aac"},
        {"wav", "audio/wav"},
        {"ogg", "audio/ogg"},
        {"oga", "audio/ogg"},
        {"opus", "audio/opus"},
        {"flac", "audio/flac"},
        {"pdf", "application/pdf"},
        {"zip", "application/zip"},
        {"gz", "application/gzip"},
        {"7z", "application/x-7z-compressed"},
        {"apk", "application/vnd.android.package-archive"},
        {"doc", "application/msword"},
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"xls", "application/vnd.ms-excel"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"ppt", "application/vnd.ms-powerpoint"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
        {"wasm", "application/wasm"},
        {"woff2", "font/woff2"},
        {"ttf", "font/ttf"},
    }};
    const std::string ext = LowerExtension(fileName);
    for (const auto& [known, type] : types) {
        if (ext == known) {
            return std::string(type);
        }
    }
    return "application/octet-stream";
}

bool IsHtmlName(std::string_view fileName) {
    const std::string ext = LowerExtension(fileName);
    return ext == "html" || ext == "htm";
}

} // namespace engine
