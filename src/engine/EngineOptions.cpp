#include "engine/EngineOptions.h"

#include <charconv>

namespace engine {

namespace {

std::optional<unsigned> ParseUnsigned(const std::string& text, unsigned max) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<std::uint32_t> ParseIpv4(const std::string& text) {
    std::uint32_t address = 0;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = text.find('.', start);
        const bool last = part == 3;
        if (last != (dot == std::string::npos)) {
            return std::nullopt;
        }
        const std::string piece = text.substr(start, last ? std::string::npos : dot - start);
        if (piece.size() > 3) {
            return std::nullopt;
        }
        const auto value = ParseUnsigned(piece, 255);
        if (!value) {
            return std::nullopt;
        }
        address = (address << 8) | *value;
        start = dot + 1;
    }
    return address;
}

OptionsResult ParseEngineOptions(const std::vector<std::string>& args) {
    OptionsResult result;
    EngineOptions options;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--port" || arg == "--bind" || arg == "--timeout" || arg == "--min-reply-rate" ||
            arg == "--key-budget") {
            if (i + 1 >= args.size()) {
                result.error = arg + " needs a value";
                return result;
            }
            const std::string& value = args[++i];
            if (arg == "--port") {
                const auto port = ParseUnsigned(value, 65535);
                if (!port || *port == 0) {
                    result.error = "invalid port: " + value;
                    return result;
                }
                options.port = static_cast<std::uint16_t>(*port);
            } else if (arg == "--timeout") {
                const auto seconds = ParseUnsigned(value, 3600);
                if (!seconds || *seconds == 0) {
                    result.error = "invalid timeout: " + value;
                    return result;
                }
                options.timeoutSeconds = *seconds;
            } else if (arg == "--min-reply-rate") {
                const auto rate = ParseUnsigned(value, 1U << 30);
                if (!rate) {
                    result.error = "invalid reply rate: " + value;
                    return result;
                }
                options.minReplyRate = *rate;
            } else if (arg == "--key-budget") {
                const auto budget = ParseUnsigned(value, 1U << 20);
                if (!budget || *budget == 0) {
                    result.error = "invalid key budget: " + value;
                    return result;
                }
                options.keyBudget = *budget;
            } else {
                const auto address = ParseIpv4(value);
                if (!address) {
                    result.error = "invalid IPv4 address: " + value;
                    return result;
                }
                options.bindAddress = *address;
            }
        } else if (arg.starts_with("--")) {
            result.error = "unknown option: " + arg;
            return result;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) {
        result.error = "expected a page key and a web root";
        return result;
    }
    options.pageKey = positional[0];
    options.webRoot = positional[1];
    if (options.pageKey.empty() || options.webRoot.empty()) {
        result.error = "the page key and the web root must not be empty";
        return result;
    }
    result.options = options;
    return result;
}

std::string EngineUsage() {
    return "usage: TessaryEngine PAGEKEY WEBROOT [--port N] [--bind ADDRESS] [--timeout S]\n"
           "                     [--min-reply-rate B] [--key-budget N]\n"
           "  PAGEKEY   the key every upload must carry\n"
           "  WEBROOT   the folder to serve, relative to the working folder\n"
           "  --port N  TCP port (default 8016)\n"
           "  --bind A  IPv4 address to listen on (default: every interface)\n"
           "  --timeout S  close connections idle or stalled for S seconds\n"
           "            (default: 20 outside a request, 60 inside one)\n"
           "  --min-reply-rate B  cut replies taken in at under B bytes a second\n"
           "            (default 256)\n"
           "  --key-budget N  wrong keys all addresses together may send a minute\n"
           "            (default 120)\n";
}

} // namespace engine
