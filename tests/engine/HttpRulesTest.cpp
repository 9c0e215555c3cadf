#include "engine/HttpRules.h"

#include "engine/KeyGuard.h"

#include <gtest/gtest.h>

using namespace engine;
using namespace std::chrono_literals;

TEST(HttpRules, HostsOfThisPcOnly) {
    const std::vector<std::string> own = OwnHostNames("studio.example.org");
    for (const char* host :
         {"192.168.1.5", "192.168.1.5:8016", "127.0.0.1", "[::1]", "[fe80::1%25eth0]:8016",
          "localhost", "LOCALHOST:8016", "localhost.", "studio", "Studio.local",
          "studio.example.org", "studio.example.org.", "studio.example.org.local:8016"}) {
        EXPECT_TRUE(IsAllowedHost(host, own)) << host;
    }
    for (const char* host : {"", ":8016", "attacker.example", "studio.attacker.example",
                             "localhost.attacker.example", "192.168.1.5.nip.io", "1.2.3",
                             "1.2.3.4.5", "256.1.1.1", "studio:80x", "studio:", "[::1]x", "[::1"}) {
        EXPECT_FALSE(IsAllowedHost(host, own)) << host;
    }
    EXPECT_TRUE(OwnHostNames("").empty());
}

TEST(HttpRules, ContentLengthIsOneSignedCount) {
    EXPECT_EQ(ParseContentLength("0"), 0);
    EXPECT_EQ(ParseContentLength(" 1234 "), 1234);
    EXPECT_EQ(ParseContentLength("9223372036854775807"), INT64_MAX);
    for (const char* text :
         {"", "-1", "+1", "1 2", "0x10", "9223372036854775808", "18446744073709551615", "1,2"}) {
        EXPECT_EQ(ParseContentLength(text), std::nullopt) << text;
    }
}

TEST(HttpRules, DatesAndValidators) {
    EXPECT_EQ(HttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(HttpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(HttpDate(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
    EXPECT_EQ(HttpDate(4102444799), "Thu, 31 Dec 2099 23:59:59 GMT");
    EXPECT_NE(EntityTag(10, 1), EntityTag(10, 2));
    EXPECT_NE(EntityTag(10, 1), EntityTag(11, 1));
    EXPECT_EQ(EntityTag(10, 1).front(), '"');
}

TEST(HttpRules, FolderLocationsNeverLeaveTheHost) {
    EXPECT_EQ(FolderLocation({}), "/");
    EXPECT_EQ(FolderLocation({"d"}), "/d/");
    EXPECT_EQ(FolderLocation({"u", "My Folder"}), "/u/My%20Folder/");
    // A name that a browser would read as a host or a scheme stays a path.
    EXPECT_EQ(FolderLocation({"\\\\evil.example"}), "/%5C%5Cevil.example/");
    EXPECT_EQ(FolderLocation({"http:"}), "/http%3A/");
}

namespace {

constexpr std::uint32_t Phone = 0x0A000002;
constexpr std::uint32_t Guesser = 0x0A000003;

} // namespace

TEST(KeyGuard, AnAddressIsTurnedAwayAfterItsWrongKeysUntilTheBlockEnds) {
    KeyGuard guard;
    const auto start = KeyGuard::Clock::now();
    for (int i = 0; i < 19; ++i) {
        ASSERT_TRUE(guard.MayCheck(Guesser, start + i * 1s));
        guard.RecordWrong(Guesser, start + i * 1s);
    }
    EXPECT_TRUE(guard.MayCheck(Guesser, start + 19s));
    guard.RecordWrong(Guesser, start + 19s);
    EXPECT_FALSE(guard.MayCheck(Guesser, start + 20s));
    EXPECT_GE(guard.RetryAfterSeconds(Guesser, start + 20s), 590u);
    EXPECT_FALSE(guard.MayCheck(Guesser, start + 19s + 599s));
    EXPECT_TRUE(guard.MayCheck(Guesser, start + 19s + 600s));
    EXPECT_TRUE(guard.MayCheck(Phone, start + 20s));
}

TEST(KeyGuard, WrongKeysSpreadOverMoreThanAMinuteDoNotBlock) {
    KeyGuard guard;
    const auto start = KeyGuard::Clock::now();
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(guard.MayCheck(Guesser, start + i * 4s)) << i;
        guard.RecordWrong(Guesser, start + i * 4s);
    }
}

TEST(KeyGuard, AllAddressesShareOneBudget) {
    KeyGuard guard;
    const auto start = KeyGuard::Clock::now();
    // 120 addresses, one wrong key each: the budget of a minute is spent.
    for (std::uint32_t a = 0; a < 120; ++a) {
        ASSERT_TRUE(guard.MayCheck(0x0B000000 + a, start));
        guard.RecordWrong(0x0B000000 + a, start);
    }
    // Those who guessed wrong wait; an address that never did still gets in.
    EXPECT_FALSE(guard.MayCheck(0x0B000000, start));
    EXPECT_TRUE(guard.MayCheck(Phone, start));
    // The budget comes back over the minute.
    EXPECT_TRUE(guard.MayCheck(0x0B000000, start + 30s));
}

TEST(KeyGuard, MemoryStaysBoundedUnderManyAddresses) {
    KeyGuard::Limits limits;
    limits.addresses = 100;
    KeyGuard guard(limits);
    const auto start = KeyGuard::Clock::now();
    for (std::uint32_t a = 0; a < 1000; ++a) {
        guard.RecordWrong(0x0C000000 + a, start);
    }
    // Addresses past the table are not remembered but the budget still holds.
    EXPECT_FALSE(guard.MayCheck(0x0C000000 + 999, start));
    EXPECT_FALSE(guard.MayCheck(0x0D000000, start));
    // Once the budget is back, a new address is checked again.
    EXPECT_TRUE(guard.MayCheck(0x0D000000, start + 120s));
}

TEST(KeyGuard, WhileTheBudgetIsSpentNewAddressesShareASmallOne) {
    KeyGuard guard;
    const auto start = KeyGuard::Clock::now();
    for (std::uint32_t a = 0; a < 120; ++a) {
        guard.RecordWrong(0x0B000000 + a, start);
    }
    // Thirty newcomers are looked at once each; the thirty-first is not.
    for (std::uint32_t a = 0; a < 30; ++a) {
        ASSERT_TRUE(guard.MayCheck(0x0E000000 + a, start)) << a;
        guard.RecordWrong(0x0E000000 + a, start);
        EXPECT_FALSE(guard.MayCheck(0x0E000000 + a, start)) << a;
    }
    EXPECT_FALSE(guard.MayCheck(Phone, start));
    EXPECT_TRUE(guard.MayCheck(Phone, start + 2s));
}

TEST(HttpRules, RequestsFromAnotherSitesPageAreKnown) {
    EXPECT_TRUE(IsFromAnotherSite("cross-site", nullptr, "10.0.0.2:8016"));
    EXPECT_TRUE(IsFromAnotherSite(nullptr, "http://evil.example", "10.0.0.2:8016"));
    EXPECT_TRUE(IsFromAnotherSite("cross-site", "null", "10.0.0.2:8016"));
    EXPECT_TRUE(IsFromAnotherSite("same-site", "null", "10.0.0.2:8016"));
    EXPECT_FALSE(IsFromAnotherSite("same-origin", "null", "10.0.0.2:8016"));
    EXPECT_TRUE(IsFromAnotherSite(nullptr, "http://10.0.0.2:8017", "10.0.0.2:8016"));
    EXPECT_TRUE(IsFromAnotherSite(nullptr, "https://10.0.0.2:8016", "10.0.0.2:8016"));
    EXPECT_TRUE(IsFromAnotherSite(nullptr, "http://10.0.0.2", nullptr));
    EXPECT_FALSE(IsFromAnotherSite("same-origin", "http://10.0.0.2:8016", "10.0.0.2:8016"));
    EXPECT_FALSE(IsFromAnotherSite("none", nullptr, "10.0.0.2:8016"));
    EXPECT_FALSE(IsFromAnotherSite(nullptr, "http://PC.local", "pc.local:80"));
    EXPECT_FALSE(IsFromAnotherSite(nullptr, nullptr, nullptr));
}

TEST(HttpRules, OnlyTypesThatRunNothingOpenInPlace) {
    for (const char* type : {"image/jpeg", "video/mp4", "audio/mpeg", "application/pdf",
                             "text/plain; charset=utf-8", "text/csv; charset=utf-8"}) {
        EXPECT_TRUE(OpensInPlace(type)) << type;
    }
    for (const char* type : {"text/html; charset=utf-8", "image/svg+xml", "application/xml",
                             "text/javascript; charset=utf-8", "application/octet-stream",
                             "application/json", "text/css; charset=utf-8"}) {
        EXPECT_FALSE(OpensInPlace(type)) << type;
    }
}
