#pragma once

// This PC's IPv4 addresses for the phone: the primary address for the
// direct URLs and the address list sent with the update check. Found once at
// start-up; a change of the network during the run is not noticed.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace net {

// The address from a host-name lookup result: its last non-loopback address,
// empty when there is none. Linux maps the host name to 127.0.1.1, which no
// phone can reach, so loopback addresses never count.
std::string PrimaryFromLookup(const std::optional<std::vector<std::string>>& lookup);
// The same over the platform's host-name lookup.
std::string FindPrimaryAddress();

// Ten slots of short text (at most 255 bytes each), numbered 1 to 10 here as
// slots[0] to slots[9]; slots[0] always counts, count is 1 to 10.
struct TAddressList {
    static constexpr std::size_t SlotCount = 10;
    std::array<std::string, SlotCount> entries;
    std::int32_t count = 1;
};

// What address discovery leaves for the run.
struct TAddresses {
    std::string primaryAddress;                // empty when nothing was found
    std::vector<std::string> adapterAddresses; // filtered, in adapter-table order
    TAddressList addressList;
};

// The address list from the lookup's primary address and the adapter
// addresses. An empty lookupPrimary is replaced by the first adapter
// address. Adapter entries equal to the primary address are skipped, the
// others fill slots 2 to 10 in order (duplicates among them included), and
// any beyond the ninth are dropped.
TAddresses FillAddressList(const std::string& lookupPrimary,
                           const std::vector<std::string>& adapterAddresses);
// The start-up step: the same over the platform's lookup and tables.
TAddresses FillAddressList();

} // namespace net
