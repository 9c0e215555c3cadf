// The desktop notice of files from the phone, sent to a fake notification
// service on a private session bus that this test starts: one per burst while
// nobody looks at the window, none while it is active, nothing at all where
// no service runs, and a click brings the window up on the phone-to-PC page.

#include "app/ArrivalNotifier.h"
#include "app/MainUnit.h"
#include "app/TileButton.h"
#include "app/WindowEnvironment.h"

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

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

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
    TFakeNotifications service;
    bool serviceUp = false;

    void Start() {
        TMainFormHooks hooks;
        hooks.UpdateBaseUrl = "http://127.0.0.1:9"; // a closed loopback port
        hooks.ShowMessage = [](const QString&) {};
        hooks.PickFolder = [](const QString&) { return std::nullopt; };
        hooks.OpenWithShell = [](const std::string&) {};
        form = std::make_unique<TMainForm>(hooks);
        form->findChild<TArrivalNotifier*>("ArrivalNotices")->SetQuietInterval(QuietMs);
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
    }
    void StartService() {
        QDBusConnection bus = QDBusConnection::connectToBus(BusAddress, "fake-service");
        QVERIFY(bus.isConnected());
        QVERIFY(bus.registerObject("/org/freedesktop/Notifications", &service,
                                   QDBusConnection::ExportAllSlots |
                                       QDBusConnection::ExportAllSignals));
        QVERIFY(bus.registerService("org.freedesktop.Notifications"));
        serviceUp = true;
    }
    // An upload as the engine leaves it; true once the watcher has moved it.
    bool Upload(const QString& name) {
        WriteBytes(QString::fromStdString(form->UploadDir) + name, "from the phone");
        const QString landed = QString::fromStdString(form->ReceiveDir) + name;
        return QTest::qWaitFor([&] { return QFileInfo::exists(landed); }, 5000);
    }
    // Long enough for a burst to end and its notice to reach the service.
    static void WaitPastBurst() { QTest::qWait(QuietMs + 700); }
    // Longer than the watcher's one-second pass, so consecutive passes make one burst.
    static constexpr int QuietMs = 1500;

  private slots:
    void init() {
        QDir(HomeDir + "/data").removeRecursively();
        if (NoBus && QString(QTest::currentTestFunction()) !=
                         "withoutServiceNothingHappensAndNothingIsLogged")
            QSKIP("this run has no session bus");
        if (!NoBus && BusAddress.isEmpty())
            QSKIP("dbus-daemon could not be started here");
    }
    void cleanup() { form.reset(); }

    // First, while the bus has no notification service yet (or, in the run
    // without a bus, at all).
    void withoutServiceNothingHappensAndNothingIsLogged() {
        Start();
        form->showMinimized();
        QTRY_VERIFY(form->isMinimized());
        Logged.clear();
        PreviousHandler = qInstallMessageHandler(Record);
        const bool moved = Upload("IMG_0001.jpg");
        WaitPastBurst();
        qInstallMessageHandler(PreviousHandler);
        QVERIFY(moved);
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
        QTRY_COMPARE_WITH_TIMEOUT(service.notices.size(), 1, 5000);
        WaitPastBurst();
        QCOMPARE(service.notices.size(), 1);

        const TFakeNotifications::Notice notice = service.notices.first();
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

        // Another notice's click is not ours.
        emit service.ActionInvoked(notice.id + 7, "default");
        QTest::qWait(200);
        QVERIFY(form->isMinimized());
        // A click on ours brings the window up on the phone-to-PC page.
        emit service.ActionInvoked(notice.id, "default");
        QTRY_VERIFY(!form->isMinimized());
        QTRY_VERIFY(form->isActiveWindow());
        QCOMPARE(form->findChild<QWidget*>("MainPC")->property("currentIndex").toInt(),
                 int(TMainForm::PhoneToPCPage));
        QVERIFY(form->findChild<TTileButton*>("BPhoneToPC")->isChecked());
        QVERIFY(!form->findChild<TTileButton*>("BWelcome")->isChecked());
    }

    void noNoticeWhileTheWindowIsActive() {
        QVERIFY(serviceUp);
        service.notices.clear();
        Start();
        QVERIFY(form->isActiveWindow());
        QVERIFY(Upload("IMG_0005.jpg"));
        WaitPastBurst();
        QCOMPARE(service.notices.size(), 0);
    }

    void noticeWhileAnotherWindowIsActive() {
        QVERIFY(serviceUp);
        service.notices.clear();
        Start();
        QWidget other;
        other.resize(200, 100);
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QVERIFY(!form->isActiveWindow());
        QVERIFY(Upload("IMG_0006.jpg"));
        QTRY_COMPARE_WITH_TIMEOUT(service.notices.size(), 1, 5000);
        QCOMPARE(service.notices.first().summary, QString("1 file received from the phone"));
        QCOMPARE(service.notices.first().body, QString("IMG_0006.jpg"));
    }
};

int main(int argc, char* argv[]) {
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    HomeDir = home.path();
    qputenv("HOME", HomeDir.toUtf8());
    qputenv("XDG_DATA_HOME", (HomeDir + "/data").toUtf8());
    qputenv("XDG_CONFIG_HOME", (HomeDir + "/config").toUtf8());
    qputenv("TMPDIR", (HomeDir + "/tmp/").toUtf8());
    QDir().mkpath(HomeDir + "/tmp/");

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

    int result = 0;
    {
        PrepareFixedPixelLayout();
        QApplication app(argc, argv);
        InstallFontSubstitutions();
        TestArrivalNotice tests;
        result = QTest::qExec(&tests, argc, argv);
    }
    if (daemon.state() != QProcess::NotRunning) {
        daemon.terminate();
        if (!daemon.waitForFinished(3000))
            daemon.kill();
    }
    return result;
}

#include "TestArrivalNotice.moc"
