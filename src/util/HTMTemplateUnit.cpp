#include "util/HTMTemplateUnit.h"

#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

#include <array>
#include <chrono>
#include <iomanip>
#include <sstream>
#include <utility>

namespace htmtemplate {

namespace {

std::string BuildFileEntryTemplate() {
    static constexpr std::array<std::string_view, 7> lines = {
        "",
        R"(<table width="80%" border="0" cellspacing="0" cellpadding="5" bgcolor="#EEEEEE" )"
        R"(style="border-radius:6px;; box-shadow: 3px 3px 3px #999;">)",
        R"(<tr><td colspan="2" bgcolor="#1D96B2" style="color:#FFFFFF; font-size: 14px; )"
        R"(text-align:left; padding-bottom:4px;">&nbsp;&nbsp;##FILEEXT##</td></tr>)",
        R"(<tr><td colspan="2" style="color:#000000; font-size: 14px; text-align:left; )"
        R"(padding-bottom:4px;">&nbsp;&nbsp;##FILENAME##</td></tr>)",
        R"(<tr><td width="35%" style="color:#000000; font-size: 12px; text-align:left; )"
        R"(padding-bottom:4px;">&nbsp;&nbsp;Size: ##FILESIZE##</td><td style="color:#000000; )"
        R"(font-size: 12px; text-align:left; padding-bottom:4px;">&nbsp;&nbsp;Date: )"
        R"(##FILEDATE##</td></tr>)",
        R"(<tr><td colspan="2" align="center"><button class="cbutton" )"
        R"(onclick="window.open('##FILEURL##', '_blank', '');">Open</button><br><br></td></tr>)",
        "</table><br><br>",
    };
    std::string text;
    for (auto line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

// The user's locale for dates, read once; the C locale when the environment
// names one that is not installed (std::locale throws then).
const std::locale& UserLocale() {
    static const std::locale locale = [] {
        try {
            return std::locale("");
        } catch (const std::exception&) {
            return std::locale::classic();
        }
    }();
    return locale;
}

// Entries are filled on the GUI thread alone, so the standard function's
// shared result is copied before anything else can ask for it.
std::tm ToLocalTime(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    const std::tm* local = std::localtime(&seconds);
    return local ? *local : std::tm{};
}

std::string UpperAsciiExtension(const std::string& path) {
    std::string ext = misc::ExtractFileExt(path);
    if (!ext.empty() && ext.front() == '.')
        ext.erase(0, 1);
    for (char& c : ext) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return ext;
}

// Replaces each mark of the template by its value in one pass, so a value
// that happens to contain a mark (a file named "##FILEDATE##.txt") is shown
// as it is and never filled in by a later replacement.
std::string FillMarks(const std::string& text,
                      const std::array<std::pair<std::string_view, std::string>, 5>& marks) {
    std::string out;
    out.reserve(text.size() + 256);
    std::size_t pos = 0;
    while (pos < text.size()) {
        bool replaced = false;
        if (text.compare(pos, 2, "##") == 0) {
            for (const auto& [mark, value] : marks) {
                if (text.compare(pos, mark.size(), mark) == 0) {
                    out += value;
                    pos += mark.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            out += text[pos++];
    }
    return out;
}

} // namespace

const std::string& FileEntryTemplate() {
    static const std::string entry = BuildFileEntryTemplate();
    return entry;
}

std::string EscapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string PercentEncode(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                                (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                                byte == '_' || byte == '~';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
    return out;
}

std::string FileDateText(const std::tm& localTime, const std::locale& locale) {
    std::ostringstream text;
    text.imbue(locale);
    text << std::put_time(&localTime, "%x");
    if (localTime.tm_hour != 0 || localTime.tm_min != 0 || localTime.tm_sec != 0)
        text << ' ' << std::put_time(&localTime, "%X");
    return text.str();
}

std::string FillFileEntry(const std::string& path, const std::string& linkName) {
    const std::int64_t size = misc::FileSizeOf(path);
    const auto info = platform::QueryFile(path);
    const auto written = info ? info->lastWrite : std::chrono::system_clock::now();
    const std::string dateText = FileDateText(ToLocalTime(written), UserLocale());

    const std::string name = misc::ExtractFileName(path);
    const std::string& link = linkName.empty() ? name : linkName;

    return FillMarks(FileEntryTemplate(),
                     {{{"##FILEEXT##", EscapeHtml(UpperAsciiExtension(path))},
                       {"##FILESIZE##", EscapeHtml(misc::SizeToText(size))},
                       {"##FILENAME##", EscapeHtml(misc::ShortDisplayName(name))},
                       {"##FILEDATE##", EscapeHtml(dateText)},
                       {"##FILEURL##", "dfiles/" + PercentEncode(link)}}});
}

std::string PreviewRow(const std::string& link, int width, int height) {
    return "<tr><td colspan=\"2\" align=\"center\"><img class=\"preview\" src=\"" +
           EscapeHtml(link) + "\" width=\"" + std::to_string(width) + "\" height=\"" +
           std::to_string(height) + "\" loading=\"lazy\" alt=\"\"></td></tr>";
}

} // namespace htmtemplate
