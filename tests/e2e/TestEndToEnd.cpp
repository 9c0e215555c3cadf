// The whole program as a user runs it: the window under the offscreen
// platform, its engine installed in the work folder, and a phone (Debian's
// chromium) that scans nothing but reads the same URLs the QR codes carry.
// Run inside a network namespace of its own (netns-run.sh), where this PC's
// one address is TESSARY_TEST_ADDRESS.

#include "WindowTestSupport.h"
#include "app/MainUnit.h"
#include "app/ShellFileView.h"
#include "app/TileButton.h"
#include "app/WindowEnvironment.h"
#include "platform/platform.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {

QString HomeDir;

QString Address() {
    return qEnvironmentVariable("TESSARY_TEST_ADDRESS", "198.51.100.7");
}

QByteArray RandomBytes(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

using windowtest::ReadAll;
using windowtest::WriteBytes;

bool EngineListens() {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), 8016);
    return socket.waitForConnected(200);
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

    std::unique_ptr<TMainForm> form;
    QStringList messages;
    QStringList toPublish;

    void Start() {
        TMainFormHooks hooks;
        hooks.UpdateBaseUrl = "http://127.0.0.1:9"; // nothing leaves the machine
        hooks.ShowMessage = [this](const QString& text) { messages << text; };
        hooks.OpenWithShell = [](const std::string&) {};
        hooks.PickFilesToPublish = [this]() -> std::optional<QStringList> { return toPublish; };
        form = std::make_unique<TMainForm>(hooks);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QTRY_VERIFY_WITH_TIMEOUT(EngineListens(), 10000);
    }
    template <typename T> T* Find(const char* name) {
        return windowtest::Child<T>(form.get(), name);
    }
    // Shows the page of the tile and reads its QR code from a screenshot of
    // the whole window, as a phone's camera would.
    QString ScanWindow(const char* tile, const QString& shotName) {
        QTest::mouseClick(Find<TTileButton>(tile), Qt::LeftButton);
        QTest::qWait(100);
        const QString shot = QString(TESSARY_SCREENSHOT_DIR) + "/" + shotName;
        QDir().mkpath(TESSARY_SCREENSHOT_DIR);
        if (!form->grab().save(shot))
            return QStringLiteral("(screenshot not saved)");
        QProcess zbar;
        zbar.start(QStringLiteral("zbarimg"), {"--quiet", "--raw", shot});
        zbar.waitForFinished(20000);
        return QString::fromUtf8(zbar.readAllStandardOutput()).trimmed();
    }
    // The phone, run while the window's event loop goes on.
    bool Phone(const QStringList& arguments) {
        QProcess phone;
        phone.setProcessChannelMode(QProcess::ForwardedChannels);
        phone.start(QStringLiteral("node"), QStringList{TESSARY_PHONE} + arguments);
        if (!phone.waitForStarted(10000))
            return false;
        QDeadlineTimer deadline(120000);
        while (phone.state() != QProcess::NotRunning && !deadline.hasExpired())
            QTest::qWait(50);
        if (phone.state() != QProcess::NotRunning) {
            // Still running at the deadline: a phone that hangs has failed.
            qWarning("the phone did not finish within 120 s");
            phone.kill();
            phone.waitForFinished(5000);
            return false;
        }
        return phone.exitStatus() == QProcess::NormalExit && phone.exitCode() == 0;
    }

    // Engines of this user's work folder that still run.
    static std::vector<int> Engines() {
        return platform::ProcessIds(platform::FindProcessesOfProgram(EngineFile().toStdString(),
                                                                     platform::CurrentUserId()));
    }
    static QString EngineFile() { return HomeDir + "/data/Tessary/TessaryEngine"; }

  private slots:
    void cleanup() { form.reset(); }

    void closingTheWindowEndsTheEngine() {
        Start();
        QCOMPARE(Engines().size(), std::size_t{1});
        QTest::mouseClick(Find<TTileButton>("BClose"), Qt::LeftButton);
        QVERIFY(!form->isVisible());
        form.reset(); // the destroy handler runs the kill tool
        QTRY_VERIFY_WITH_TIMEOUT(!EngineListens(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(Engines().empty(), 5000);
    }

    void phoneToPc() {
        Start();
        const QString url = QString::fromStdString(form->UploadUrl);
        QCOMPARE(url, "http://" + Address() + ":8016/u/" + QString::fromStdString(form->PageKey) +
                          ".html");
        QCOMPARE(ScanWindow("BPhoneToPC", "e2e-phone-to-pc.png"), url);

        const QString name = "holiday photo #1 & more.jpg";
        const QByteArray bytes = RandomBytes(3 * 1024 * 1024);
        const QString source = HomeDir + "/phone/" + name;
        WriteBytes(source, bytes);
        QVERIFY(Phone({"upload", url, source}));

        const QString arrived = QString::fromStdString(form->ReceiveDir) + name;
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(arrived), 5000);
        QVERIFY(ReadAll(arrived) == bytes);
        QTRY_VERIFY_WITH_TIMEOUT(Find<TShellFileView>("WB")->ShownNames().contains(name), 5000);
        QVERIFY(messages.isEmpty());
    }

    void pcToPhone() {
        const QString folder = HomeDir + "/pc/";
        const QByteArray first = RandomBytes(2 * 1024 * 1024);
        const QByteArray second = RandomBytes(64 * 1024);
        WriteBytes(folder + "report 2026.bin", first);
        WriteBytes(folder + "Tom's #2.bin", second);
        toPublish = {folder + "report 2026.bin", folder + "Tom's #2.bin"};
        Start();
        const QString url = QString::fromStdString(form->DownloadUrl);
        QTest::mouseClick(Find<TTileButton>("BPCtoPhone"), Qt::LeftButton);
        QTest::mouseClick(Find<TTileButton>("BDownloadFileSelectFiles"), Qt::LeftButton);
        // Published once the copies (or links) are made, off the GUI thread.
        QTRY_VERIFY_WITH_TIMEOUT(Find<QLabel>("LDownloadNote")->text().startsWith("2 files were"),
                                 10000);
        QCOMPARE(ScanWindow("BPCtoPhone", "e2e-pc-to-phone.png"), url);

        const QString saved = HomeDir + "/phone-downloads/";
        QDir().mkpath(saved);
        QVERIFY(Phone({"download", url, saved, "2"}));
        QVERIFY(ReadAll(saved + "report 2026.bin") == first);
        QVERIFY(ReadAll(saved + "Tom's #2.bin") == second);
    }
};

int main(int argc, char* argv[]) {
    const windowtest::TTestHome home;
    if (!home.IsValid())
        return 1;
    HomeDir = home.Path();
    const QString data = HomeDir + "/data";

    // What the installation does: the engine goes into the work folder.
    QDir().mkpath(data + "/Tessary");
    if (!QFile::copy(TESSARY_ENGINE, data + "/Tessary/TessaryEngine"))
        return 1;
    QFile(data + "/Tessary/TessaryEngine")
        .setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    return windowtest::RunWindowTests<TestEndToEnd>(argc, argv);
}

#include "TestEndToEnd.moc"
