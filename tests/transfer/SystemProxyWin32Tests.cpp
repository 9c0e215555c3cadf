// Windows only: which proxy the Internet Options name for a URL, the way
// WinInet chooses it (per scheme, the bypass list, loopback always direct
// unless "<-loopback>").

#include "InternetOptionsProxy.h"
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

using platform::SystemProxyFor;

const char* const UpdateUrl = "https://update.tessary.example/checkupdate/?i=1&v=310";

TEST(SystemProxyTest, NoProxyInTheOptionsMeansADirectConnection) {
    const InternetOptionsProxy direct("", "");
    ASSERT_TRUE(direct.Ok());
    EXPECT_EQ(SystemProxyFor(UpdateUrl), std::nullopt);
}

TEST(SystemProxyTest, OneProxyForAllServesHttpAndHttpsAsAnHttpProxy) {
    const InternetOptionsProxy options("proxy.lan:3128", "");
    ASSERT_TRUE(options.Ok());
    EXPECT_EQ(SystemProxyFor(UpdateUrl), "http://proxy.lan:3128");
    EXPECT_EQ(SystemProxyFor("http://update.tessary.example/"), "http://proxy.lan:3128");
}

TEST(SystemProxyTest, PerSchemeEntriesAreChosenByTheUrlsScheme) {
    {
        const InternetOptionsProxy options("http=web.lan:80;https=secure.lan:8443;socks=s.lan:1080",
                                           "");
        ASSERT_TRUE(options.Ok());
        EXPECT_EQ(SystemProxyFor(UpdateUrl), "http://secure.lan:8443");
        EXPECT_EQ(SystemProxyFor("HTTP://update.tessary.example/"), "http://web.lan:80");
    }
    {
        // No entry for https: WinInet falls back to the SOCKS one...
        const InternetOptionsProxy options("http=web.lan:80;socks=s.lan:1080", "");
        EXPECT_EQ(SystemProxyFor(UpdateUrl), "socks4://s.lan:1080");
    }
    {
        // ...and without one goes direct.
        const InternetOptionsProxy options("http=web.lan:80", "");
        EXPECT_EQ(SystemProxyFor(UpdateUrl), std::nullopt);
    }
}

TEST(SystemProxyTest, TheBypassListAndLoopbackGoDirect) {
    {
        const InternetOptionsProxy options("proxy.lan:3128", "<local>; *.Corp.example ;10.*");
        ASSERT_TRUE(options.Ok());
        EXPECT_EQ(SystemProxyFor("https://intranet/x"), std::nullopt);          // <local>
        EXPECT_EQ(SystemProxyFor("https://a.CORP.example:444/"), std::nullopt); // pattern
        EXPECT_EQ(SystemProxyFor("https://10.1.2.3/"), std::nullopt);
        EXPECT_EQ(SystemProxyFor("https://127.0.0.1:8443/"), std::nullopt);
        EXPECT_EQ(SystemProxyFor("https://localhost/"), std::nullopt);
        EXPECT_EQ(SystemProxyFor("https://[::1]:8443/"), std::nullopt);
        // A dotted address is no local name; a name merely ending alike
        // matches no pattern.
        EXPECT_EQ(SystemProxyFor("https://192.168.1.2/"), "http://proxy.lan:3128");
        EXPECT_EQ(SystemProxyFor("https://notcorp.example/"), "http://proxy.lan:3128");
        EXPECT_EQ(SystemProxyFor(UpdateUrl), "http://proxy.lan:3128");
    }
    {
        const InternetOptionsProxy options("proxy.lan:3128", "<-loopback>");
        EXPECT_EQ(SystemProxyFor("https://127.0.0.1:8443/"), "http://proxy.lan:3128");
        EXPECT_EQ(SystemProxyFor("https://user@localhost/"), "http://proxy.lan:3128");
    }
}

TEST(SystemProxyTest, SomethingThatIsNoUrlGetsNoProxy) {
    const InternetOptionsProxy options("proxy.lan:3128", "");
    EXPECT_EQ(SystemProxyFor("update.tessary.example"), std::nullopt);
    EXPECT_EQ(SystemProxyFor("https:///path"), std::nullopt);
}

TEST(SystemProxyTest, AConfigurationScriptDecidesAndTheFixedProxyServesWhenItFails) {
    const char* port = std::getenv("TRANSFER_HTTP_PORT");
    if (!port)
        GTEST_SKIP() << "run through transfer_server.py, which serves the script";
    const std::string scripts = std::string("http://127.0.0.1:") + port;
    {
        // The script sends the update host through the tests' proxy and
        // everything else direct, whatever the fixed proxy says.
        const InternetOptionsProxy options("proxy.lan:3128", "", scripts + "/proxy.pac");
        ASSERT_TRUE(options.Ok());
        EXPECT_EQ(SystemProxyFor(UpdateUrl),
                  std::string("http://127.0.0.1:") + std::getenv("TRANSFER_PROXY_PORT"));
        EXPECT_EQ(SystemProxyFor("https://other.example/"), std::nullopt);
    }
    {
        // A script that cannot be had leaves the fixed proxy.
        const InternetOptionsProxy options("proxy.lan:3128", "", scripts + "/missing");
        EXPECT_EQ(SystemProxyFor(UpdateUrl), "http://proxy.lan:3128");
    }
}

} // namespace
