// The update download's transfer, the same on Linux (OpenSSL) and Windows
// (Schannel, run under Wine): against loopback HTTPS servers with a test
// certificate authority of their own and a CONNECT proxy, all started by
// transfer_server.py, which hands their addresses over in the environment.

#include "SystemProxySetting.h"
#include "net/UrlDownload.h"
#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string ReadAll(const std::string& path) {
    std::string error;
    return platform::ReadFileContents(path, error).value_or("<unreadable: " + error + ">");
}

class TransferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Env("TRANSFER_HTTPS_PORT").empty())
            GTEST_SKIP() << "run through transfer_server.py, which starts the servers";
        folder_ = Env("TRANSFER_DOWNLOAD_DIR") + platform::PathDelimiter;
        target_ = folder_ + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        platform::DeleteFile(target_);
    }
    void TearDown() override {
        if (!target_.empty())
            platform::DeleteFile(target_);
    }

    static std::string Url(const std::string& path,
                           const char* portVariable = "TRANSFER_HTTPS_PORT",
                           const std::string& host = "localhost") {
        return "https://" + host + ":" + Env(portVariable) + path;
    }
    // A download trusting the tests' own authority only.
    net::UrlDownload Trusting(const std::string& url) const {
        net::UrlDownload download(url, target_);
        download.SetCaBundle(Env("TRANSFER_CA_FILE"));
        return download;
    }

    std::string folder_;
    std::string target_;
};

TEST_F(TransferTest, OkAnswerWritesTheBodyByteForByteWithProgressPerBlock) {
    const std::string expected = ReadAll(Env("TRANSFER_BIG_FILE"));
    ASSERT_GT(expected.size(), 3u * 1024 * 1024);
    net::UrlDownload download = Trusting(Url("/big"));
    std::vector<std::pair<std::int64_t, std::int64_t>> progress;
    download.SetProgressHandler([&](std::int64_t received, std::int64_t length) {
        progress.emplace_back(received, length);
    });

    EXPECT_TRUE(download.Run());
    EXPECT_EQ(download.Status(), 200);
    EXPECT_FALSE(download.Terminated());
    const auto size = static_cast<std::int64_t>(expected.size());
    EXPECT_EQ(download.ContentLength(), size);
    EXPECT_EQ(download.BytesReceived(), size);
    EXPECT_TRUE(ReadAll(target_) == expected) << "the file differs from the body sent";

    // One report per block of at most 4096 bytes, rising to the whole size.
    ASSERT_GE(progress.size(), expected.size() / 4096);
    std::int64_t before = 0;
    for (const auto& [received, length] : progress) {
        EXPECT_EQ(length, size);
        EXPECT_GT(received, before);
        EXPECT_LE(received - before, 4096);
        before = received;
    }
    EXPECT_EQ(progress.back().first, size);
}

TEST_F(TransferTest, EmptyOkAnswerMakesAnEmptyFile) {
    net::UrlDownload download = Trusting(Url("/empty"));
    EXPECT_TRUE(download.Run());
    EXPECT_EQ(download.Status(), 200);
    ASSERT_TRUE(platform::FileExists(target_));
    EXPECT_EQ(ReadAll(target_), "");
}

TEST_F(TransferTest, NotFoundWritesNoFileAndLeavesAnOldOneAlone) {
    net::UrlDownload fresh = Trusting(Url("/missing"));
    EXPECT_FALSE(fresh.Run());
    EXPECT_EQ(fresh.Status(), 404);
    EXPECT_TRUE(fresh.GotResponse());
    EXPECT_FALSE(platform::FileExists(target_));

    std::string error;
    ASSERT_TRUE(platform::WriteFileAtomically(target_, "older reply", error)) << error;
    net::UrlDownload again = Trusting(Url("/missing"));
    EXPECT_FALSE(again.Run());
    EXPECT_EQ(again.Status(), 404);
    EXPECT_EQ(ReadAll(target_), "older reply");
}

TEST_F(TransferTest, RedirectsAreFollowedToTheFinalAnswer) {
    // 302, then 301, then the 200 whose body is kept.
    net::UrlDownload download = Trusting(Url("/redirect"));
    EXPECT_TRUE(download.Run());
    EXPECT_EQ(download.Status(), 200);
    EXPECT_EQ(ReadAll(target_), "[Main]\r\nstatus=ok\r\n");
}

TEST_F(TransferTest, CertificatesTheAuthorityDidNotSignAreRefused) {
    // A server whose certificate another authority signed.
    net::UrlDownload rogue = Trusting(Url("/small", "TRANSFER_ROGUE_PORT"));
    EXPECT_FALSE(rogue.Run());
    EXPECT_EQ(rogue.Status(), 0);
    EXPECT_FALSE(rogue.GotResponse());
    EXPECT_FALSE(platform::FileExists(target_));
}

TEST_F(TransferTest, TheSystemStoreDoesNotTrustTheTestAuthority) {
    // Wine's Schannel leaves the certificate check to its caller, and
    // libcurl asks Schannel to make it when no CA file is given, so under
    // Wine no certificate is checked against the system store.
    if (!Env("TRANSFER_UNDER_WINE").empty())
        GTEST_SKIP() << "Wine's Schannel does not check certificates itself";
    net::UrlDownload systemStore(Url("/small"), target_);
    EXPECT_FALSE(systemStore.Run());
    EXPECT_EQ(systemStore.Status(), 0);
    EXPECT_FALSE(platform::FileExists(target_));
}

TEST_F(TransferTest, TerminationMidBodyStopsAndRemovesThePartialFile) {
    net::UrlDownload download = Trusting(Url("/trickle"));
    std::atomic<bool> stop{false};
    bool fileSeen = false;
    download.SetProgressHandler([&](std::int64_t received, std::int64_t) {
        if (received >= 32 * 1024 && !stop) {
            fileSeen = platform::FileExists(target_);
            stop = true;
        }
    });
    download.SetTerminationCheck([&] { return stop.load(); });

    EXPECT_FALSE(download.Run());
    EXPECT_TRUE(download.Terminated());
    EXPECT_TRUE(fileSeen) << "the body was being written to the target";
    EXPECT_FALSE(platform::FileExists(target_));
}

TEST_F(TransferTest, TerminationWhileTheServerSendsNothingEndsTheTransfer) {
    // The server sends part of the body, then nothing more for a minute; the
    // check is still asked meanwhile.
    net::UrlDownload download = Trusting(Url("/stall"));
    std::atomic<bool> bodyStarted{false};
    std::chrono::steady_clock::time_point started;
    download.SetProgressHandler([&](std::int64_t, std::int64_t) {
        if (!bodyStarted) {
            started = std::chrono::steady_clock::now();
            bodyStarted = true;
        }
    });
    download.SetTerminationCheck([&] {
        return bodyStarted && std::chrono::steady_clock::now() - started > std::chrono::seconds(1);
    });

    EXPECT_FALSE(download.Run());
    EXPECT_TRUE(download.Terminated());
    EXPECT_LT(download.BytesReceived(), 100 * 1024 * 1024);
    EXPECT_FALSE(platform::FileExists(target_));
}

TEST_F(TransferTest, TheSystemsProxyCarriesTheTransfer) {
    // A name only the proxy resolves: the answer can only come through it.
    const std::string host = Env("TRANSFER_PROXY_ONLY_HOST");
    const std::string url = Url("/small", "TRANSFER_HTTPS_PORT", host);
    {
        const SystemProxySetting proxy("127.0.0.1:" + Env("TRANSFER_PROXY_PORT"));
        ASSERT_TRUE(proxy.Ok());
        net::UrlDownload download = Trusting(url);
        EXPECT_TRUE(download.Run());
        EXPECT_EQ(download.Status(), 200);
        EXPECT_EQ(ReadAll(target_), "[Main]\r\nstatus=ok\r\n");
    }
    const std::string log = ReadAll(Env("TRANSFER_PROXY_LOG"));
    EXPECT_NE(log.find("CONNECT " + host + ":" + Env("TRANSFER_HTTPS_PORT") + " HTTP/1.1"),
              std::string::npos)
        << log;
}

} // namespace
