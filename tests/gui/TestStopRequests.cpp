// The window asked to stop by the system (a real signal to this process),
// also while its update check waits, and what the person at the desk sees:
// message boxes that show text as it is, links that open once.

#include "UpdateServer.h"
#include "WindowTestSupport.h"
#include "app/MainUnit.h"
#include "app/StopRequests.h"
#include "app/WindowEnvironment.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <map>
#include <memory>
#include <unistd.h>

namespace {

QString HomeDir;

} // namespace

class TestStopRequests : public QObject {
    Q_OBJECT

    std::unique_ptr<TMainForm> form;
    QStringList messages;
    QStringList opened;

    // With useRealMessageBox the window shows its own message boxes.
    void Create(const std::string& updateBase, bool useRealMessageBox = false) {
        TMainFormHooks hooks;
        hooks.UpdateBaseUrl = updateBase;
        if (!useRealMessageBox)
            hooks.ShowMessage = [this](const QString& text) { messages << text; };
        hooks.PickFolder = [](const QString&) { return std::nullopt; };
        hooks.OpenWithShell = [this](const std::string& target) {
            opened << QString::fromStdString(target);
        };
        hooks.PickFilesToPublish = [] { return std::optional<QStringList>(); };
        form = std::make_unique<TMainForm>(hooks);
    }
    template <typename T> T* Find(const char* name) {
        return windowtest::Child<T>(form.get(), name);
    }

  private slots:
    void init() {
        QDir(HomeDir + "/data").removeRecursively();
        messages.clear();
        opened.clear();
    }
    void cleanup() { form.reset(); }

    void aStopSignalClosesTheWindowAsTheCloseTileDoes() {
        const TStopRequests stopRequests(*qApp);
        QVERIFY(stopRequests.IsWatching());
        Create("http://127.0.0.1:9");
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        auto* fileCheck = Find<QTimer>("FileCheckTimer");
        QVERIFY(fileCheck->isActive());

        QCOMPARE(::kill(::getpid(), SIGTERM), 0);
        // This process lives on; the window closes through its close query.
        QTRY_VERIFY_WITH_TIMEOUT(!form->isVisible(), 3000);
        QVERIFY(!fileCheck->isActive());
        QVERIFY(!Find<QTimer>("DownCheckTimer")->isActive());
    }

    void aStopSignalEndsTheUpdateChecksWait() {
        const TStopRequests stopRequests(*qApp);
        TUpdateServer server({}); // never answers
        Create(server.Base());
        // The check waits inside a timer handler: the signal is sent from
        // another timer that runs within its wait.
        bool sent = false;
        QTimer probe;
        windowtest::OnceReady(
            probe, [&] { return form->UpdateDownload != nullptr && !server.targets.isEmpty(); },
            [&] { sent = ::kill(::getpid(), SIGTERM) == 0; });
        probe.start();
        form->show();
        QTRY_VERIFY_WITH_TIMEOUT(sent, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(form->UpdateDownload == nullptr, 3000);
        QVERIFY(!form->isVisible());
        QVERIFY(!Find<QTimer>("FileCheckTimer")->isActive());
        QVERIFY(messages.isEmpty());
    }

    void aMessageFromTheUpdateServerIsShownAsPlainText() {
        const QString text =
            QStringLiteral("<b>Tessary 4.0</b> is out: <a href=\"http://192.0.2.1/\">get it</a>");
        TUpdateServer server("[Version]\r\nsoftware=Tessary\r\nnewversion=yes\r\nversionmsg=" +
                             text.toUtf8() + "\r\nfeature=no\r\n");
        // The box is modal: it is read and closed from a timer.
        QString shownText;
        int shownFormat = -1;
        QTimer reader;
        reader.setInterval(20);
        connect(&reader, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            reader.stop();
            shownText = box->text();
            shownFormat = box->textFormat();
            box->button(QMessageBox::Ok)->click();
        });
        reader.start();
        Create(server.Base(), true);
        form->show();
        QTRY_VERIFY_WITH_TIMEOUT(shownFormat != -1, 10000);
        QCOMPARE(shownFormat, int(Qt::PlainText));
        QCOMPARE(shownText, text);
        QTRY_VERIFY_WITH_TIMEOUT(form->UpdateDownload == nullptr, 5000);
        QVERIFY(form->isVisible());
    }

    void aDoubleClickOnALinkOpensTheBrowserOnce() {
        Create("http://127.0.0.1:9");
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        for (const char* name : {"LSupport", "LWebsite"}) {
            opened.clear();
            auto* link = Find<QLabel>(name);
            // Through the window, as the platform delivers a real double-click.
            const QPoint at = link->mapTo(form.get(), link->rect().center());
            QTest::mouseDClick(form->windowHandle(), Qt::LeftButton, {}, at);
            QTest::qWait(50);
            QCOMPARE(opened.size(), 1);
            QVERIFY(opened.front().startsWith("https://www.tessary.example/r/?rid="));
            // A single click after it still opens.
            QTest::mouseClick(form->windowHandle(), Qt::LeftButton, {}, at);
            QCOMPARE(opened.size(), 2);
        }
    }
};

TESSARY_WINDOW_TEST_MAIN(TestStopRequests, HomeDir)

#include "TestStopRequests.moc"
