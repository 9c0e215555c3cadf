// The download against real loopback servers: statuses, files, progress,
// cancelling at every stage, the minimum wait and HTTPS with a test authority.

#include "TestHttpServer.h"
#include "net/FileLoadThreadUnit.h"
#include "net/SyncFileLoadUnit.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

using testsupport::Connection;
using testsupport::ResponseHead;
using testsupport::TestHttpServer;

namespace {

class DownloadTest : public ::testing::Test {
  protected:
    std::string Path(const char* name) const { return dir_.filePath(name).toStdString(); }

    static bool Exists(const std::string& path) {
        return QFile::exists(QString::fromStdString(path));
    }

    static QByteArray Contents(const std::string& path) {
        QFile file(QString::fromStdString(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static void WriteFile(const std::string& path, const QByteArray& bytes) {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    // Processes events until done() holds or 20 s have passed.
    static bool WaitUntil(const std::function<bool()>& done) {
        QDeadlineTimer deadline(20000);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(5);
        }
        return true;
    }

    // Like WaitUntil, but without processing events.
    static bool WaitUntilNoEvents(const std::function<bool()>& done) {
        QDeadlineTimer deadline(20000);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QThread::msleep(5);
        }
        return true;
    }

    // A port on which nothing listens.
    static unsigned short FreePort() {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const unsigned short port = probe.serverPort();
        probe.close();
        return port;
    }

    QTemporaryDir dir_;
};

QByteArray Body(int size) {
    QByteArray body(size, '\0');
    for (int i = 0; i < size; ++i)
        body[i] = static_cast<char>('a' + i % 26);
    return body;
}

// Serves body with a Content-Length.
TestHttpServer::Handler Serving(const QByteArray& body, int status = 200) {
    return [body, status](Connection& c) {
        c.Write(
            ResponseHead(status, "Content-Length: " + QByteArray::number(body.size()) + "\r\n") +
            body);
    };
}

// What a worker run directly reports.
struct WorkerResult {
    int status = -1;
    bool succeeded = false;
    std::int64_t contentLength = -1;
    std::vector<std::int64_t> received;
    std::vector<int> percents;
    std::vector<int> completions;
};

} // namespace

TEST_F(DownloadTest, OkResponsesWriteTheBodyAndReturn200) {
    const QByteArray body = Body(10000);
    TestHttpServer server(Serving(body));
    TestHttpServer empty(Serving(QByteArray()));

    const std::string file = Path("reply.dat");
    EXPECT_EQ(TFileDL().DownloadToFile(server.Url("/x"), file), 200);
    EXPECT_EQ(Contents(file), body);

    // An empty body still creates the file, and an existing longer file is
    // replaced, not overwritten in place.
    const std::string emptyFile = Path("empty.dat");
    WriteFile(emptyFile, "left over from before");
    EXPECT_EQ(TFileDL().DownloadToFile(empty.Url("/empty"), emptyFile), 200);
    EXPECT_TRUE(Exists(emptyFile));
    EXPECT_EQ(Contents(emptyFile).size(), 0);
}

TEST_F(DownloadTest, RedirectsAreFollowedToTheFinalAnswer) {
    const QByteArray body = "[Main]\r\nstatus=1\r\n";
    std::unique_ptr<TestHttpServer> target = std::make_unique<TestHttpServer>(Serving(body));
    const QByteArray location = QByteArray::fromStdString(target->Url("/final"));
    TestHttpServer server([location](Connection& c) {
        c.Write(ResponseHead(302, "Location: " + location + "\r\nContent-Length: 5\r\n") + "moved");
    });
    const std::string file = Path("r.dat");
    EXPECT_EQ(TFileDL().DownloadToFile(server.Url("/start"), file), 200);
    EXPECT_EQ(Contents(file), body);
    EXPECT_EQ(target->Targets(), std::vector<std::string>{"/final"});

    // A redirect that leads nowhere is no answer, not the redirect's status.
    const QByteArray nowhere = "http://127.0.0.1:" + QByteArray::number(FreePort()) + "/";
    TestHttpServer dangling([nowhere](Connection& c) {
        c.Write(ResponseHead(302, "Location: " + nowhere + "\r\nContent-Length: 0\r\n"));
    });
    const std::string lost = Path("lost.dat");
    EXPECT_EQ(TFileDL().DownloadToFile(dangling.Url("/"), lost), 0);
    EXPECT_FALSE(Exists(lost));
    // A redirect status without a Location is the answer itself.
    TestHttpServer bare(Serving("", 301));
    EXPECT_EQ(TFileDL().DownloadToFile(bare.Url("/"), lost), 301);
}

TEST_F(DownloadTest, OtherStatusesCreateNoFileAndLeaveAnOldOneAlone) {
    TestHttpServer notFound(Serving("<html>not here</html>", 404));
    TestHttpServer failing(Serving("oops", 500));

    const std::string file = Path("none.dat");
    EXPECT_EQ(TFileDL().DownloadToFile(notFound.Url("/missing"), file), 404);
    EXPECT_FALSE(Exists(file));

    const std::string kept = Path("kept.dat");
    WriteFile(kept, "previous");
    EXPECT_EQ(TFileDL().DownloadToFile(failing.Url("/"), kept), 500);
    EXPECT_EQ(Contents(kept), "previous");
}

TEST_F(DownloadTest, NoResponseGivesZeroAndNoFile) {
    const std::string file = Path("unreachable.dat");
    EXPECT_EQ(
        TFileDL().DownloadToFile("http://127.0.0.1:" + std::to_string(FreePort()) + "/", file), 0);
    EXPECT_FALSE(Exists(file));

    // A server that closes the connection before any status line.
    TestHttpServer hangUp([](Connection&) {});
    EXPECT_EQ(TFileDL().DownloadToFile(hangUp.Url("/"), file), 0);
    EXPECT_FALSE(Exists(file));

    // A scheme other than http and https is not fetched.
    EXPECT_EQ(TFileDL().DownloadToFile("file:///etc/hostname", file), 0);
    EXPECT_FALSE(Exists(file));
}

TEST_F(DownloadTest, TargetThatCannotBeCreatedKeeps200WithoutFile) {
    TestHttpServer server(Serving("data"));
    const std::string file = Path("no/such/folder/reply.dat");
    EXPECT_EQ(TFileDL().DownloadToFile(server.Url("/"), file), 200);
    EXPECT_FALSE(Exists(file));
}

TEST_F(DownloadTest, EvenAnInstantDownloadWaitsAtLeast100ms) {
    TestHttpServer server(Serving("x"));
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(TFileDL().DownloadToFile(server.Url("/"), Path("fast.dat")), 200);
    EXPECT_GE(clock.elapsed(), 100);
}

TEST_F(DownloadTest, WindowEventsRunDuringTheWait) {
    // A body in many blocks, each handed over: timers keep firing meanwhile.
    TestHttpServer server(Serving(Body(5 * 4096)));
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(10);
    EXPECT_EQ(TFileDL().DownloadToFile(server.Url("/"), Path("slow.dat")), 200);
    EXPECT_GT(ticks, 0);
}

TEST(PercentTest, RoundsHalfToEvenAndGuardsItsInputs) {
    EXPECT_EQ(TFileLoadThread::Percent(1, 8), 12); // 12.5
    EXPECT_EQ(TFileLoadThread::Percent(3, 8), 38); // 37.5
    EXPECT_EQ(TFileLoadThread::Percent(1, 3), 33); // 33.33
    EXPECT_EQ(TFileLoadThread::Percent(2, 3), 67); // 66.67
    EXPECT_EQ(TFileLoadThread::Percent(8, 8), 100);
    EXPECT_EQ(TFileLoadThread::Percent(9, 8), 0); // more than announced
    EXPECT_EQ(TFileLoadThread::Percent(5, 0), 0); // no length known
    EXPECT_EQ(TFileLoadThread::Percent(std::int64_t{1} << 61, std::int64_t{1} << 62), 50);
}

class WorkerTest : public DownloadTest {
  protected:
    // Runs one worker to its end, recording what it handed over.
    WorkerResult Run(const std::string& url, const std::string& file,
                     const std::function<void(TFileLoadThread&)>& onProgress = {}) {
        WorkerResult result;
        auto* worker = new TFileLoadThread(url, file);
        worker->SetTag(7);
        worker->SetProgressHandler(
            [&, worker](int tag, std::int64_t received, std::int64_t length, int percent) {
                EXPECT_EQ(tag, 7);
                EXPECT_EQ(length, worker->ContentLength());
                result.received.push_back(received);
                result.percents.push_back(percent);
                if (onProgress)
                    onProgress(*worker);
            });
        worker->SetCompletionHandler([&](int tag, int status, const std::string& message) {
            EXPECT_EQ(tag, 7);
            EXPECT_TRUE(message.empty());
            result.completions.push_back(status);
        });
        bool finished = false;
        QObject::connect(worker, &QThread::finished, worker, [&, worker] {
            finished = true;
            result.status = worker->Status();
            result.succeeded = worker->Succeeded();
            result.contentLength = worker->ContentLength();
        });
        QPointer<TFileLoadThread> watch(worker);
        worker->start();
        EXPECT_TRUE(WaitUntil([&] { return finished; }));
        // The worker releases itself after its end notice.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(watch.isNull());
        return result;
    }
};

TEST_F(WorkerTest, ProgressComesPerBlockWithPercentOfTheLength) {
    const QByteArray body = Body(3 * 4096 + 100);
    TestHttpServer server(Serving(body));
    const WorkerResult r = Run(server.Url("/"), Path("p.dat"));
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.succeeded);
    EXPECT_EQ(r.contentLength, body.size());
    ASSERT_GE(r.received.size(), 4u);
    std::int64_t previous = 0;
    for (std::size_t i = 0; i < r.received.size(); ++i) {
        EXPECT_LE(r.received[i] - previous, 4096) << "block " << i;
        EXPECT_GT(r.received[i], previous);
        previous = r.received[i];
    }
    EXPECT_EQ(r.received.back(), body.size());
    EXPECT_EQ(r.percents.back(), 100);
    EXPECT_EQ(r.completions, std::vector<int>{200});
}

TEST_F(WorkerTest, WithoutContentLengthTheBodyIsReadToItsEndAtPercentZero) {
    const QByteArray body = Body(9000);
    TestHttpServer server([body](Connection& c) { c.Write(ResponseHead(200) + body); });
    const std::string file = Path("nolength.dat");
    const WorkerResult r = Run(server.Url("/"), file);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.contentLength, 0);
    EXPECT_EQ(Contents(file), body);
    ASSERT_GE(r.percents.size(), 3u);
    for (int percent : r.percents)
        EXPECT_EQ(percent, 0);
}

TEST_F(WorkerTest, GarbledContentLengthIsNoUsableResponse) {
    // libcurl refuses such a header outright (it could hide a second
    // response), so nothing is written.
    TestHttpServer server(
        [](Connection& c) { c.Write(ResponseHead(200, "Content-Length: lots\r\n") + "data"); });
    const std::string file = Path("garbled.dat");
    const WorkerResult r = Run(server.Url("/"), file);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.completions.empty());
    EXPECT_FALSE(Exists(file));
}

TEST_F(WorkerTest, ErrorStatusStillReportsCompletionButNoProgress) {
    TestHttpServer server(Serving("gone", 404));
    const std::string file = Path("e.dat");
    const WorkerResult r = Run(server.Url("/"), file);
    EXPECT_EQ(r.status, 404);
    EXPECT_FALSE(r.succeeded);
    EXPECT_TRUE(r.received.empty());
    EXPECT_EQ(r.completions, std::vector<int>{404});
    EXPECT_FALSE(Exists(file));
}

TEST_F(WorkerTest, CancelDuringTheBodyStopsAndDeletesThePartialFile) {
    std::atomic<bool> clientClosed{false};
    TestHttpServer server([&](Connection& c) {
        c.Write(ResponseHead(200, "Content-Length: 1000000\r\n") + Body(3 * 4096));
        clientClosed = c.WaitForClientClose();
    });
    const std::string file = Path("partial.dat");
    bool sawPartialFile = false;
    const WorkerResult r = Run(server.Url("/"), file, [&](TFileLoadThread& worker) {
        sawPartialFile = Exists(file);
        worker.RequestTermination();
    });
    EXPECT_TRUE(sawPartialFile);
    EXPECT_EQ(r.status, TFileLoadThread::StatusCancelled);
    EXPECT_FALSE(r.succeeded);
    // Nothing is handed over once the request is in: one block, no completion.
    EXPECT_EQ(r.received.size(), 1u);
    EXPECT_TRUE(r.completions.empty());
    EXPECT_FALSE(Exists(file));
    EXPECT_TRUE(WaitUntil([&] { return clientClosed.load(); }));
}

TEST_F(WorkerTest, CancelByDestroyingARunningWorkerWaitsForItWithoutDeadlock) {
    // What happens to a worker still running when the application object
    // goes: its destructor stops it, even while it waits in a hand-over.
    std::atomic<bool> clientClosed{false};
    TestHttpServer server([&](Connection& c) {
        if (c.Write(ResponseHead(200, "Content-Length: 100000000\r\n")))
            while (!server.Stopping() && c.Write(Body(65536))) {
            }
        clientClosed = true;
    });
    const std::string file = Path("exit.dat");
    auto* worker = new TFileLoadThread(server.Url("/"), file);
    int blocks = 0;
    worker->SetProgressHandler([&blocks](int, std::int64_t, std::int64_t, int) { ++blocks; });
    worker->start();
    // No events are processed meanwhile: the worker blocks in its first hand-over.
    EXPECT_TRUE(WaitUntilNoEvents([&] { return Exists(file); }));
    QThread::msleep(100);
    delete worker;
    EXPECT_LE(blocks, 1);
    EXPECT_FALSE(Exists(file));
    EXPECT_TRUE(WaitUntil([&] { return clientClosed.load(); }));
}

TEST_F(DownloadTest, CancelWhileTheBodyIsReadReturns999AndTheFileGoes) {
    std::atomic<bool> clientClosed{false};
    TestHttpServer server([&](Connection& c) {
        // Part of the body, then nothing: only the cancel ends this.
        c.Write(ResponseHead(200, "Content-Length: 1000000\r\n") + Body(8192));
        clientClosed = c.WaitForClientClose();
    });
    const std::string file = Path("cancelled.dat");
    {
        TFileDL download;
        // Cancels from inside the wait, the way the window's close query does.
        QTimer poll;
        bool sawPartialFile = false;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (Exists(file) && QFile(QString::fromStdString(file)).size() > 0) {
                sawPartialFile = true;
                download.Cancel();
                poll.stop();
            }
        });
        poll.start(5);
        EXPECT_EQ(download.DownloadToFile(server.Url("/"), file), TFileDL::StatusCancelled);
        EXPECT_TRUE(sawPartialFile);
        // A second cancel, as the clean-up may do, is harmless.
        download.Cancel();
    }
    // The TFileDL is gone; the worker stops by itself and removes its file.
    EXPECT_TRUE(WaitUntil([&] { return !Exists(file) && clientClosed.load(); }));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(DownloadTest, CancelWhileWaitingForTheHeaderEndsTheWorkerWithoutAFile) {
    // The server takes the request but never answers.
    std::atomic<bool> requested{false};
    std::atomic<bool> clientClosed{false};
    TestHttpServer server([&](Connection& c) {
        requested = true;
        clientClosed = c.WaitForClientClose();
    });
    const std::string file = Path("never.dat");
    {
        TFileDL download;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (requested) {
                poll.stop();
                download.Cancel();
            }
        });
        poll.start(10);
        EXPECT_EQ(download.DownloadToFile(server.Url("/"), file), TFileDL::StatusCancelled);
    }
    EXPECT_TRUE(WaitUntil([&] { return clientClosed.load(); }));
    EXPECT_FALSE(Exists(file));
}

TEST_F(DownloadTest, CancelThenProgramExitEndsCleanlyAndRemovesThePartialFile) {
    std::atomic<bool> clientClosed{false};
    TestHttpServer server([&](Connection& c) {
        c.Write(ResponseHead(200, "Content-Length: 1000000\r\n") + Body(8192));
        clientClosed = c.WaitForClientClose();
    });
    const std::string file = Path("exit.dat");
    QProcess probe;
    probe.setProcessChannelMode(QProcess::ForwardedChannels);
    probe.start(TESSARY_EXIT_PROBE,
                {QString::fromStdString(server.Url("/")), QString::fromStdString(file)});
    ASSERT_TRUE(probe.waitForFinished(60000));
    EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(probe.exitCode(), 0);
    // The worker was stopped before the process ended: nothing is left.
    EXPECT_FALSE(Exists(file));
    EXPECT_TRUE(WaitUntil([&] { return clientClosed.load(); }));
}

TEST_F(DownloadTest, CancelBeforeTheStartIsClearedByTheNextDownload) {
    TestHttpServer server(Serving("fresh"));
    TFileDL download;
    download.Cancel();
    const std::string file = Path("after.dat");
    EXPECT_EQ(download.DownloadToFile(server.Url("/"), file), 200);
    EXPECT_EQ(Contents(file), "fresh");
}

TEST_F(DownloadTest, CancelAfterTheEndTouchesNoWorkerAndKeepsTheFile) {
    TestHttpServer server(Serving("complete"));
    const std::string file = Path("done.dat");
    TFileDL download;
    ASSERT_EQ(download.DownloadToFile(server.Url("/"), file), 200);
    // Let the ended worker be released, as the main loop would.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    download.Cancel();
    EXPECT_EQ(Contents(file), "complete");

    // The same object downloads again afterwards.
    TestHttpServer other(Serving("second"));
    EXPECT_EQ(download.DownloadToFile(other.Url("/"), file), 200);
    EXPECT_EQ(Contents(file), "second");
}

class HttpsDownloadTest : public DownloadTest {
  protected:
    static void SetUpTestSuite() {
        folder_ = std::make_unique<QTemporaryDir>();
        authority_ = testsupport::MakeTestAuthority(folder_->path().toStdString());
    }
    static void TearDownTestSuite() {
        authority_.reset();
        folder_.reset();
    }
    void SetUp() override {
        if (!authority_)
            GTEST_SKIP() << "the openssl tool could not make a test authority";
    }
    static std::unique_ptr<QTemporaryDir> folder_;
    static std::optional<testsupport::TestAuthority> authority_;
};
std::unique_ptr<QTemporaryDir> HttpsDownloadTest::folder_;
std::optional<testsupport::TestAuthority> HttpsDownloadTest::authority_;

TEST_F(HttpsDownloadTest, TrustedAuthorityIsAcceptedAndAnUnknownOneRefused) {
    const QByteArray body = "[Version]\r\nsoftware=Tessary\r\n";
    TestHttpServer server(Serving(body), authority_->server);
    const std::string file = Path("secure.dat");
    EXPECT_EQ(TFileDL(authority_->caCertificate).DownloadToFile(server.Url("/"), file), 200);
    EXPECT_EQ(Contents(file), body);

    // The system's store does not know the test authority: no response.
    const std::string refused = Path("refused.dat");
    EXPECT_EQ(TFileDL().DownloadToFile(server.Url("/"), refused), 0);
    EXPECT_FALSE(Exists(refused));
}
