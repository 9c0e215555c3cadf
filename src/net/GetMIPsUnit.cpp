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

TAddresses FillAddressList(const std::string& lookupPrimary,
                           const std::vector<std::string>& adapterAddresses) {
    TAddresses result;
    result.primaryAddress = lookupPrimary;
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

TAddresses FillAddressList() {
    const std::string primary = FindPrimaryAddress();
    std::vector<std::string> adapters;
    ListAdapterAddresses(adapters);
    return FillAddressList(primary, adapters);
}

} // namespace net
