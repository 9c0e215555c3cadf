// The run's parts as the window wires them: the QR codes of both pages in
// direct and relay mode, the update check against a loopback server, the
// pages written at start, uploads arriving and files published to the phone.

#include "../qrcode/QRDecode.h"
#include "UpdateServer.h"
#include "WindowTestSupport.h"
#include "app/MainUnit.h"
#include "app/QRPaintBox.h"
#include "app/ShellFileView.h"
#include "app/TileButton.h"
#include "app/WindowEnvironment.h"
#include "platform/platform.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>

namespace {

QString HomeDir;

QString TempDir() {
    return HomeDir + "/tmp/";
}

using windowtest::Copies;
using windowtest::OnceReady;
using windowtest::ReadAll;
using windowtest::WriteBytes;

} // namespace

class TestRun : public QObject {
    Q_OBJECT

    QStringList messages;
    // Answers of DOpen in turn; nothing means the dialog itself is shown.
    std::vector<std::optional<QStringList>> picks;
    bool useRealDialog = false;
    // Runs as a message is shown, while the modal box would be up.
    std::function<void()> onMessage;
    std::unique_ptr<TMainForm> form;

    // Makes the window; it starts its run as events are processed.
    void Create(const std::string& updateBase) {
        messages.clear();
        TMainFormHooks hooks;
        hooks.UpdateBaseUrl = updateBase;
        hooks.ShowMessage = [this](const QString& text) {
            messages << text;
            if (onMessage)
                onMessage();
        };
        hooks.PickFolder = [](const QString&) { return std::nullopt; };
        hooks.OpenWithShell = [](const std::string&) {};
        if (!useRealDialog)
            hooks.PickFilesToPublish = [this]() -> std::optional<QStringList> {
                if (picks.empty())
                    return std::nullopt;
                auto pick = picks.front();
                picks.erase(picks.begin());
                return pick;
            };
        form = std::make_unique<TMainForm>(hooks);
    }
    void Start(const std::string& updateBase = "http://127.0.0.1:9") {
        Create(updateBase);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }
    template <typename T> T* Find(const char* name) {
        return windowtest::Child<T>(form.get(), name);
    }
    // What a phone's camera would read from a paint box.
    std::string Scan(const char* tile, const char* box) {
        QTest::mouseClick(Find<TTileButton>(tile), Qt::LeftButton);
        QTest::qWait(20);
        const QRDecodeResult result = DecodeQR(Find<TQRPaintBox>(box)->grab().toImage());
        return result.valid ? result.text : std::string("(nothing readable)");
    }

  private slots:
    void init() { QDir(HomeDir + "/data").removeRecursively(); }
    void cleanup() {
        form.reset();
        onMessage = nullptr;
    }

    void bothPagesShowTheirDirectUrls() {
        Start();
        QVERIFY(!form->UploadUrl.empty());
        QCOMPARE(form->UploadUrl.substr(0, 7), std::string("http://"));
        QCOMPARE(Scan("BPhoneToPC", "QRPaintBox1"), form->UploadUrl);
        QCOMPARE(Scan("BPCtoPhone", "QRPaintBox2"), form->DownloadUrl);
        // A repaint of the first page after the second was drawn encodes its own URL again.
        QCOMPARE(Scan("BPhoneToPC", "QRPaintBox1"), form->UploadUrl);
        // The address is this PC's, never loopback.
        QVERIFY(form->PrimaryAddress.rfind("127.", 0) != 0);
    }

    void pagesAreWrittenAtStart() {
        Start();
        const std::string key = form->PageKey;
        for (const std::string& page :
             {form->UploadPageDir + key + ".html", form->DownloadPageDir + key + ".html",
              form->DownloadPageDir + "filelist-" + key + ".html", form->WebRoot + "index.html",
              form->UploadPageDir + "index.html", form->UploadDir + "index.html",
              form->DownloadPageDir + "index.html", form->DownloadDir + "index.html"})
            QVERIFY2(QFileInfo::exists(QString::fromStdString(page)), page.c_str());
        QFile upload(QString::fromStdString(form->UploadPageDir + key + ".html"));
        QVERIFY(upload.open(QIODevice::ReadOnly));
        QVERIFY(!upload.readAll().contains("##PCNAME##"));
        const auto hidden = platform::GetAttributes(form->DownloadDir + "index.html");
        QVERIFY(hidden && (*hidden & platform::AttrHidden));
        QVERIFY(messages.isEmpty());
    }

    void aPageThatCannotBeWrittenEndsStartUpThere() {
        // A file where the upload pages' folder belongs, and an engine that
        // records that it ran.
        const QString blocked = HomeDir + "/data/Tessary/wdoc/u";
        WriteBytes(blocked, "");
        const QString engine = HomeDir + "/data/Tessary/TessaryEngine";
        windowtest::WriteRecorder(engine);
        // An update service that would answer at once: a check that ran would
        // reach it within the wait below (a normal start asks in milliseconds).
        TUpdateServer server("[Main]\r\nstatus=0\r\n");
        Start(server.Base());
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages.first().contains(QString::fromStdString(form->PageKey)));
        // Both codes are drawn, but the poll, the engine and the update check
        // stay off.
        QVERIFY(!form->UploadUrl.empty());
        QVERIFY(!Find<QTimer>("FileCheckTimer")->isActive());
        QTest::qWait(1500);
        QCOMPARE(server.connections, 0);
        QVERIFY(!QFileInfo::exists(engine + ".args"));
        QVERIFY(form->UpdateDownload == nullptr);
        QVERIFY(form->isVisible());

        // Once the page can be written, the same start runs both.
        form.reset();
        QVERIFY(QFile::remove(blocked));
        Start(server.Base());
        QVERIFY(messages.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(engine + ".cwd"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(server.connections, 1, 10000);
    }

    void uploadsArriveInTheReceivingFolderAndShowThere() {
        // Complete at start: recorded, and left where it is.
        WriteBytes(HomeDir + "/data/Tessary/wdoc/u/ufiles/earlier.jpg", "earlier");
        Start();
        const QString receive = QString::fromStdString(form->ReceiveDir);
        WriteBytes(QString::fromStdString(form->UploadDir) + "IMG_0001.jpg", "first upload");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(receive + "IMG_0001.jpg"), 5000);
        QCOMPARE(ReadAll(receive + "IMG_0001.jpg"), QByteArray("first upload"));
        QVERIFY(!QFileInfo::exists(QString::fromStdString(form->UploadDir) + "IMG_0001.jpg"));
        auto* wb = Find<TShellFileView>("WB");
        QTRY_VERIFY_WITH_TIMEOUT(wb->ShownNames().contains("IMG_0001.jpg"), 5000);

        QTest::qWait(1500);
        QVERIFY(QFileInfo::exists(HomeDir + "/data/Tessary/wdoc/u/ufiles/earlier.jpg"));
        QVERIFY(!QFileInfo::exists(receive + "earlier.jpg"));
        QVERIFY(QFileInfo::exists(QString::fromStdString(form->UploadDir) + "index.html"));
    }

    void publishedFilesReplaceEachOtherAndGoAtExit() {
        const QString source = HomeDir + "/pictures/";
        WriteBytes(source + "a.jpg", "A");
        WriteBytes(source + "b.txt", "B");
        WriteBytes(source + "c d.pdf", "C");
        picks = {QStringList{source + "a.jpg"},
                 QStringList{source + "a.jpg", source + "b.txt", "  " + source + "c d.pdf "},
                 std::nullopt};
        Start();
        auto* wb2 = Find<TShellFileView>("WB2");
        auto* note = Find<QLabel>("LDownloadNote");
        QVERIFY(wb2->Folder().isEmpty());
        QVERIFY(note->text().isEmpty());
        const QString download = QString::fromStdString(form->DownloadDir);
        const QString fragment = QString::fromStdString(form->DownloadPageDir) + "filelist-" +
                                 QString::fromStdString(form->PageKey) + ".html";

        QTest::mouseClick(Find<TTileButton>("BDownloadFileSelectFiles"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(note->text(),
                                  QString("1 file was transferred to your phone.\n"
                                          "Refresh your phone browser if file does not appear"),
                                  10000);
        QCOMPARE(wb2->Folder(), download);
        QVERIFY(QFileInfo::exists(download + "a.jpg"));

        QTest::mouseClick(Find<TTileButton>("BDownloadFileSelectFiles"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(note->text(),
                                  QString("3 files were transferred to your phone.\n"
                                          "Refresh your phone browser if files do not appear"),
                                  10000);
        // The earlier copy went before the new ones came, so no "(1)".
        QCOMPARE(Copies(download), (QStringList{"a.jpg", "b.txt", "c d.pdf"}));
        QCOMPARE(ReadAll(download + "c d.pdf"), QByteArray("C"));
        const QByteArray list = ReadAll(fragment);
        QCOMPARE(list.count("<table"), 3);
        QVERIFY(list.indexOf("a.jpg") < list.indexOf("b.txt"));
        QVERIFY(list.contains("dfiles/c%20d.pdf"));
        QTRY_COMPARE_WITH_TIMEOUT(wb2->ShownNames().size(), 3, 5000);

        // Cancelling the dialog changes nothing.
        QTest::mouseClick(Find<TTileButton>("BDownloadFileSelectFiles"), Qt::LeftButton);
        QVERIFY(note->text().startsWith("3 files were"));
        QCOMPARE(Copies(download).size(), 3);

        const QString uploadPage =
            QString::fromStdString(form->UploadPageDir + form->PageKey) + ".html";
        const QString downloadPage =
            QString::fromStdString(form->DownloadPageDir + form->PageKey) + ".html";
        QVERIFY(QFileInfo::exists(uploadPage));
        form.reset();
        QCOMPARE(Copies(download), QStringList{});
        QVERIFY(!QFileInfo::exists(fragment));
        QVERIFY(!QFileInfo::exists(uploadPage));
        QVERIFY(!QFileInfo::exists(downloadPage));
        // The default pages stay.
        QVERIFY(QFileInfo::exists(download + "index.html"));
        // The chosen files themselves are untouched.
        QCOMPARE(ReadAll(source + "a.jpg"), QByteArray("A"));
    }

    void theRealDialogPublishesATypedPath() {
        const QString source = HomeDir + "/pictures/";
        WriteBytes(source + "typed.txt", "typed by hand");
        useRealDialog = true;
        Start();
        bool typed = false;
        QTimer::singleShot(200, this, [&] {
            auto* dialog = form->findChild<QFileDialog*>("DOpen");
            auto* edit = dialog ? dialog->findChild<QLineEdit*>("fileNameEdit") : nullptr;
            if (!dialog || !edit || !dialog->isVisible())
                return;
            QTest::keyClicks(edit, source + "typed.txt");
            QTest::keyClick(edit, Qt::Key_Return);
            typed = true;
        });
        QTest::mouseClick(Find<TTileButton>("BDownloadFileSelectFiles"), Qt::LeftButton);
        QVERIFY(typed);
        QTRY_VERIFY_WITH_TIMEOUT(Find<QLabel>("LDownloadNote")->text().startsWith("1 file was"),
                                 10000);
        QCOMPARE(ReadAll(QString::fromStdString(form->DownloadDir) + "typed.txt"),
                 QByteArray("typed by hand"));
    }

    void relayModeReplacesOnlyTheUrls() {
        Start();
        auto* poll = Find<QTimer>("FileCheckTimer");
        QVERIFY(poll->isActive());
        form->RelayUrlTemplate = "https://192.0.2.7/s?k=1&m=#updown#&v=#version#";
        form->ApplyConnectionMode({}, 2);
        QCOMPARE(form->UploadUrl, std::string("http://192.0.2.7/s?k=1&m=u&v=3"));
        QCOMPARE(form->DownloadUrl, std::string("http://192.0.2.7/s?k=1&m=d&v=3"));
        QCOMPARE(Scan("BPhoneToPC", "QRPaintBox1"), form->UploadUrl);
        QCOMPARE(Scan("BPCtoPhone", "QRPaintBox2"), form->DownloadUrl);
        QVERIFY(poll->isActive());
    }

    void updateReplyShowsItsMessageAndSwitchesToRelay() {
        TUpdateServer server("[Main]\r\nsecureserver=https://192.0.2.9/relay\r\nu=m=#updown#\r\n"
                             "status= 1 \r\n[Version]\r\nsoftware=Tessary\r\nnewversion=yes\r\n"
                             "versionmsg=Tessary 4.0 is out\r\nfeature=no\r\n");
        Start(server.Base());
        QTRY_COMPARE_WITH_TIMEOUT(form->UploadUrl, std::string("http://192.0.2.9/relay?m=u"),
                                  10000);
        QCOMPARE(form->DownloadUrl, std::string("http://192.0.2.9/relay?m=d"));
        QCOMPARE(messages, QStringList{"Tessary 4.0 is out"});
        QVERIFY(form->isVisible());
        QVERIFY(form->UpdateDownload == nullptr);

        // The request carries this run's values in their order.
        QCOMPARE(server.targets.size(), 1);
        QStringList hex;
        for (int slot = 0; slot < form->AddressCount; ++slot) {
            QStringList parts = QString::fromStdString(form->AddressList[slot]).split('.');
            QString text;
            for (const QString& part : parts)
                text += QString("%1").arg(part.toInt(), 2, 16, QChar('0'));
            if (parts.size() == 4)
                hex << text;
        }
        // A build made here carries no vendor signature: "n".
        const QString expected =
            QString("/checkupdate/?i=%1&v=310-0&sessionid=%2&b=191006&u=%3&s=n")
                .arg(hex.join('-'), QString::fromStdString(form->RandomSessionID).toLower(),
                     QString::fromStdString(form->PageKey));
        QCOMPARE(server.targets.first(), expected);
        // The reply file is gone.
        QVERIFY(QDir(TempDir()).entryList({"*.dat"}, QDir::Files).isEmpty());
    }

    void aClosingReplyShowsItsMessageClosesAndStillSwitchesToRelay() {
        TUpdateServer server("[Main]\r\nsecureserver=https://192.0.2.9/relay\r\nu=m=#updown#\r\n"
                             "status=1\r\n[Version]\r\nsoftware=Tessary\r\nnewversion=yes\r\n"
                             "versionmsg=Tessary 4.0 is out\r\nfeature=yes\r\n");
        Create(server.Base());
        // The message box is modal: the window is still up, in direct mode,
        // while it shows.
        bool visibleWhileShown = false;
        std::string uploadUrlWhileShown;
        onMessage = [&] {
            visibleWhileShown = form->isVisible();
            uploadUrlWhileShown = form->UploadUrl;
        };
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        const std::string directUpload = form->UploadUrl;
        QVERIFY(directUpload.find(":8016/u/") != std::string::npos);
        QTRY_VERIFY_WITH_TIMEOUT(!form->isVisible(), 10000);
        QCOMPARE(messages, QStringList{"Tessary 4.0 is out"});
        QVERIFY(visibleWhileShown);
        QCOMPARE(uploadUrlWhileShown, directUpload);
        // Relay mode was switched on after the close request, in the same check.
        QTRY_COMPARE_WITH_TIMEOUT(form->UploadUrl, std::string("http://192.0.2.9/relay?m=u"), 5000);
        QCOMPARE(form->DownloadUrl, std::string("http://192.0.2.9/relay?m=d"));
        QTRY_VERIFY_WITH_TIMEOUT(form->UpdateDownload == nullptr, 5000);
        QCOMPARE(server.targets.size(), 1);
        QVERIFY(!Find<QTimer>("FileCheckTimer")->isActive());
        // No window is left up, which is what ends the program's event loop.
        QVERIFY(QGuiApplication::quitOnLastWindowClosed());
        for (const QWidget* window : QApplication::topLevelWidgets())
            QVERIFY2(!window->isVisible(), qPrintable(window->objectName()));
        const QString uploadPage =
            QString::fromStdString(form->UploadPageDir + form->PageKey) + ".html";
        QVERIFY(QFileInfo::exists(uploadPage));
        form.reset();
        QVERIFY(!QFileInfo::exists(uploadPage));
        QVERIFY(QDir(TempDir()).entryList({"*.dat"}, QDir::Files).isEmpty());
    }

    void closeWhileTheCheckWaitsCancelsIt() {
        TUpdateServer server({}); // never answers
        Create(server.Base());
        // The check waits inside a timer handler, so what happens meanwhile is
        // seen from another timer that runs within its wait.
        bool sawWaiting = false;
        bool liveWhileWaiting = false;
        QTimer probe;
        OnceReady(
            probe, [&] { return form->UpdateDownload != nullptr && !server.targets.isEmpty(); },
            [&] {
                sawWaiting = true;
                QTest::mouseClick(Find<TTileButton>("BPCtoPhone"), Qt::LeftButton);
                liveWhileWaiting = Find<TTileButton>("BPCtoPhone")->isChecked();
                form->close();
            });
        probe.start();
        form->show();
        QTRY_VERIFY_WITH_TIMEOUT(sawWaiting && form->UpdateDownload == nullptr, 10000);
        QVERIFY(liveWhileWaiting);
        QVERIFY(!form->isVisible());
        QVERIFY(!Find<QTimer>("FileCheckTimer")->isActive());
        QCOMPARE(server.targets.size(), 1);
        // Nothing was read, nothing is left behind, and the window goes cleanly.
        QVERIFY(messages.isEmpty());
        form.reset();
        QVERIFY(QDir(TempDir()).entryList({"*.dat"}, QDir::Files).isEmpty());
    }
};

TESSARY_WINDOW_TEST_MAIN(TestRun, HomeDir)

#include "TestRun.moc"
