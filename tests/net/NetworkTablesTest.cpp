// The platform's tables, read for real: on this machine, and in a network
// namespace of the test's own where the links and addresses are known.

#include "OwnNamespace.h"
#include "net/GetMIPsUnit.h"
#include "net/uAdapterInfo.h"
#include "platform/platform.h"

#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <net/if.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

bool IsSortedByIndex(const std::vector<platform::InterfaceRow>& rows) {
    return std::is_sorted(rows.begin(), rows.end(),
                          [](const auto& a, const auto& b) { return a.index < b.index; }) &&
           std::adjacent_find(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
               return a.index == b.index;
           }) == rows.end();
}

bool IsSortedByAddress(const std::vector<platform::AddressRow>& rows) {
    return std::is_sorted(rows.begin(), rows.end(),
                          [](const auto& a, const auto& b) { return a.address < b.address; });
}

std::uint32_t HostOrder(const std::string& dotted) {
    in_addr address{};
    if (inet_pton(AF_INET, dotted.c_str(), &address) != 1) {
        return 0;
    }
    return ntohl(address.s_addr);
}

// Runs inside the test's own namespaces; everything it finds goes to out as
// lines, "SKIP <reason>" when the links cannot be set up.
std::string NamespaceReport() {
    using testns::AddLink;
    using testns::Run;
    std::ostringstream out;
    // A host name that resolves to loopback only, so the lookup gives nothing usable.
    const bool hostName = sethostname("localhost", 9) == 0;
    if (!Run("ip link set lo up") || !AddLink("a0") || !AddLink("b0") ||
        !Run("ip addr add 198.51.100.7/24 dev a0") || !Run("ip addr add 198.51.100.3/24 dev a0") ||
        !Run("ip addr add 192.0.2.44/24 dev a0 label a0:x") || !Run("ip link set a0 up") ||
        !Run("ip addr add 203.0.113.9/24 dev b0")) {
        return "SKIP links cannot be created in the namespace";
    }
    const bool tun = Run("ip tuntap add t0 mode tun");

    for (const char* name : {"lo", "a0", "b0", "t0"}) {
        out << "NAME " << name << " " << if_nametoindex(name) << "\n";
    }
    out << "TUN " << tun << "\n";
    if (const auto interfaces = platform::ReadInterfaceTable()) {
        for (const auto& row : *interfaces) {
            out << "IF " << row.index << " " << row.type << " " << row.operStatus << " " << row.name
                << "\n";
        }
    }
    if (const auto addresses = platform::ReadAddressTable()) {
        for (const auto& row : *addresses) {
            out << "ADDR " << row.address << " " << row.dotted << " " << row.interfaceIndex << "\n";
        }
    }
    std::vector<std::string> list;
    net::ListAdapterAddresses(list);
    for (const auto& address : list) {
        out << "LIST " << address << "\n";
    }
    if (hostName) {
        const net::TAddresses found = net::FillAddressList();
        out << "PRIMARY " << found.primaryAddress << "\n";
        out << "COUNT " << found.addressList.count << "\n";
    }
    return out.str();
}

struct NamespaceFindings {
    std::map<std::string, std::uint32_t> indexOf;
    std::vector<platform::InterfaceRow> interfaces;
    std::vector<platform::AddressRow> addresses;
    std::vector<std::string> list;
    std::string primary;
    int count = -1;
    bool tun = false;
    bool hostName = false;
};

NamespaceFindings Parse(const std::string& report) {
    NamespaceFindings found;
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string kind;
        in >> kind;
        if (kind == "NAME") {
            std::string name;
            std::uint32_t index = 0;
            in >> name >> index;
            found.indexOf[name] = index;
        } else if (kind == "TUN") {
            in >> found.tun;
        } else if (kind == "IF") {
            platform::InterfaceRow row;
            in >> row.index >> row.type >> row.operStatus >> row.name;
            found.interfaces.push_back(row);
        } else if (kind == "ADDR") {
            platform::AddressRow row;
            in >> row.address >> row.dotted >> row.interfaceIndex;
            found.addresses.push_back(row);
        } else if (kind == "LIST") {
            std::string address;
            in >> address;
            found.list.push_back(address);
        } else if (kind == "PRIMARY") {
            found.hostName = true;
            in >> found.primary;
        } else if (kind == "COUNT") {
            in >> found.count;
        }
    }
    return found;
}

} // namespace

TEST(NetworkTables, ThisMachinesTablesAreSortedAndConsistent) {
    const auto interfaces = platform::ReadInterfaceTable();
    const auto addresses = platform::ReadAddressTable();
    ASSERT_TRUE(interfaces.has_value());
    ASSERT_TRUE(addresses.has_value());
    EXPECT_TRUE(IsSortedByIndex(*interfaces));
    EXPECT_TRUE(IsSortedByAddress(*addresses));

    for (const auto& row : *interfaces) {
        EXPECT_EQ(row.index, if_nametoindex(row.name.c_str())) << row.name;
        EXPECT_FALSE(net::AdapterTypeName(row.type) == "UNKNOWN") << row.name;
        EXPECT_FALSE(net::OperStatusName(row.operStatus) == "UNKNOWN") << row.name;
    }
    for (const auto& row : *addresses) {
        EXPECT_EQ(row.address, HostOrder(row.dotted)) << row.dotted;
        EXPECT_TRUE(std::any_of(interfaces->begin(), interfaces->end(),
                                [&](const auto& i) { return i.index == row.interfaceIndex; }))
            << row.dotted << " belongs to no interface";
    }
    const auto loopback = std::find_if(interfaces->begin(), interfaces->end(),
                                       [](const auto& row) { return row.name == "lo"; });
    if (loopback != interfaces->end()) {
        EXPECT_EQ(loopback->type, 24);
    }
}

TEST(NetworkTables, ThisMachinesDiscoveryNeverPicksLoopback) {
    const auto lookup = platform::HostNameAddresses();
    if (lookup) {
        EXPECT_FALSE(lookup->empty());
        for (const auto& address : *lookup) {
            EXPECT_NE(HostOrder(address), 0u) << address;
        }
    }
    const net::TAddresses found = net::FillAddressList();
    EXPECT_NE(found.primaryAddress.rfind("127.", 0), 0u) << found.primaryAddress;
    for (const auto& address : found.adapterAddresses) {
        EXPECT_TRUE(net::IsDottedAddress(address));
        EXPECT_NE(address.rfind("127.", 0), 0u) << address;
    }
    std::string lookupText;
    for (const auto& address : lookup.value_or(std::vector<std::string>{})) {
        lookupText += address + " ";
    }
    std::cout << "host-name lookup: " << (lookup ? lookupText : "(none)")
              << "\nadapter addresses: " << found.adapterAddresses.size()
              << "\nprimary address: " << found.primaryAddress << "\n";
}

TEST(NetworkTables, OwnNamespaceGivesTheLinksAndAddressesSetUp) {
    const std::string report = testns::RunInOwnNamespace(NamespaceReport);
    if (report.rfind("SKIP ", 0) == 0) {
        GTEST_SKIP() << report.substr(5);
    }
    ASSERT_NE(report.rfind("FAIL ", 0), 0u) << report;
    const NamespaceFindings found = Parse(report);
    const std::uint32_t lo = found.indexOf.at("lo");
    const std::uint32_t a0 = found.indexOf.at("a0");
    const std::uint32_t b0 = found.indexOf.at("b0");
    ASSERT_NE(a0, 0u);
    ASSERT_NE(b0, 0u);

    EXPECT_TRUE(IsSortedByIndex(found.interfaces));
    std::map<std::uint32_t, platform::InterfaceRow> byIndex;
    for (const auto& row : found.interfaces) {
        byIndex[row.index] = row;
    }
    ASSERT_TRUE(byIndex.count(lo) && byIndex.count(a0) && byIndex.count(b0)) << report;
    EXPECT_EQ(byIndex[lo].type, 24);
    EXPECT_EQ(byIndex[lo].operStatus, 5u) << "a loopback that is up reports unknown: operational";
    EXPECT_EQ(byIndex[a0].type, 6);
    EXPECT_EQ(byIndex[a0].operStatus, 5u);
    EXPECT_EQ(byIndex[a0].name, "a0");
    EXPECT_EQ(byIndex[b0].type, 6);
    EXPECT_EQ(byIndex[b0].operStatus, 0u) << "an interface that is down is non-operational";
    if (found.tun) {
        const std::uint32_t t0 = found.indexOf.at("t0");
        ASSERT_TRUE(byIndex.count(t0));
        EXPECT_EQ(byIndex[t0].type, 1) << "a tun device has no IANA type of its own";
        EXPECT_EQ(byIndex[t0].operStatus, 0u);
    }

    const std::vector<std::pair<std::string, std::uint32_t>> expected = {
        {"127.0.0.1", lo},    {"192.0.2.44", a0}, // the labelled address "a0:x" belongs to a0
        {"198.51.100.3", a0}, {"198.51.100.7", a0}, {"203.0.113.9", b0},
    };
    ASSERT_EQ(found.addresses.size(), expected.size()) << report;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(found.addresses[i].dotted, expected[i].first);
        EXPECT_EQ(found.addresses[i].address, HostOrder(expected[i].first));
        EXPECT_EQ(found.addresses[i].interfaceIndex, expected[i].second) << expected[i].first;
    }

    // Only a0 is up and not loopback; it offers its first address in sorted order.
    EXPECT_EQ(found.list, (std::vector<std::string>{"192.0.2.44"}));
    if (found.hostName) {
        // The lookup of "localhost" gives loopback only: the adapter address is used.
        EXPECT_EQ(found.primary, "192.0.2.44");
        EXPECT_EQ(found.count, 1);
    }
}
