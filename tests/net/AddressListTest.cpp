#include "net/GetMIPsUnit.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using net::FillAddressList;
using net::PrimaryFromLookup;

TEST(PrimaryAddress, LastAddressOfTheLookupWins) {
    EXPECT_EQ(PrimaryFromLookup(std::vector<std::string>{"192.168.1.5", "10.0.0.2"}), "10.0.0.2");
    EXPECT_EQ(PrimaryFromLookup(std::vector<std::string>{"10.0.0.2"}), "10.0.0.2");
}

TEST(PrimaryAddress, LoopbackAddressesOfTheLookupAreSkipped) {
    EXPECT_EQ(PrimaryFromLookup(std::vector<std::string>{"127.0.1.1"}), "");
    EXPECT_EQ(PrimaryFromLookup(std::vector<std::string>{"192.168.1.5", "127.0.1.1"}),
              "192.168.1.5");
    EXPECT_EQ(PrimaryFromLookup(std::vector<std::string>{"127.0.0.1", "10.0.0.2", "127.255.0.9"}),
              "10.0.0.2");
    // Only 127.0.0.0/8 is loopback.
    EXPECT_EQ(PrimaryFromLookup(std::vector<std::string>{"10.0.0.2", "12.7.0.1"}), "12.7.0.1");
    EXPECT_EQ(PrimaryFromLookup(std::vector<std::string>{"10.0.0.2", "172.0.0.1"}), "172.0.0.1");
}

TEST(PrimaryAddress, FailedLookupGivesEmptyText) {
    EXPECT_EQ(PrimaryFromLookup(std::nullopt), "");
    EXPECT_EQ(PrimaryFromLookup(std::vector<std::string>{}), "");
}

TEST(AddressList, PrimaryTakesSlotOneAndIsNotRepeated) {
    const auto result = FillAddressList("192.168.1.5", {"10.0.0.2", "192.168.1.5", "172.16.0.1"});
    EXPECT_EQ(result.primaryAddress, "192.168.1.5");
    EXPECT_EQ(result.adapterAddresses,
              (std::vector<std::string>{"10.0.0.2", "192.168.1.5", "172.16.0.1"}));
    EXPECT_EQ(result.addressList.count, 3);
    EXPECT_EQ(result.addressList.entries[0], "192.168.1.5");
    EXPECT_EQ(result.addressList.entries[1], "10.0.0.2");
    EXPECT_EQ(result.addressList.entries[2], "172.16.0.1");
    EXPECT_EQ(result.addressList.entries[3], "");
}

TEST(AddressList, TwelveAdapterAddressesFillNineSlots) {
    std::vector<std::string> adapters;
    for (int i = 1; i <= 12; ++i) {
        adapters.push_back("10.0.0." + std::to_string(i));
    }
    const auto result = FillAddressList("192.168.1.5", adapters);
    EXPECT_EQ(result.addressList.count, 10);
    EXPECT_EQ(result.addressList.entries[0], "192.168.1.5");
    for (std::size_t slot = 1; slot < 10; ++slot) {
        EXPECT_EQ(result.addressList.entries[slot], "10.0.0." + std::to_string(slot));
    }
    EXPECT_EQ(result.adapterAddresses.size(), 12u);
}

TEST(AddressList, DuplicatesOtherThanThePrimaryEachTakeASlot) {
    const auto result = FillAddressList("192.168.1.5", {"10.0.0.2", "10.0.0.2", "192.168.1.5"});
    EXPECT_EQ(result.addressList.count, 3);
    EXPECT_EQ(result.addressList.entries[1], "10.0.0.2");
    EXPECT_EQ(result.addressList.entries[2], "10.0.0.2");
}

TEST(AddressList, WithoutLookupAddressTheFirstAdapterAddressIsPrimary) {
    const auto result = FillAddressList("", {"10.0.0.2", "172.16.0.1"});
    EXPECT_EQ(result.primaryAddress, "10.0.0.2");
    EXPECT_EQ(result.addressList.count, 2);
    EXPECT_EQ(result.addressList.entries[0], "10.0.0.2");
    EXPECT_EQ(result.addressList.entries[1], "172.16.0.1");
}

TEST(AddressList, NothingFoundLeavesOneEmptySlot) {
    const auto result = FillAddressList("", {});
    EXPECT_EQ(result.primaryAddress, "");
    EXPECT_TRUE(result.adapterAddresses.empty());
    EXPECT_EQ(result.addressList.count, 1);
    EXPECT_EQ(result.addressList.entries[0], "");
}

TEST(AddressList, PrimaryOnlyFromLookupWithoutAdapters) {
    const auto result = FillAddressList("10.0.0.2", {});
    EXPECT_EQ(result.addressList.count, 1);
    EXPECT_EQ(result.addressList.entries[0], "10.0.0.2");
}
