#pragma once

// This PC's IPv4 addresses for the phone: the primary address for the
// direct URLs and the address list sent with the update check. Found once at
// start-up; a change of the network during the run is not noticed.

#include "net/uAdapterInfo.h"
#include "platform/platform.h"

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
    std::vector<std::string> adapterNames;     // the interface of each adapter address
    TAddressList addressList;
};

using RouteTable = std::optional<std::vector<platform::DefaultRoute>>;

// The address of the adapter that carries the preferred default route: the
// routes are taken by ascending metric (table order among equals) and the
// first whose interface has an address among adapters gives it (that
// interface's first one). Empty when no route leaves by such an adapter.
std::string DefaultRouteAddress(const std::vector<TAdapterAddress>& adapters,
                                const RouteTable& routes);

// The address list from the lookup's primary address and the adapter
// addresses. An empty lookupPrimary is replaced by routeAddress, the address
// of the interface that carries the default route, and when that is empty
// too by the first adapter address. Adapter entries equal to the primary
// address are skipped, the others fill slots 2 to 10 in order (duplicates
// among them included), and any beyond the ninth are dropped.
TAddresses FillAddressList(const std::string& lookupPrimary,
                           const std::vector<std::string>& adapterAddresses,
                           const std::string& routeAddress = {});
// The same from a host-name lookup result and the three tables, as the
// platform gives them; adapterNames is filled too.
TAddresses FillAddressList(const std::optional<std::vector<std::string>>& lookup,
                           const InterfaceTable& interfaces, const AddressTable& addresses,
                           const RouteTable& routes);
// The start-up step: the same over the platform's lookup and tables.
TAddresses FillAddressList();

// The interface name of an address of the list, empty when no adapter
// carries it (an address that only the host-name lookup gave).
std::string InterfaceNameOf(const TAddresses& found, const std::string& address);

} // namespace net
