#pragma once

// The PC's network adapters as the interface and IPv4 address tables describe
// them, and the filter that picks the addresses a phone may reach. The logic
// takes the tables as parameters; the overloads without them read the
// platform's tables.

#include "platform/platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace net {

// One adapter: a row of the interface table and its first IPv4 address.
struct TAdapterRecord {
    std::uint32_t interfaceIndex = 0;
    std::int32_t interfaceType = 0;
    std::uint32_t operStatus = 0;
    std::string address; // dotted; empty when the interface has no IPv4 address
    std::string name;    // the interface's name ("eth0", "wlan0")
};

// The adapters in interface-table order.
using TAdapterInfo = std::vector<TAdapterRecord>;

using InterfaceTable = std::optional<std::vector<platform::InterfaceRow>>;
using AddressTable = std::optional<std::vector<platform::AddressRow>>;

// Fills adapters with one record per interface row, each carrying the first
// address row (in the address table's order) of the same interface. False,
// with adapters emptied, when either table is missing or has no row.
bool ReadAdapters(TAdapterInfo& adapters, const InterfaceTable& interfaces,
                  const AddressTable& addresses);
// The same over the platform's tables.
bool ReadAdapters(TAdapterInfo& adapters);

// "Ethernet", "Local loopback", "IEEE 802.11"...; "UNKNOWN" for other codes.
std::string AdapterTypeName(std::int32_t code);
// "OPERATIONAL", "CONNECTED"...; "UNKNOWN" for other codes.
std::string OperStatusName(std::uint32_t code);

// True for at least 7 characters of only digits and ".", with exactly three
// "."; the numbers are not compared with 255.
bool IsDottedAddress(const std::string& text);

// The addresses of the adapters that are operational or connected, are not
// loopback and carry a dotted address, in ascending interface index. Empty
// when the tables cannot be read.
std::vector<std::string> ListAdapterAddresses(const InterfaceTable& interfaces,
                                              const AddressTable& addresses);
// An address that passes the filter, with the interface it belongs to.
struct TAdapterAddress {
    std::string address;
    std::uint32_t interfaceIndex = 0;
    std::string interfaceName;
};
// The same filter as ListAdapterAddresses, keeping each address's interface.
// An error while it filters is written to standard error and ends the list
// where it was.
std::vector<TAdapterAddress> ListNamedAdapterAddresses(const InterfaceTable& interfaces,
                                                       const AddressTable& addresses);

// Empties list and fills it from the platform's tables. An error while it
// filters is written to standard error and ends the list where it was.
void ListAdapterAddresses(std::vector<std::string>& list);

} // namespace net
