#include "platform/platform.h"

namespace platform {

// libcurl reads the proxy environment variables itself; there is no other
// system-wide setting to hand it.
std::optional<std::string> SystemProxyFor(const std::string&) {
    return std::nullopt;
}

} // namespace platform
