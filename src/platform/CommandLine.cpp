// The Windows command-line rules, which both systems use to read RunHidden's
// parameter text.

#include "platform/platform.h"

namespace platform {

std::vector<std::string> SplitCommandLine(std::string_view parameters) {
    std::vector<std::string> arguments;
    std::size_t i = 0;
    const std::size_t n = parameters.size();
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    for (;;) {
        while (i < n && isBlank(parameters[i])) {
            ++i;
        }
        if (i >= n) {
            return arguments;
        }
        std::string argument;
        bool quoted = false;
        while (i < n && (quoted || !isBlank(parameters[i]))) {
            char c = parameters[i];
            if (c == '\\') {
                std::size_t slashes = 0;
                while (i < n && parameters[i] == '\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && parameters[i] == '"') {
                    // 2n backslashes + quote: n backslashes, the quote is
                    // syntax; 2n+1: n backslashes and a literal quote.
                    argument.append(slashes / 2, '\\');
                    if (slashes % 2 == 1) {
                        argument += '"';
                        ++i;
                    }
                } else {
                    argument.append(slashes, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < n && parameters[i + 1] == '"') {
                    // "" inside quotes is one literal quote; quoting goes on.
                    argument += '"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            argument += c;
            ++i;
        }
        arguments.push_back(std::move(argument));
    }
}

} // namespace platform
