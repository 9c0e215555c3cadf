#include "app/core/ConnectionUrls.h"

#include <gtest/gtest.h>

using appcore::DirectUrls;
using appcore::RelayUrl;
using appcore::RelayUrls;
using appcore::ReplaceFirst;

TEST(ConnectionUrls, DirectUrlsCarryAddressPortAndPageKey) {
    const auto urls = DirectUrls("192.168.1.5", "abcdef");
    EXPECT_EQ(urls.upload, "http://192.168.1.5:8016/u/abcdef.html");
    EXPECT_EQ(urls.download, "http://192.168.1.5:8016/d/abcdef.html");
}

TEST(ConnectionUrls, DirectUrlsTakeTheAddressUnchanged) {
    EXPECT_EQ(DirectUrls("", "abcdef").upload, "http://:8016/u/abcdef.html");
    EXPECT_EQ(DirectUrls("fe80::1", "qwerty").download, "http://fe80::1:8016/d/qwerty.html");
}

TEST(ConnectionUrls, RelayTemplateGetsDirectionSchemeAndVersion) {
    const auto urls = RelayUrls("https://192.0.2.7/s?k=1&m=#updown#&v=#version#", "310");
    EXPECT_EQ(urls.upload, "http://192.0.2.7/s?k=1&m=u&v=3");
    EXPECT_EQ(urls.download, "http://192.0.2.7/s?k=1&m=d&v=3");
}

TEST(ConnectionUrls, RelayReplacesOnlyFirstOccurrences) {
    const auto urls =
        RelayUrls("https://a/#updown#/#updown#/#version##version#?r=https://b", "310");
    EXPECT_EQ(urls.upload, "http://a/u/#updown#/3#version#?r=https://b");
    EXPECT_EQ(urls.download, "http://a/d/#updown#/3#version#?r=https://b");
}

TEST(ConnectionUrls, RelayMarksAreCaseSensitive) {
    EXPECT_EQ(RelayUrl("HTTPS://x/#UPDOWN#/#Version#", "u", "310"), "HTTPS://x/#UPDOWN#/#Version#");
    EXPECT_EQ(RelayUrl("http://x/#updown#", "d", "310"), "http://x/d");
}

TEST(ConnectionUrls, RelayTemplateWithoutMarksIsUsedAsIs) {
    const auto urls = RelayUrls("?", "310");
    EXPECT_EQ(urls.upload, "?");
    EXPECT_EQ(urls.download, "?");
    EXPECT_EQ(RelayUrl("", "u", "310"), "");
}

TEST(ConnectionUrls, ReplacementsRunInOrderOnTheResult) {
    // "#updown#" becoming part of a scheme is then rewritten by the scheme step.
    EXPECT_EQ(RelayUrl("#updown#ttps://x", "h", "310"), "http://x");
    EXPECT_EQ(RelayUrl("v#version#", "u", ""), "v");
}

TEST(ConnectionUrls, ReplaceFirstLeavesTextWithoutTheMark) {
    EXPECT_EQ(ReplaceFirst("abcabc", "bc", "X"), "aXabc");
    EXPECT_EQ(ReplaceFirst("abc", "zz", "X"), "abc");
    EXPECT_EQ(ReplaceFirst("abc", "", "X"), "abc");
}
