// The desktop notice of files from the phone, sent to a fake notification
// service on a private session bus that this test starts: one per burst while
// nobody looks at the window, none while it is active, nothing at all where
// no service runs, and a click brings the window up on the phone-to-PC page.

#include "WindowTestSupport.h"
#include "app/ArrivalNotifier.h"
#include "app/MainUnit.h"
#include "app/TileButton.h"
#include "app/WindowEnvironment.h"
#include "app/core/UploadWatcher.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>

namespace {

QString HomeDir;
QString BusAddress; // empty when no bus could be started
// Set by TESSARY_NO_BUS: the run has no session bus at all.
bool NoBus = false;

// Every message Qt logs while a test watches.
QStringList Logged;
QtMessageHandler PreviousHandler = nullptr;
void Record(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    Logged << text;
    if (PreviousHandler)
        PreviousHandler(type, context, text);
}

using windowtest::WriteBytes;

} // namespace

// Stands in for the desktop's notification service.
class TFakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
  public:
    struct Notice {
        QString app;
        QString summary;
        QString body;
        QStringList actions;
        uint id = 0;
    };
    QList<Notice> notices;

  public slots:
    uint Notify(const QString& app, uint, const QString&, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap&, int) {
        notices.push_back({app, summary, body, actions, nextId_});
        return nextId_++;
    }
    QStringList GetCapabilities() { return {"body", "actions"}; }

  signals:
    void ActionInvoked(uint id, const QString& actionKey);

  private:
    uint nextId_ = 41;
};

class TestArrivalNotice : public QObject {
    Q_OBJECT

    std::unique_ptr<TMainForm> form;
    std::unique_ptr<TFakeNotifications> service;
    // Bursts whose end the notifier has decided on (notice or not).
    int burstsEnded = 0;

    QStringList opened; // what the window handed to the shell
    void Start() {
        TMainFormHooks hooks;
        hooks.UpdateBaseUrl = "http://127.0.0.1:9"; // a closed loopback port
        hooks.ShowMessage = [](const QString&) {};
        hooks.PickFolder = [](const QString&) { return std::nullopt; };
        hooks.OpenWithShell = [this](const std::string& path) {
            opened << QString::fromStdString(path);
        };
        form = std::make_unique<TMainForm>(hooks);
        auto* notifier = windowtest::Child<TArrivalNotifier>(form.get(), "ArrivalNotices");
        notifier->SetQuietInterval(QuietMs);
        notifier->ShouldNotify = [this, ask = notifier->ShouldNotify] {
            ++burstsEnded;
            return ask();
        };
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
    }
    // The fake service on the bus, for this test alone.
    void StartService() {
        service = std::make_unique<TFakeNotifications>();
        QDBusConnection bus = QDBusConnection::connectToBus(BusAddress, ServiceConnection);
        QVERIFY(bus.isConnected());
        QVERIFY(bus.registerObject("/org/freedesktop/Notifications", service.get(),
                                   QDBusConnection::ExportAllSlots |
                                       QDBusConnection::ExportAllSignals));
        QVERIFY(bus.registerService("org.freedesktop.Notifications"));
    }
    static constexpr const char* ServiceConnection = "fake-service";
    // An upload as the engine leaves it; true once the watcher has moved it
    // and told the window, which decides then whether a notice is due.
    bool Upload(const QString& name, const QByteArray& content = "from the phone") {
        const std::size_t seen = form->Uploads->SeenUploads().size();
        WriteBytes(QString::fromStdString(form->UploadDir) + name, content);
        const QString landed = QString::fromStdString(form->ReceiveDir) + name;
        return QTest::qWaitFor(
            [&] { return form->Uploads->SeenUploads().size() > seen && QFileInfo::exists(landed); },
            5000);
    }
    // Longer than the watcher's one-second pass, so consecutive passes make one burst.
    static constexpr int QuietMs = 1500;

  private slots:
    void init() {
        QDir(HomeDir + "/data").removeRecursively();
        burstsEnded = 0;
        opened.clear();
        if (NoBus && QString(QTest::currentTestFunction()) !=
                         "withoutServiceNothingHappensAndNothingIsLogged")
            QSKIP("this run has no session bus");
        if (!NoBus && BusAddress.isEmpty())
            QSKIP("dbus-daemon could not be started here");
    }
    void cleanup() {
        // What arrived goes, so no later test finds its names taken.
        if (form)
            QDir(QString::fromStdString(form->ReceiveDir)).removeRecursively();
        form.reset();
        if (service) {
            QDBusConnection bus(ServiceConnection);
            bus.unregisterService("org.freedesktop.Notifications");
            bus.unregisterObject("/org/freedesktop/Notifications");
            QDBusConnection::disconnectFromBus(ServiceConnection);
            service.reset();
        }
    }

    // While the bus has no notification service (or, in the run without a
    // bus, at all).
    void withoutServiceNothingHappensAndNothingIsLogged() {
        Start();
        form->showMinimized();
        QTRY_VERIFY(form->isMinimized());
        Logged.clear();
        PreviousHandler = qInstallMessageHandler(Record);
        const bool moved = Upload("IMG_0001.jpg");
        // The burst has ended and a notice was due.
        const bool decided = QTest::qWaitFor([&] { return burstsEnded == 1; }, QuietMs + 5000);
        QCoreApplication::processEvents();
        qInstallMessageHandler(PreviousHandler);
        QVERIFY(moved);
        QVERIFY(decided);
        QCOMPARE(Logged, QStringList{});
        QVERIFY(form->isMinimized());
    }

    void oneNoticePerBurstWhileMinimised() {
        StartService();
        Start();
        form->showMinimized();
        QTRY_VERIFY(form->isMinimized());
        // A burst over two passes of the watcher: one file, then three.
        QVERIFY(Upload("a<b>&c.txt"));
        const QString upload = QString::fromStdString(form->UploadDir);
        WriteBytes(upload + "IMG_0002.jpg", "2");
        WriteBytes(upload + "IMG_0003.jpg", "3");
        QVERIFY(Upload("IMG_0004.jpg"));
        QTRY_COMPARE_WITH_TIMEOUT(service->notices.size(), 1, 5000);
        QCOMPARE(burstsEnded, 1);

        const TFakeNotifications::Notice notice = service->notices.first();
        QCOMPARE(notice.app, QString("Tessary"));
        QCOMPARE(notice.summary, QString("4 files received from the phone"));
        const QStringList lines = notice.body.split('\n');
        QCOMPARE(lines.size(), 4);
        // The names come from the phone: escaped for the service's markup.
        QCOMPARE(lines[0], QString("a&lt;b&gt;&amp;c.txt"));
        for (int i = 1; i < 3; ++i)
            QVERIFY2(lines[i].startsWith("IMG_000"), qPrintable(lines[i]));
        QCOMPARE(lines[3], QString("and 1 more"));
        QVERIFY(notice.actions.contains("default"));

        // Another notice's click is not ours; a click on ours, which the bus
        // delivers after it, brings the window up on the phone-to-PC page.
        QSignalSpy activated(windowtest::Child<TArrivalNotifier>(form.get(), "ArrivalNotices"),
                             &TArrivalNotifier::activated);
        emit service->ActionInvoked(notice.id + 7, "default");
        emit service->ActionInvoked(notice.id, "default");
        QTRY_COMPARE(activated.size(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(activated.size(), 1);
        QTRY_VERIFY(!form->isMinimized());
        QTRY_VERIFY(form->isActiveWindow());
        QCOMPARE(form->findChild<QWidget*>("MainPC")->property("currentIndex").toInt(),
                 int(TMainForm::PhoneToPCPage));
        QVERIFY(form->findChild<TTileButton*>("BPhoneToPC")->isChecked());
        QVERIFY(!form->findChild<TTileButton*>("BWelcome")->isChecked());
    }

    // A text from the phone reads as its first line; a click opens it.
    void aTextShowsItsFirstLineAndTheClickOpensIt() {
        StartService();
        Start();
        form->showMinimized();
        QTRY_VERIFY(form->isMinimized());
        const QString name = "Text 2026-12-09 14.03.22.txt";
        QVERIFY(Upload(name, "\r\n  Call <Anna> back\r\nabout the flat\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(service->notices.size(), 1, QuietMs + 5000);
        const TFakeNotifications::Notice notice = service->notices.first();
        QCOMPARE(notice.summary, QString("Text received from the phone"));
        QCOMPARE(notice.body, QString::fromUtf8("\u201CCall &lt;Anna&gt; back\u201D"));
        emit service->ActionInvoked(notice.id, "default");
        QTRY_COMPARE(opened, QStringList{QString::fromStdString(form->ReceiveDir) + name});
        QTRY_VERIFY(!form->isMinimized());
        QCOMPARE(form->findChild<QWidget*>("MainPC")->property("currentIndex").toInt(),
                 int(TMainForm::PhoneToPCPage));
    }

    void noNoticeWhileTheWindowIsActive() {
        StartService();
        Start();
        QVERIFY(form->isActiveWindow());
        QVERIFY(Upload("IMG_0005.jpg"));
        // Minimised, the next burst is told: it alone, as a notice for the
        // first, or the first in the same burst, would show in it.
        form->showMinimized();
        QTRY_VERIFY(form->isMinimized());
        QVERIFY(Upload("IMG_0007.jpg"));
        QTRY_COMPARE_WITH_TIMEOUT(service->notices.size(), 1, QuietMs + 5000);
        QCOMPARE(service->notices.first().body, QString("IMG_0007.jpg"));
        QCoreApplication::processEvents();
        QCOMPARE(service->notices.size(), 1);
    }

    void noticeWhileAnotherWindowIsActive() {
        StartService();
        Start();
        QWidget other;
        other.resize(200, 100);
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QVERIFY(!form->isActiveWindow());
        QVERIFY(Upload("IMG_0006.jpg"));
        QTRY_COMPARE_WITH_TIMEOUT(service->notices.size(), 1, 5000);
        QCOMPARE(service->notices.first().summary, QString("1 file received from the phone"));
        QCOMPARE(service->notices.first().body, QString("IMG_0006.jpg"));
    }
};

int main(int argc, char* argv[]) {
    const windowtest::TTestHome home;
    if (!home.IsValid())
        return 1;
    HomeDir = home.Path();

    // A session bus of the test's own, before anything looks for one; or,
    // for the run without a bus, none that could be found.
    NoBus = qEnvironmentVariableIsSet("TESSARY_NO_BUS");
    QProcess daemon;
    if (NoBus) {
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("XDG_RUNTIME_DIR");
    } else {
        daemon.start("dbus-daemon", {"--session", "--print-address", "--nofork", "--nopidfile"});
        if (daemon.waitForStarted(5000) && daemon.waitForReadyRead(5000))
            BusAddress = QString::fromUtf8(daemon.readLine()).trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", BusAddress.toUtf8());
    }

    const int result = windowtest::RunWindowTests<TestArrivalNotice>(argc, argv);
    if (daemon.state() != QProcess::NotRunning) {
        daemon.terminate();
        if (!daemon.waitForFinished(3000))
            daemon.kill();
    }
    return result;
}

#include "TestArrivalNotice.moc"
