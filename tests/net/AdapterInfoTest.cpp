#include "net/uAdapterInfo.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using net::AdapterTypeName;
using net::IsDottedAddress;
using net::ListAdapterAddresses;
using net::OperStatusName;
using platform::AddressRow;
using platform::InterfaceRow;

namespace {

InterfaceRow Interface(std::uint32_t index, std::int32_t type, std::uint32_t status) {
    return {index, type, status, "if" + std::to_string(index)};
}

AddressRow Address(const std::string& dotted, std::uint32_t index) {
    std::uint32_t value = 0;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = dotted.find('.', start);
        value = value << 8 | static_cast<std::uint32_t>(std::stoul(dotted.substr(start, dot)));
        start = dot + 1;
    }
    return {value, dotted, index};
}

} // namespace

TEST(AdapterInfo, TypeAndStatusNames) {
    EXPECT_EQ(AdapterTypeName(1), "Other");
    EXPECT_EQ(AdapterTypeName(6), "Ethernet");
    EXPECT_EQ(AdapterTypeName(9), "Tokenring");
    EXPECT_EQ(AdapterTypeName(15), "FDDI");
    EXPECT_EQ(AdapterTypeName(23), "PPP");
    EXPECT_EQ(AdapterTypeName(24), "Local loopback");
    EXPECT_EQ(AdapterTypeName(28), "SLIP");
    EXPECT_EQ(AdapterTypeName(37), "ATM");
    EXPECT_EQ(AdapterTypeName(71), "IEEE 802.11");
    EXPECT_EQ(AdapterTypeName(131), "Tunnel");
    EXPECT_EQ(AdapterTypeName(144), "IEEE 1394 (Firewire)");
    EXPECT_EQ(AdapterTypeName(0), "UNKNOWN");
    EXPECT_EQ(AdapterTypeName(-6), "UNKNOWN");

    const std::vector<std::string> statuses = {"NON_OPERATIONAL", "UNREACHABLE", "DISCONNECTED",
                                               "CONNECTING",      "CONNECTED",   "OPERATIONAL"};
    for (std::uint32_t code = 0; code < statuses.size(); ++code) {
        EXPECT_EQ(OperStatusName(code), statuses[code]);
    }
    EXPECT_EQ(OperStatusName(6), "UNKNOWN");
    EXPECT_EQ(OperStatusName(0xFFFFFFFFu), "UNKNOWN");
}

TEST(AdapterInfo, DottedAddressCountsDotsNotValues) {
    EXPECT_TRUE(IsDottedAddress("0.0.0.0"));
    EXPECT_TRUE(IsDottedAddress("999.1.1.1"));
    EXPECT_TRUE(IsDottedAddress("192.168.100.200"));
    EXPECT_TRUE(IsDottedAddress("...1234"));
    EXPECT_FALSE(IsDottedAddress("1.2.3"));
    EXPECT_FALSE(IsDottedAddress("1.2.3.4.5"));
    EXPECT_FALSE(IsDottedAddress("1.2.3.a"));
    EXPECT_FALSE(IsDottedAddress(""));
    EXPECT_FALSE(IsDottedAddress("1.2..3")); // six characters
    EXPECT_FALSE(IsDottedAddress(" 1.2.3.4"));
}

TEST(AdapterInfo, ReadAdaptersTakesTheFirstAddressOfEachInterface) {
    net::TAdapterInfo adapters;
    const std::vector<InterfaceRow> interfaces = {Interface(1, 24, 5), Interface(2, 6, 5),
                                                  Interface(3, 71, 2)};
    // Sorted by address: 10.0.0.9 comes before 192.168.1.5 on interface 2.
    const std::vector<AddressRow> addresses = {Address("10.0.0.9", 2), Address("127.0.0.1", 1),
                                               Address("192.168.1.5", 2)};
    ASSERT_TRUE(net::ReadAdapters(adapters, interfaces, addresses));
    ASSERT_EQ(adapters.size(), 3u);
    EXPECT_EQ(adapters[0].interfaceIndex, 1u);
    EXPECT_EQ(adapters[0].interfaceType, 24);
    EXPECT_EQ(adapters[0].address, "127.0.0.1");
    EXPECT_EQ(adapters[1].address, "10.0.0.9");
    EXPECT_EQ(adapters[1].operStatus, 5u);
    EXPECT_EQ(adapters[2].interfaceType, 71);
    EXPECT_EQ(adapters[2].operStatus, 2u);
    EXPECT_EQ(adapters[2].address, "");
    EXPECT_EQ(adapters[2].name, "if3");
}

TEST(AdapterInfo, ReadAdaptersFailsWithoutRows) {
    net::TAdapterInfo adapters = {{7, 6, 5, "1.2.3.4", "eth7"}};
    const std::vector<InterfaceRow> interfaces = {Interface(1, 6, 5)};
    const std::vector<AddressRow> addresses = {Address("10.0.0.9", 1)};
    EXPECT_FALSE(net::ReadAdapters(adapters, std::vector<InterfaceRow>{}, addresses));
    EXPECT_TRUE(adapters.empty());
    EXPECT_FALSE(net::ReadAdapters(adapters, interfaces, std::vector<AddressRow>{}));
    EXPECT_FALSE(net::ReadAdapters(adapters, std::nullopt, addresses));
    EXPECT_FALSE(net::ReadAdapters(adapters, interfaces, std::nullopt));
}

TEST(AdapterInfo, ListedAreUpNonLoopbackAdaptersInIndexOrder) {
    const std::vector<InterfaceRow> interfaces = {
        Interface(1, 24, 5),   // loopback that is up
        Interface(2, 6, 5),    // Ethernet, operational, two addresses
        Interface(3, 71, 4),   // wireless, connected
        Interface(4, 6, 0),    // statuses 0 to 3 are skipped
        Interface(5, 6, 1),    //
        Interface(6, 6, 2),    //
        Interface(7, 6, 3),    //
        Interface(8, 6, 6),    // unknown status code
        Interface(9, 131, 5),  // tunnel
        Interface(10, 999, 5), // unknown type code
        Interface(11, 6, 5),   // no IPv4 address
    };
    const std::vector<AddressRow> addresses = {
        Address("10.0.0.2", 2),    Address("10.0.0.4", 4),     Address("10.0.0.5", 5),
        Address("10.0.0.6", 6),    Address("10.0.0.7", 7),     Address("10.0.0.8", 8),
        Address("10.8.0.1", 9),    Address("127.0.0.1", 1),    Address("172.16.0.10", 10),
        Address("192.168.1.5", 2), Address("192.168.1.30", 3),
    };
    EXPECT_EQ(ListAdapterAddresses(interfaces, addresses),
              (std::vector<std::string>{"10.0.0.2", "192.168.1.30", "10.8.0.1", "172.16.0.10"}));
}

TEST(AdapterInfo, AddressesThatAreNotDottedAreLeftOut) {
    const std::vector<InterfaceRow> interfaces = {Interface(1, 6, 5), Interface(2, 6, 5),
                                                  Interface(3, 6, 5)};
    const std::vector<AddressRow> addresses = {
        {1, "  10.1.1.1 ", 1}, // blanks are trimmed before the test
        {2, "fe80::1", 2},
        {3, "1.2.3", 3},
    };
    EXPECT_EQ(ListAdapterAddresses(interfaces, addresses), (std::vector<std::string>{"10.1.1.1"}));
}

TEST(AdapterInfo, EmptyOrMissingTablesGiveNoAddresses) {
    EXPECT_TRUE(
        ListAdapterAddresses(std::vector<InterfaceRow>{}, std::vector<AddressRow>{}).empty());
    EXPECT_TRUE(ListAdapterAddresses(std::nullopt, std::nullopt).empty());
    EXPECT_TRUE(ListAdapterAddresses(std::vector<InterfaceRow>{Interface(1, 6, 5)},
                                     std::vector<AddressRow>{})
                    .empty());
}
