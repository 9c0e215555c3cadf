// What keeps phones out. Linux firewalls (nftables, firewalld, ufw) share no
// interface a program may ask without privileges, and the system marks no
// network as public, so nothing is known to block them.

#include "platform/platform.h"

namespace platform {

std::optional<std::string> PhoneBlockedNotice(const std::string&, const std::string&) {
    return std::nullopt;
}

} // namespace platform
