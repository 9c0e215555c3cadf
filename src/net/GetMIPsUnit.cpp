#include "net/GetMIPsUnit.h"

#include "net/uAdapterInfo.h"
#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

#include <algorithm>

namespace net {

namespace {

// 127.0.0.0/8 in dotted text: the first part is exactly "127".
bool IsLoopbackAddress(const std::string& dotted) {
    return dotted.rfind("127.", 0) == 0;
}

} // namespace

std::string PrimaryFromLookup(const std::optional<std::vector<std::string>>& lookup) {
    if (!lookup) {
        return {};
    }
    // Each address replaces the one before: the last one wins.
    std::string result;
    for (const std::string& address : *lookup) {
        if (!IsLoopbackAddress(address)) {
            result = address;
        }
    }
    return result;
}

std::string FindPrimaryAddress() {
    return PrimaryFromLookup(platform::HostNameAddresses());
}

std::string DefaultRouteAddress(const std::vector<TAdapterAddress>& adapters,
                                const RouteTable& routes) {
    if (!routes) {
        return {};
    }
    std::vector<platform::DefaultRoute> byMetric = *routes;
    std::stable_sort(byMetric.begin(), byMetric.end(),
                     [](const auto& a, const auto& b) { return a.metric < b.metric; });
    // A route whose interface is down, loopback or without an address is
    // not one a phone could come in by.
    for (const platform::DefaultRoute& route : byMetric) {
        const auto adapter =
            std::find_if(adapters.begin(), adapters.end(), [&route](const TAdapterAddress& a) {
                return a.interfaceIndex == route.interfaceIndex;
            });
        if (adapter != adapters.end()) {
            return adapter->address;
        }
    }
    return {};
}

TAddresses FillAddressList(const std::string& lookupPrimary,
                           const std::vector<std::string>& adapterAddresses,
                           const std::string& routeAddress) {
    TAddresses result;
    result.primaryAddress = lookupPrimary;
    if (result.primaryAddress.empty()) {
        result.primaryAddress = routeAddress;
    }
    if (result.primaryAddress.empty() && !adapterAddresses.empty()) {
        result.primaryAddress = adapterAddresses.front();
    }
    result.adapterAddresses = adapterAddresses;

    TAddressList& list = result.addressList;
    list.entries[0] = misc::ShortText(result.primaryAddress);
    list.count = 1;
    for (const std::string& address : adapterAddresses) {
        if (address == result.primaryAddress) {
            continue;
        }
        if (static_cast<std::size_t>(list.count) >= TAddressList::SlotCount) {
            break;
        }
        list.entries[static_cast<std::size_t>(list.count)] = misc::ShortText(address);
        ++list.count;
    }
    return result;
}

TAddresses FillAddressList(const std::optional<std::vector<std::string>>& lookup,
                           const InterfaceTable& interfaces, const AddressTable& addresses,
                           const RouteTable& routes) {
    const std::vector<TAdapterAddress> adapters = ListNamedAdapterAddresses(interfaces, addresses);
    std::vector<std::string> adapterAddresses;
    std::vector<std::string> adapterNames;
    for (const TAdapterAddress& adapter : adapters) {
        adapterAddresses.push_back(adapter.address);
        adapterNames.push_back(adapter.interfaceName);
    }
    TAddresses result = FillAddressList(PrimaryFromLookup(lookup), adapterAddresses,
                                        DefaultRouteAddress(adapters, routes));
    result.adapterNames = std::move(adapterNames);
    return result;
}

TAddresses FillAddressList() {
    return FillAddressList(platform::HostNameAddresses(), platform::ReadInterfaceTable(),
                           platform::ReadAddressTable(), platform::ReadDefaultRoutes());
}

std::string InterfaceNameOf(const TAddresses& found, const std::string& address) {
    for (std::size_t i = 0; i < found.adapterAddresses.size() && i < found.adapterNames.size();
         ++i) {
        if (found.adapterAddresses[i] == address) {
            return found.adapterNames[i];
        }
    }
    return {};
}

} // namespace net
