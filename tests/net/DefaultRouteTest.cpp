// The primary address when the host-name lookup gives loopback only: the
// address of the interface that carries the default route, on made-up tables
// and in a network namespace of the test's own.

#include "OwnNamespace.h"
#include "net/GetMIPsUnit.h"
#include "net/uAdapterInfo.h"
#include "platform/platform.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using platform::AddressRow;
using platform::DefaultRoute;
using platform::InterfaceRow;

namespace {

const std::vector<std::string> LoopbackOnly{"127.0.1.1"};

// lo (1), eth0 (2), wlan0 (3), docker0 (4, down), all but docker0 up.
std::vector<InterfaceRow> Interfaces() {
    return {{1, 24, 5, "lo"}, {2, 6, 5, "eth0"}, {3, 71, 5, "wlan0"}, {4, 6, 2, "docker0"}};
}

AddressRow Address(std::uint32_t value, const std::string& dotted, std::uint32_t index) {
    return {value, dotted, index};
}

// Sorted by address, as the platform gives it; wlan0 has two addresses.
std::vector<AddressRow> Addresses() {
    return {Address(0x0A000002, "10.0.0.2", 2), Address(0x7F000001, "127.0.0.1", 1),
            Address(0xAC110001, "172.17.0.1", 4), Address(0xC0A80105, "192.168.1.5", 3),
            Address(0xC0A80109, "192.168.1.9", 3)};
}

net::TAddresses Fill(const std::optional<std::vector<std::string>>& lookup,
                     const std::vector<DefaultRoute>& routes) {
    return net::FillAddressList(lookup, Interfaces(), Addresses(), routes);
}

std::vector<std::string> Slots(const net::TAddresses& found) {
    return {found.addressList.entries.begin(),
            found.addressList.entries.begin() + found.addressList.count};
}

} // namespace

TEST(DefaultRoute, LoopbackOnlyLookupTakesTheDefaultRoutesInterface) {
    const auto found = Fill(LoopbackOnly, {{3, 600}});
    EXPECT_EQ(found.primaryAddress, "192.168.1.5");
    // Slot order otherwise unchanged: the other adapters follow in table order.
    EXPECT_EQ(Slots(found), (std::vector<std::string>{"192.168.1.5", "10.0.0.2"}));
    EXPECT_EQ(found.adapterAddresses, (std::vector<std::string>{"10.0.0.2", "192.168.1.5"}));
    EXPECT_EQ(found.adapterNames, (std::vector<std::string>{"eth0", "wlan0"}));
    EXPECT_EQ(net::InterfaceNameOf(found, "192.168.1.5"), "wlan0");
    EXPECT_EQ(net::InterfaceNameOf(found, "10.0.0.2"), "eth0");
    EXPECT_EQ(net::InterfaceNameOf(found, "203.0.113.1"), "");
}

TEST(DefaultRoute, LowestMetricWinsAndEqualMetricsKeepTableOrder) {
    EXPECT_EQ(Fill(LoopbackOnly, {{3, 600}, {2, 100}}).primaryAddress, "10.0.0.2");
    EXPECT_EQ(Fill(LoopbackOnly, {{2, 100}, {3, 50}}).primaryAddress, "192.168.1.5");
    EXPECT_EQ(Fill(LoopbackOnly, {{3, 100}, {2, 100}}).primaryAddress, "192.168.1.5");
    EXPECT_EQ(Fill(LoopbackOnly, {{2, 100}, {3, 100}}).primaryAddress, "10.0.0.2");
}

TEST(DefaultRoute, RoutesByInterfacesAPhoneCannotReachArePassedOver) {
    // docker0 is down, lo is loopback, 9 is no interface at all.
    EXPECT_EQ(Fill(LoopbackOnly, {{4, 0}, {1, 1}, {9, 2}, {3, 700}}).primaryAddress, "192.168.1.5");
    // None of them is usable: the first adapter address, as before.
    EXPECT_EQ(Fill(LoopbackOnly, {{4, 0}, {1, 1}}).primaryAddress, "10.0.0.2");
}

TEST(DefaultRoute, WithoutDefaultRouteTheFirstAdapterAddressIsPrimary) {
    EXPECT_EQ(Fill(LoopbackOnly, {}).primaryAddress, "10.0.0.2");
    EXPECT_EQ(
        net::FillAddressList(LoopbackOnly, Interfaces(), Addresses(), std::nullopt).primaryAddress,
        "10.0.0.2");
    // A failed lookup is treated like a loopback-only one.
    EXPECT_EQ(Fill(std::nullopt, {{3, 1}}).primaryAddress, "192.168.1.5");
}

TEST(DefaultRoute, AUsableLookupAddressStillWins) {
    const auto found = Fill(std::vector<std::string>{"10.0.0.2", "127.0.1.1"}, {{3, 1}});
    EXPECT_EQ(found.primaryAddress, "10.0.0.2");
    EXPECT_EQ(Slots(found), (std::vector<std::string>{"10.0.0.2", "192.168.1.5"}));
}

TEST(DefaultRoute, NoAdaptersAtAllLeaveTheEmptySlot) {
    const auto found = net::FillAddressList(LoopbackOnly, std::nullopt, std::nullopt,
                                            std::vector<DefaultRoute>{{2, 1}});
    EXPECT_EQ(found.primaryAddress, "");
    EXPECT_EQ(Slots(found), (std::vector<std::string>{""}));
}

namespace {

void Describe(std::ostringstream& out, const std::string& step) {
    const auto routes = platform::ReadDefaultRoutes();
    if (!routes) {
        out << step << " NOROUTES\n";
    } else {
        for (const auto& route : *routes) {
            out << step << " ROUTE " << route.interfaceIndex << " " << route.metric << "\n";
        }
    }
    const net::TAddresses found = net::FillAddressList();
    out << step << " PRIMARY " << found.primaryAddress << "\n";
    for (int slot = 0; slot < found.addressList.count; ++slot) {
        const std::string& address = found.addressList.entries[static_cast<std::size_t>(slot)];
        out << step << " SLOT " << address << " " << net::InterfaceNameOf(found, address) << "\n";
    }
}

// Two links up, a default route on each, the second's preferred; then none.
std::string TwoLinksReport() {
    using testns::Run;
    if (sethostname("localhost", 9) != 0) {
        return "SKIP the host name cannot be set in the namespace";
    }
    if (!Run("ip link set lo up") || !testns::AddLink("a0") || !testns::AddLink("b0") ||
        !Run("ip addr add 198.51.100.7/24 dev a0") || !Run("ip link set a0 up") ||
        !Run("ip addr add 203.0.113.9/24 dev b0") || !Run("ip link set b0 up") ||
        !Run("ip route add default dev a0 metric 200") ||
        !Run("ip route add default via 203.0.113.1 dev b0 metric 100")) {
        return "SKIP links or routes cannot be created in the namespace";
    }
    std::ostringstream out;
    out << "INDEX " << if_nametoindex("a0") << " " << if_nametoindex("b0") << "\n";
    Describe(out, "both");
    if (!Run("ip route del default dev b0") || !Run("ip route del default dev a0")) {
        return "SKIP routes cannot be removed in the namespace";
    }
    Describe(out, "none");
    return out.str();
}

std::vector<std::string> LinesOf(const std::string& report, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) {
            lines.push_back(line.substr(prefix.size()));
        }
    }
    return lines;
}

} // namespace

TEST(DefaultRoute, OwnNamespaceWithTheDefaultRouteOnTheSecondLink) {
    const std::string report = testns::RunInOwnNamespace(TwoLinksReport);
    if (report.rfind("SKIP ", 0) == 0) {
        GTEST_SKIP() << report.substr(5);
    }
    ASSERT_NE(report.rfind("FAIL ", 0), 0u) << report;
    const auto index = LinesOf(report, "INDEX ");
    ASSERT_EQ(index.size(), 1u) << report;
    std::istringstream indexes(index.front());
    std::uint32_t a0 = 0;
    std::uint32_t b0 = 0;
    indexes >> a0 >> b0;

    std::vector<std::string> routes = LinesOf(report, "both ROUTE ");
    std::sort(routes.begin(), routes.end());
    std::vector<std::string> expected{std::to_string(a0) + " 200", std::to_string(b0) + " 100"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(routes, expected) << report;
    // The lookup gives loopback only; b0 carries the preferred default route.
    EXPECT_EQ(LinesOf(report, "both PRIMARY "), std::vector<std::string>{"203.0.113.9"});
    EXPECT_EQ(LinesOf(report, "both SLOT "),
              (std::vector<std::string>{"203.0.113.9 b0", "198.51.100.7 a0"}));

    // Without a default route the first adapter address comes first again.
    EXPECT_TRUE(LinesOf(report, "none ROUTE ").empty()) << report;
    EXPECT_TRUE(LinesOf(report, "none NOROUTES").empty()) << report;
    EXPECT_EQ(LinesOf(report, "none PRIMARY "), std::vector<std::string>{"198.51.100.7"});
    EXPECT_EQ(LinesOf(report, "none SLOT "),
              (std::vector<std::string>{"198.51.100.7 a0", "203.0.113.9 b0"}));
}

TEST(DefaultRoute, ThisMachinesRoutesNameItsInterfaces) {
    const auto routes = platform::ReadDefaultRoutes();
    ASSERT_TRUE(routes.has_value()) << "the routing table could not be read";
    const auto interfaces = platform::ReadInterfaceTable();
    ASSERT_TRUE(interfaces.has_value());
    for (const auto& route : *routes) {
        EXPECT_TRUE(std::any_of(interfaces->begin(), interfaces->end(),
                                [&](const auto& row) { return row.index == route.interfaceIndex; }))
            << "route by interface " << route.interfaceIndex;
    }
}
