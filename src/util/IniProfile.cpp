#include "util/IniProfile.h"

#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

#include <string_view>

namespace ini {
namespace {

// The profile reader hands back at most this many bytes of a value.
constexpr std::size_t MaxValueBytes = 2047;

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// One pair of matching enclosing quotes goes, as the profile reader does.
std::string_view Unquoted(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

} // namespace

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& defaultValue) {
    // Through the platform's UTF-8 path: a narrow stream on Windows would
    // spell the path in the ANSI code page, which may lack the user's name.
    std::string error;
    const auto text = platform::ReadFileContents(file, error);
    if (!text)
        return defaultValue;
    std::string_view rest(*text);
    if (rest.starts_with("\xEF\xBB\xBF"))
        rest.remove_prefix(3);
    // A NUL ends the text, as it ends the reader's view of a file.
    rest = rest.substr(0, rest.find('\0'));

    // Only the first section of that name counts; in it the first such key.
    enum class Where { Before, Inside, After } where = Where::Before;
    while (!rest.empty() && where != Where::After) {
        const std::size_t end = rest.find_first_of("\r\n");
        std::string_view line = Trimmed(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);

        if (line.starts_with('[')) {
            if (where == Where::Inside) {
                where = Where::After;
                break;
            }
            const std::size_t close = line.find(']');
            const std::string_view name =
                Trimmed(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
            if (EqualNoCase(name, section))
                where = Where::Inside;
            continue;
        }
        if (where != Where::Inside || line.starts_with(';'))
            continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        if (!EqualNoCase(Trimmed(line.substr(0, equals)), key))
            continue;
        const std::string value(Unquoted(Trimmed(line.substr(equals + 1))));
        return misc::CutUtf8Bytes(value, MaxValueBytes);
    }
    return defaultValue;
}

} // namespace ini
