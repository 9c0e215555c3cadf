#include "net/uAdapterInfo.h"

#include "util/MiscFuncUnit.h"

#include <algorithm>
#include <cstdlib>
#include <cxxabi.h>
#include <exception>
#include <iostream>
#include <memory>
#include <typeinfo>
#include <unordered_map>

namespace net {

namespace {

// Blanks and control characters at either end, as the status and address
// texts are compared trimmed.
std::string Trim(const std::string& text) {
    const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    const auto first = std::find_if_not(text.begin(), text.end(), isBlank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), isBlank).base();
    return first < last ? std::string(first, last) : std::string();
}

std::string UpperCaseAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

// The readable name of the error's class ("std::bad_alloc").
std::string ClassName(const std::exception& error) {
    const char* mangled = typeid(error).name();
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> readable(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    return status == 0 && readable ? std::string(readable.get()) : std::string(mangled);
}

} // namespace

bool ReadAdapters(TAdapterInfo& adapters, const InterfaceTable& interfaces,
                  const AddressTable& addresses) {
    adapters.clear();
    if (!interfaces || interfaces->empty() || !addresses || addresses->empty()) {
        return false;
    }
    // The first address row of each interface, in the address table's order.
    std::unordered_map<std::uint32_t, std::string> firstAddress;
    for (const platform::AddressRow& row : *addresses) {
        firstAddress.try_emplace(row.interfaceIndex, row.dotted);
    }
    adapters.reserve(interfaces->size());
    for (const platform::InterfaceRow& row : *interfaces) {
        TAdapterRecord record;
        record.interfaceIndex = row.index;
        record.interfaceType = row.type;
        record.operStatus = row.operStatus;
        record.name = row.name;
        if (const auto found = firstAddress.find(row.index); found != firstAddress.end()) {
            record.address = found->second;
        }
        adapters.push_back(std::move(record));
    }
    return true;
}

bool ReadAdapters(TAdapterInfo& adapters) {
    return ReadAdapters(adapters, platform::ReadInterfaceTable(), platform::ReadAddressTable());
}

std::string AdapterTypeName(std::int32_t code) {
    switch (code) {
    case 1:
        return "Other";
    case 6:
        return "Ethernet";
    case 9:
        return "Tokenring";
    case 15:
        return "FDDI";
    case 23:
        return "PPP";
    case 24:
        return "Local loopback";
    case 28:
        return "SLIP";
    case 37:
        return "ATM";
    case 71:
        return "IEEE 802.11";
    case 131:
        return "Tunnel";
    case 144:
        return "IEEE 1394 (Firewire)";
    default:
        return "UNKNOWN";
    }
}

std::string OperStatusName(std::uint32_t code) {
    switch (code) {
    case 0:
        return "NON_OPERATIONAL";
    case 1:
        return "UNREACHABLE";
    case 2:
        return "DISCONNECTED";
    case 3:
        return "CONNECTING";
    case 4:
        return "CONNECTED";
    case 5:
        return "OPERATIONAL";
    default:
        return "UNKNOWN";
    }
}

bool IsDottedAddress(const std::string& text) {
    if (text.size() < 7) {
        return false;
    }
    int dots = 0;
    for (const char c : text) {
        if (c == '.') {
            ++dots;
        } else if (c < '0' || c > '9') {
            return false;
        }
    }
    return dots == 3;
}

namespace {

// Appends as it goes, so that an error leaves what was found before it.
void AppendAdapterAddresses(std::vector<TAdapterAddress>& list, const InterfaceTable& interfaces,
                            const AddressTable& addresses) {
    TAdapterInfo adapters;
    if (!ReadAdapters(adapters, interfaces, addresses)) {
        return;
    }
    for (const TAdapterRecord& adapter : adapters) {
        const std::string status = Trim(UpperCaseAscii(OperStatusName(adapter.operStatus)));
        if (status != "OPERATIONAL" && status != "CONNECTED") {
            continue;
        }
        const std::string address = Trim(adapter.address);
        if (AdapterTypeName(adapter.interfaceType).find("loop") != std::string::npos) {
            continue;
        }
        if (IsDottedAddress(misc::ShortText(address))) {
            list.push_back({address, adapter.interfaceIndex, adapter.name});
        }
    }
}

// The same, with an error written to standard error: start-up goes on with
// what was found, and nobody but a developer can act on it.
void AppendReportingErrors(std::vector<TAdapterAddress>& list, const InterfaceTable& interfaces,
                           const AddressTable& addresses) {
    try {
        AppendAdapterAddresses(list, interfaces, addresses);
    } catch (const std::exception& error) {
        std::cerr << ClassName(error) << ": " << error.what() << '\n';
    }
}

std::vector<std::string> AddressesOf(const std::vector<TAdapterAddress>& named) {
    std::vector<std::string> list;
    list.reserve(named.size());
    for (const TAdapterAddress& adapter : named) {
        list.push_back(adapter.address);
    }
    return list;
}

} // namespace

std::vector<std::string> ListAdapterAddresses(const InterfaceTable& interfaces,
                                              const AddressTable& addresses) {
    std::vector<TAdapterAddress> named;
    AppendAdapterAddresses(named, interfaces, addresses);
    return AddressesOf(named);
}

std::vector<TAdapterAddress> ListNamedAdapterAddresses(const InterfaceTable& interfaces,
                                                       const AddressTable& addresses) {
    std::vector<TAdapterAddress> named;
    AppendReportingErrors(named, interfaces, addresses);
    return named;
}

void ListAdapterAddresses(std::vector<std::string>& list) {
    std::vector<TAdapterAddress> named;
    AppendReportingErrors(named, platform::ReadInterfaceTable(), platform::ReadAddressTable());
    list = AddressesOf(named);
}

} // namespace net
