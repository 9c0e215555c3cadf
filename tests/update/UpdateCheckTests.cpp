// The whole check against a loopback update service: the request it sends,
// the order of message, close and relay switch, and the clean-up after every
// ending, a close request during the wait included.

#include "TestHttpServer.h"
#include "app/core/UpdateCheck.h"
#include "net/SyncFileLoadUnit.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

using testsupport::Connection;
using testsupport::ResponseHead;
using testsupport::TestHttpServer;

namespace {

TestHttpServer::Handler Replying(const QByteArray& body, int status = 200) {
    return [body, status](Connection& c) {
        c.Write(
            ResponseHead(status, "Content-Length: " + QByteArray::number(body.size()) + "\r\n") +
            body);
    };
}

// Stands in for the window: records what the check asks of it.
class UpdateCheckTest : public ::testing::Test {
  protected:
    update::UpdateRequest Request(const TestHttpServer& server) const {
        update::UpdateRequest request;
        request.baseUrl = server.Url("");
        request.addressList = {"192.168.1.5", "10.0.0.2"};
        request.versionDigits = "310";
        request.sessionId = "0123456789ABCDEF0123456789ABCDEF";
        request.build = "191006";
        request.pageKey = "qwerty";
        return request;
    }

    update::UpdateCheckHooks Hooks() {
        update::UpdateCheckHooks hooks;
        hooks.makeTempFileName = [this] {
            replyFile_ = dir_.filePath("reply.dat").toStdString();
            return replyFile_;
        };
        hooks.signatureLetter = [] { return "n"; };
        hooks.showMessage = [this](const std::string& text) {
            events_.push_back("message:" + text);
            EXPECT_NE(inProgress_, nullptr);
        };
        hooks.closeWindow = [this] {
            events_.push_back("close");
            // The close query cancels what it finds; the worker has ended.
            ASSERT_NE(inProgress_, nullptr);
            inProgress_->Cancel();
        };
        hooks.switchToRelay = [this](const std::string& relay) {
            events_.push_back("relay:" + relay);
            EXPECT_EQ(relay, relayUrlTemplate_);
            EXPECT_EQ(inProgress_, nullptr);
        };
        return hooks;
    }

    void Check(const update::UpdateRequest& request, const update::UpdateCheckHooks& hooks) {
        update::UpdateCheck(request, hooks, relayUrlTemplate_, inProgress_);
        EXPECT_EQ(inProgress_, nullptr);
    }

    bool ReplyFileExists() const { return QFile::exists(QString::fromStdString(replyFile_)); }

    QTemporaryDir dir_;
    std::string replyFile_;
    std::string relayUrlTemplate_ = "left from before";
    TFileDL* inProgress_ = nullptr;
    std::vector<std::string> events_;
};

} // namespace

TEST_F(UpdateCheckTest, CombinedReplyShowsThenClosesThenStillSwitchesToRelay) {
    TestHttpServer server(Replying("[Main]\r\nsecureserver=https://relay.example/#updown#\r\n"
                                   "u=k=#version#\r\nstatus=1\r\n"
                                   "[Version]\r\nsoftware=Tessary\r\nnewversion=yes\r\n"
                                   "versionmsg=Please update.\r\nfeature=yes\r\n"));
    Check(Request(server), Hooks());
    EXPECT_EQ(server.Targets(),
              std::vector<std::string>{"/checkupdate/?i=c0a80105-0a000002&v=310-0&sessionid="
                                       "0123456789abcdef0123456789abcdef&b=191006&u=qwerty&s=n"});
    EXPECT_EQ(events_,
              (std::vector<std::string>{"message:Please update.", "close",
                                        "relay:https://relay.example/#updown#?k=#version#"}));
    EXPECT_EQ(relayUrlTemplate_, "https://relay.example/#updown#?k=#version#");
    EXPECT_FALSE(ReplyFileExists());
}

TEST_F(UpdateCheckTest, FailedOrEmptyAnswersChangeNothing) {
    TestHttpServer notFound(Replying("[Main]\r\nstatus=1\r\n", 404));
    Check(Request(notFound), Hooks());
    TestHttpServer empty(Replying(""));
    Check(Request(empty), Hooks());
    TestHttpServer html(Replying("<html>Sign in to the hotel network</html>"));
    Check(Request(html), Hooks());
    update::UpdateRequest unreachable = Request(html);
    unreachable.baseUrl = "http://127.0.0.1:1";
    Check(unreachable, Hooks());

    EXPECT_TRUE(events_.empty());
    EXPECT_EQ(relayUrlTemplate_, "");
    EXPECT_FALSE(ReplyFileExists());
}

TEST_F(UpdateCheckTest, ReplyForOtherSoftwareStillSwitchesToRelay) {
    TestHttpServer server(Replying("[Main]\r\nstatus=1\r\nsecureserver=https://r.example/\r\n"
                                   "[Version]\r\nsoftware=Else\r\nnewversion=yes\r\n"
                                   "versionmsg=x\r\nfeature=yes\r\n"));
    Check(Request(server), Hooks());
    EXPECT_EQ(events_, std::vector<std::string>{"relay:https://r.example/?"});
}

TEST_F(UpdateCheckTest, CloseRequestDuringTheWaitCancelsAndCleansUp) {
    std::atomic<bool> sentPart{false};
    std::atomic<bool> clientClosed{false};
    TestHttpServer server([&](Connection& c) {
        sentPart =
            c.Write(ResponseHead(200, "Content-Length: 100000\r\n") + "[Main]\r\nstatus=1\r\n");
        clientClosed = c.WaitForClientClose();
    });
    // The window's close query, run from inside the wait once the reply has
    // begun to arrive.
    QTimer closeQuery;
    QObject::connect(&closeQuery, &QTimer::timeout, [&] {
        if (!sentPart)
            return;
        closeQuery.stop();
        ASSERT_NE(inProgress_, nullptr);
        inProgress_->Cancel();
    });
    closeQuery.start(10);
    Check(Request(server), Hooks());

    EXPECT_TRUE(events_.empty());
    EXPECT_EQ(relayUrlTemplate_, "");
    // The worker stops on its own and takes its partial file with it.
    QDeadlineTimer deadline(20000);
    while ((ReplyFileExists() || !clientClosed) && !deadline.hasExpired()) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
    EXPECT_FALSE(ReplyFileExists());
    EXPECT_TRUE(clientClosed);
}

TEST_F(UpdateCheckTest, HttpsWithTheDownloadTheWindowSupplies) {
    QTemporaryDir caFolder;
    const auto authority = testsupport::MakeTestAuthority(caFolder.path().toStdString());
    if (!authority)
        GTEST_SKIP() << "the openssl tool could not make a test authority";
    TestHttpServer server(Replying("[Version]\r\nsoftware=TESSARY\r\nnewversion=yes\r\n"
                                   "versionmsg=Secure hello\r\n"),
                          authority->server);
    update::UpdateCheckHooks hooks = Hooks();
    hooks.makeDownload = [&] { return std::make_unique<TFileDL>(authority->caCertificate); };
    Check(Request(server), hooks);
    EXPECT_EQ(events_, std::vector<std::string>{"message:Secure hello"});
    EXPECT_FALSE(ReplyFileExists());
}
