// The main window under the offscreen platform: start-up state, navigation,
// the close and shutdown steps, the receiving folder, engine control, the
// layout and the file views.

#include "UpdateServer.h"
#include "WindowTestSupport.h"
#include "app/BevelPanel.h"
#include "app/MainUnit.h"
#include "app/PageControl.h"
#include "app/PictureFileDialog.h"
#include "app/QRPaintBox.h"
#include "app/ShellFileView.h"
#include "app/ThumbnailModel.h"
#include "app/TileButton.h"
#include "app/WindowEnvironment.h"

#include <QApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMutex>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <cstdio>
#include <memory>
#include <sys/xattr.h>

namespace {

// The temporary home the known folders point at, set before anything runs.
QString HomeDir;
QString DocumentsDir() {
    return HomeDir + "/Dokumente/";
}
QString DataDir() {
    return HomeDir + "/data/";
}

// What the window asked of the person at the desk.
struct TDesk {
    QStringList messages;
    QStringList folderCaptions;
    // Answers of the folder picker in turn; an empty one cancels.
    QStringList folderAnswers;
    QStringList opened;

    // Nothing leaves the machine: by default the update check asks a closed
    // loopback port.
    TMainFormHooks Hooks(const std::string& updateBase = "http://127.0.0.1:9") {
        TMainFormHooks hooks;
        hooks.UpdateBaseUrl = updateBase;
        hooks.ShowMessage = [this](const QString& text) { messages << text; };
        hooks.PickFolder = [this](const QString& caption) -> std::optional<QString> {
            folderCaptions << caption;
            const QString answer = folderAnswers.isEmpty() ? QString() : folderAnswers.takeFirst();
            if (answer.isEmpty())
                return std::nullopt;
            return answer;
        };
        hooks.OpenWithShell = [this](const std::string& target) {
            opened << QString::fromStdString(target);
        };
        return hooks;
    }
};

// Points the documents folder elsewhere, as the desktop's user-dirs.dirs does.
void WriteUserDirs(const QString& documents) {
    QFile dirs(HomeDir + "/config/user-dirs.dirs");
    QVERIFY(dirs.open(QIODevice::WriteOnly | QIODevice::Truncate));
    dirs.write("XDG_DOCUMENTS_DIR=\"" + documents.toUtf8() + "\"\n");
}

QString Today() {
    return QDate::currentDate().toString("yyyyMMdd");
}

QRect GeometryIn(const QWidget* widget, const QWidget* ancestor) {
    return QRect(widget->mapTo(ancestor, QPoint(0, 0)), widget->size());
}

// JPEG keeps colours only approximately.
bool NearPhotoColour(const QColor& c) {
    return std::abs(c.red() - 30) <= 6 && std::abs(c.green() - 140) <= 6 &&
           std::abs(c.blue() - 200) <= 6 && c.alpha() == 255;
}

void WriteJpeg(const QString& path, QSize size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(30, 140, 200));
    QVERIFY(image.save(path, "JPEG", 80));
}

} // namespace

class TestMainForm : public QObject {
    Q_OBJECT

    std::unique_ptr<TDesk> desk;
    std::unique_ptr<TMainForm> form;

    void Start(const std::string& updateBase = "http://127.0.0.1:9") {
        desk = std::make_unique<TDesk>();
        form = std::make_unique<TMainForm>(desk->Hooks(updateBase));
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }
    template <typename T> T* Find(const char* name) {
        return windowtest::Child<T>(form.get(), name);
    }
    std::vector<TTileButton*> NavTiles() {
        return {Find<TTileButton>("BWelcome"), Find<TTileButton>("BPhoneToPC"),
                Find<TTileButton>("BPCtoPhone")};
    }
    int DownTiles() {
        int down = 0;
        for (TTileButton* tile : NavTiles())
            down += tile->isChecked();
        return down;
    }
    int ShownPage() { return Find<TPageControl>("MainPC")->ActivePageIndex(); }

  private slots:
    void init() {
        QDir(DataDir()).removeRecursively();
        QDir(DocumentsDir()).removeRecursively();
    }
    void cleanup() {
        form.reset();
        desk.reset();
    }

    void startupState() {
        TUpdateServer updateService("[Main]\r\nstatus=0\r\n");
        Start(updateService.Base());
        QCOMPARE(form->windowTitle(), QString("Tessary v3.10 build 191006"));
        QCOMPARE(ShownPage(), TMainForm::WelcomePage);
        QVERIFY(Find<TTileButton>("BWelcome")->isChecked());
        QCOMPARE(DownTiles(), 1);
        QCOMPARE(form->VersionDigits, std::string("310"));

        const QString receive = DocumentsDir() + "Tessary/" + Today() + "/";
        QCOMPARE(Find<QLineEdit>("EPath")->text(), receive);
        QCOMPARE(QString::fromStdString(form->ReceiveDir), receive);
        QVERIFY(QFileInfo(receive).isDir());
        QCOMPARE(Find<TShellFileView>("WB")->Folder(), receive);
        // The download view waits for its folder.
        QVERIFY(Find<TShellFileView>("WB2")->Folder().isEmpty());

        const QString work = DataDir() + "Tessary/";
        QCOMPARE(QString::fromStdString(form->WorkDir), work);
        for (const char* sub : {"wdoc/", "wdoc/u/", "wdoc/u/ufiles/", "wdoc/d/", "wdoc/d/dfiles/"})
            QVERIFY2(QFileInfo(work + sub).isDir(), sub);
        QCOMPARE(QString::fromStdString(form->ExeDir),
                 QCoreApplication::applicationDirPath() + "/");
        QCOMPARE(QString::fromStdString(form->TemplateDir),
                 QCoreApplication::applicationDirPath() + "/pdata/");
        QCOMPARE(form->PageKey.size(), std::size_t(6));
        for (char c : form->PageKey)
            QVERIFY(c >= 'a' && c <= 'z');

        // The update check is armed: it asks the service once, soon after the
        // loop runs, and not again.
        QCOMPARE(Find<QTimer>("CheckUpdateTM")->interval(), 3);
        QTRY_COMPARE_WITH_TIMEOUT(updateService.targets.size(), 1, 5000);
        QVERIFY(updateService.targets.first().startsWith("/checkupdate/?i="));
        QTRY_VERIFY_WITH_TIMEOUT(form->UpdateDownload == nullptr, 5000);
        QTest::qWait(200);
        QCOMPARE(updateService.connections, 1);
        // The direct-mode URL step has started the upload poll.
        QVERIFY(Find<QTimer>("FileCheckTimer")->isActive());
        QCOMPARE(Find<QTimer>("FileCheckTimer")->interval(), 1000);
        const std::string host = "http://" + form->PrimaryAddress + ":8016/";
        QCOMPARE(form->UploadUrl, host + "u/" + form->PageKey + ".html");
        QCOMPARE(form->DownloadUrl, host + "d/" + form->PageKey + ".html");
        QVERIFY(!Find<QTimer>("DownCheckTimer")->isActive());
        QCOMPARE(Find<QTimer>("DownCheckTimer")->interval(), 3000);
        QVERIFY(desk->messages.isEmpty());
    }

    void startupKeepsExistingReceivingFolder() {
        const QString receive = DocumentsDir() + "Tessary/" + Today() + "/";
        QDir().mkpath(receive);
        QFile old(receive + "earlier.txt");
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.close();
        Start();
        QCOMPARE(Find<QLineEdit>("EPath")->text(), receive);
        QTRY_VERIFY(Find<TShellFileView>("WB")->ShownNames().contains("earlier.txt"));
        QVERIFY(desk->messages.isEmpty());
    }

    void startupWithUncreatableReceivingFolder() {
        // The documents folder lies below a plain file, so nothing can be made there.
        QFile blocker(HomeDir + "/not-a-folder");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        WriteUserDirs("$HOME/not-a-folder/Docs");
        Start();
        WriteUserDirs("$HOME/Dokumente");

        const QString receive = HomeDir + "/not-a-folder/Docs/Tessary/" + Today() + "/";
        QCOMPARE(desk->messages,
                 QStringList{"Sorry, fail to create destination folder: \r\n" + receive});
        QCOMPARE(Find<QLineEdit>("EPath")->text(), receive);
        QVERIFY(Find<TShellFileView>("WB")->Folder().isEmpty());
        // Start-up went on to the end.
        QCOMPARE(ShownPage(), TMainForm::WelcomePage);
        QCOMPARE(DownTiles(), 1);
        QVERIFY(QFileInfo(DataDir() + "Tessary/wdoc/u/ufiles").isDir());
    }

    void navigation() {
        Start();
        struct Step {
            const char* tile;
            int page;
        };
        // The page shown twice in a row keeps its tile down.
        for (Step step :
             {Step{"BPhoneToPC", TMainForm::PhoneToPCPage},
              Step{"BPhoneToPC", TMainForm::PhoneToPCPage},
              Step{"BPCtoPhone", TMainForm::PCToPhonePage},
              Step{"BWelcome", TMainForm::WelcomePage}, Step{"BWelcome", TMainForm::WelcomePage},
              Step{"BPCtoPhone", TMainForm::PCToPhonePage}}) {
            auto* tile = Find<TTileButton>(step.tile);
            QTest::mouseClick(tile, Qt::LeftButton);
            QCOMPARE(ShownPage(), step.page);
            QVERIFY2(tile->isChecked(), step.tile);
            QCOMPARE(DownTiles(), 1);
        }
        // Only the tiles change the page.
        QCOMPARE(Find<TTileButton>("BWelcome")->Tag(), 1);
        QCOMPARE(Find<TTileButton>("BPhoneToPC")->Tag(), 2);
        QCOMPARE(Find<TTileButton>("BPCtoPhone")->Tag(), 3);
    }

    void missingEngineChangesNothingVisible() {
        Start();
        QVERIFY(!QFileInfo::exists(QString::fromStdString(form->WorkDir) + "TessaryEngine"));
        QVERIFY(desk->messages.isEmpty());
        QTRY_VERIFY(!Find<QTimer>("CheckUpdateTM")->isActive());
        const QImage without = form->grab().toImage();
        form.reset();

        windowtest::WriteRecorder(DataDir() + "Tessary/TessaryEngine");
        Start();
        QTRY_VERIFY(!Find<QTimer>("CheckUpdateTM")->isActive());
        const QImage with = form->grab().toImage();
        QCOMPARE(with, without);
        QVERIFY(desk->messages.isEmpty());
    }

    void engineStartsInWorkDirWithPageKey() {
        const QString engine = DataDir() + "Tessary/TessaryEngine";
        windowtest::WriteRecorder(engine);
        Start();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(engine + ".cwd"), 10000);
        QCOMPARE(windowtest::ReadLines(engine + ".cwd"), QStringList{DataDir() + "Tessary"});
        QCOMPARE(windowtest::ReadLines(engine + ".args"),
                 (QStringList{QString::fromStdString(form->PageKey), "./wdoc"}));
    }

    void closeQueryStopsTimers() {
        Start();
        auto* fileCheck = Find<QTimer>("FileCheckTimer");
        auto* downCheck = Find<QTimer>("DownCheckTimer");
        fileCheck->start();
        downCheck->start();
        QTest::mouseClick(Find<TTileButton>("BClose"), Qt::LeftButton);
        QVERIFY(!fileCheck->isActive());
        QVERIFY(!downCheck->isActive());
        QVERIFY(!form->isVisible());
    }

    void closeFromTitleBarRunsCloseQuery() {
        Start();
        auto* fileCheck = Find<QTimer>("FileCheckTimer");
        fileCheck->start();
        QVERIFY(form->close());
        QVERIFY(!fileCheck->isActive());
    }

    void stopEngineWithoutKillTool() {
        Start();
        QVERIFY(!QFileInfo::exists(QString::fromStdString(form->ExeDir) + "pdata/pskl"));
        auto* fileCheck = Find<QTimer>("FileCheckTimer");
        fileCheck->start();
        QVERIFY(!form->StopEngine());
        QVERIFY(!fileCheck->isActive());
        QVERIFY(desk->messages.isEmpty());
    }

    void stopEngineRunsKillTool() {
        const QString pdata = QCoreApplication::applicationDirPath() + "/pdata";
        const QString tool = pdata + "/pskl";
        windowtest::WriteRecorder(tool);
        Start();
        form.reset(); // destruction stops the engine
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(tool + ".cwd"), 10000);
        const QStringList cwd = windowtest::ReadLines(tool + ".cwd");
        const QStringList args = windowtest::ReadLines(tool + ".args");
        QDir(pdata).removeRecursively();
        QCOMPARE(cwd, QStringList{pdata});
        QCOMPARE(args, (QStringList{"TessaryEngine", "c"}));
    }

    void receivingFolderThatCannotBeCreated() {
        Start();
        auto* wb = Find<TShellFileView>("WB");
        const QString before = wb->Folder();
        // A plain file stands where a parent folder would have to be.
        QFile blocker(HomeDir + "/blocker");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString wanted = HomeDir + "/blocker/inbox";
        desk->folderAnswers << wanted;
        QTest::mouseClick(Find<TTileButton>("BBrowse"), Qt::LeftButton);

        QCOMPARE(desk->folderCaptions,
                 QStringList{"Select a destination folder to save the transferred files"});
        QCOMPARE(desk->messages,
                 QStringList{"Sorry, fail to create destination folder: \r\n" + wanted + "/"});
        QCOMPARE(QString::fromStdString(form->ReceiveDir), wanted + "/");
        QCOMPARE(Find<QLineEdit>("EPath")->text(), wanted + "/");
        QCOMPARE(wb->Folder(), before);
    }

    void changingTheReceivingFolder() {
        Start();
        auto* wb = Find<TShellFileView>("WB");
        auto* path = Find<QLineEdit>("EPath");
        const QString before = path->text();

        desk->folderAnswers << QString(); // cancelled
        QTest::mouseClick(Find<TTileButton>("BBrowse"), Qt::LeftButton);
        QCOMPARE(path->text(), before);
        QCOMPARE(QString::fromStdString(form->ReceiveDir), before);
        QCOMPARE(wb->Folder(), before);

        const QString chosen = HomeDir + "/Pictures from phone";
        QDir().mkpath(chosen);
        desk->folderAnswers << chosen;
        QTest::mouseClick(Find<TTileButton>("BBrowse"), Qt::LeftButton);
        QCOMPARE(path->text(), chosen + "/");
        QCOMPARE(QString::fromStdString(form->ReceiveDir), chosen + "/");
        QCOMPARE(wb->Folder(), chosen + "/");

        // The root keeps its single delimiter.
        desk->folderAnswers << QString("/");
        QTest::mouseClick(Find<TTileButton>("BBrowse"), Qt::LeftButton);
        QCOMPARE(path->text(), QString("/"));
        QVERIFY(desk->messages.isEmpty());
    }

    void shellActions() {
        Start();
        QTest::mouseClick(Find<TTileButton>("BPhoneToPC"), Qt::LeftButton);
        QTest::mouseClick(Find<TTileButton>("BOpenFolder"), Qt::LeftButton);
        QTest::mouseClick(Find<QLabel>("LWebsite"), Qt::LeftButton);
        QTest::mouseClick(Find<QLabel>("LSupport"), Qt::LeftButton);
        QCOMPARE(desk->opened,
                 (QStringList{Find<QLineEdit>("EPath")->text(),
                              "https://www.tessary.example/r/?rid=website&vid=3.10&bid=191006",
                              "https://www.tessary.example/r/?rid=support&vid=3.10&bid=191006"}));
        QCOMPARE(Find<QLabel>("LWebsite")->cursor().shape(), Qt::PointingHandCursor);

        QTest::mouseDClick(Find<QLabel>("Label8"), Qt::LeftButton);
        QCOMPARE(desk->messages.size(), 1);
        QVERIFY(desk->messages.front().startsWith("Tessary v3.10 build 191006"));
    }

    // Without a mouse: Tab in reading order over the page shown, Enter and
    // Space on tiles and links, the QR code's menu on its keys, a received
    // file opened from its view.
    void keyboardReachesEveryControl() {
        Start();
        QApplication::setActiveWindow(form.get());
        auto focused = [] { return QApplication::focusWidget(); };
        auto tabRound = [&](const char* from) {
            // A menu that was open took the activation with it.
            QApplication::setActiveWindow(form.get());
            Find<QWidget>(from)->setFocus(Qt::TabFocusReason);
            QStringList names;
            do {
                if (!focused())
                    return names << "(nothing focused)";
                names << focused()->objectName();
                QTest::keyClick(focused(), Qt::Key_Tab);
            } while (focused()->objectName() != from && names.size() < 20);
            return names;
        };
        const QStringList top{"BWelcome", "BPhoneToPC", "BPCtoPhone"};
        const QStringList bottom{"BClose", "LSupport", "LWebsite"};
        QCOMPARE(tabRound("BWelcome"), (top + QStringList{"Label8"} + bottom));

        QTest::keyClick(Find<QWidget>("BPhoneToPC"), Qt::Key_Return);
        QCOMPARE(ShownPage(), TMainForm::PhoneToPCPage);
        QCOMPARE(tabRound("BWelcome"),
                 (top + QStringList{"QRPaintBox1", "WB", "BOpenFolder", "BBrowse"} + bottom));

        auto* qr = Find<TQRPaintBox>("QRPaintBox1");
        for (auto [key, modifiers] :
             {std::pair{Qt::Key_F10, Qt::ShiftModifier}, std::pair{Qt::Key_Menu, Qt::NoModifier}}) {
            qr->setFocus(Qt::TabFocusReason);
            QVERIFY(Find<TBevelPanel>("PanelQR1")->ShowsFocusFrame());
            QTest::keyClick(qr, key, modifiers);
            QMenu* menu = form->findChild<QMenu*>("QRCodeMenu");
            QVERIFY(menu && menu->isVisible());
            QVERIFY(qr->rect().contains(qr->mapFromGlobal(menu->pos())));
            delete menu;
        }

        const QString received = QString::fromStdString(form->ReceiveDir) + "by keyboard.txt";
        QFile file(received);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        auto* wb = Find<TShellFileView>("WB");
        QTRY_COMPARE_WITH_TIMEOUT(wb->ShownNames(), QStringList{"by keyboard.txt"}, 10000);
        wb->setFocus(Qt::TabFocusReason);
        QTest::keyClick(wb, Qt::Key_Right);
        QTest::keyClick(wb, Qt::Key_Return);
        QTest::keyClick(Find<QWidget>("BOpenFolder"), Qt::Key_Space);
        QTest::keyClick(Find<QWidget>("LSupport"), Qt::Key_Return);
        QCOMPARE(desk->opened,
                 (QStringList{received, Find<QLineEdit>("EPath")->text(),
                              "https://www.tessary.example/r/?rid=support&vid=3.10&bid=191006"}));

        QTest::keyClick(Find<QWidget>("BPCtoPhone"), Qt::Key_Space);
        QCOMPARE(ShownPage(), TMainForm::PCToPhonePage);
        QCOMPARE(tabRound("BWelcome"),
                 (top + QStringList{"QRPaintBox2", "BDownloadFileSelectFiles", "WB2"} + bottom));
        QTest::keyClick(Find<QWidget>("BWelcome"), Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(ShownPage(), TMainForm::WelcomePage);
        QTest::keyClick(Find<QWidget>("Label8"), Qt::Key_Return);
        QCOMPARE(desk->messages.size(), 1);
        QTest::keyClick(Find<QWidget>("BClose"), Qt::Key_Return);
        QVERIFY(!form->isVisible());
    }

    void geometry() {
        Start();
        QWidget* w = form.get();
        QCOMPARE(w->size(), QSize(1324, 832));
        QCOMPARE(w->minimumSize(), QSize(1324, 832));
        QCOMPARE(w->maximumSize(), QSize(1324, 832));
        QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(w->windowFlags() & Qt::WindowMinimizeButtonHint);

        struct Place {
            const char* name;
            const char* parent;
            QRect rect;
        };
        for (const Place& p : {
                 Place{"PTop", "MainForm", {0, 0, 1324, 145}},
                 Place{"BWelcome", "PTop", {61, 79, 180, 50}},
                 Place{"BPhoneToPC", "PTop", {256, 79, 180, 50}},
                 Place{"BPCtoPhone", "PTop", {447, 79, 180, 50}},
                 Place{"MainPC", "MainForm", {57, 167, 1209, 573}},
                 Place{"PBottom", "MainForm", {0, 763, 1324, 69}},
                 Place{"BClose", "PBottom", {61, 20, 120, 37}},
                 Place{"PanelQR1", "PanelPhoneToPC", {17, 25, 385, 385}},
                 Place{"QRPaintBox1", "PanelQR1", {16, 16, 350, 350}},
                 Place{"WB", "PanelPhoneToPC", {425, 96, 752, 314}},
                 Place{"Panel2", "PanelPhoneToPC", {425, 432, 751, 81}},
                 Place{"EPath", "Panel2", {16, 44, 593, 27}},
                 Place{"BOpenFolder", "Panel2", {588, 41, 72, 30}},
                 Place{"BBrowse", "Panel2", {666, 41, 72, 30}},
                 Place{"BDownloadFileSelectFiles", "PanelPCtoPhone", {560, 48, 465, 50}},
                 Place{"LDownloadNote", "PanelPCtoPhone", {456, 128, 681, 59}},
                 Place{"WB2", "PanelPCtoPhone", {425, 193, 752, 331}},
                 Place{"PanelQR2", "PanelPCtoPhone", {17, 139, 385, 385}},
                 Place{"QRPaintBox2", "PanelQR2", {16, 16, 350, 350}},
                 Place{"Image1", "PWelcome", {298, 31, 566, 384}},
             }) {
            QWidget* parent = QString(p.parent) == "MainForm" ? w : Find<QWidget>(p.parent);
            QCOMPARE(GeometryIn(Find<QWidget>(p.name), parent), p.rect);
        }
        struct Caption {
            const char* name;
            const char* text;
        };
        for (const Caption& c : {
                 Caption{"BWelcome", "Welcome"},
                 Caption{"BPhoneToPC", "Phone to PC"},
                 Caption{"BPCtoPhone", "PC to Phone"},
                 Caption{"BClose", "Close"},
                 Caption{"BOpenFolder", "Open"},
                 Caption{"BBrowse", "Change"},
                 Caption{"BDownloadFileSelectFiles",
                         "Step 2 - Click Here to Select Files to Transfer to Phone"},
             })
            QCOMPARE(Find<TTileButton>(c.name)->text(), QString(c.text));
        for (const Caption& c : {
                 Caption{"Label8", "Tessary"},
                 Caption{"LSupport", "Technical Support"},
                 Caption{"Label5", "Tessary File Receiving Folder: "},
                 Caption{"Label4", "Step 1 - Scan the QR code on your phone "},
                 Caption{"LDownloadNote", ""},
             })
            QCOMPARE(Find<QLabel>(c.name)->text(), QString(c.text));
        QCOMPARE(Find<QLabel>("Label8")->pos(), QPoint(532, 421));
        QCOMPARE(Find<QLabel>("LSupport")->pos(), QPoint(1077, 41));
        auto* website = Find<QLabel>("LWebsite");
        QCOMPARE(website->y(), 41);
        QCOMPARE(website->x() + website->width(), 1300);
        QVERIFY(website->x() > Find<QLabel>("LSupport")->geometry().right());

        // Every page covers the whole page control: no tab strip, no frame.
        auto* pages = Find<TPageControl>("MainPC");
        for (int i = 0; i < pages->count(); ++i) {
            pages->SetActivePageIndex(i);
            QCOMPARE(pages->widget(i)->geometry(), pages->rect());
        }

        auto* path = Find<QLineEdit>("EPath");
        QVERIFY(path->isReadOnly());
        QVERIFY(!path->isEnabled());
        QVERIFY(!path->hasFrame());
        // The Open tile is drawn over the right end of the path box.
        const QObjectList stack = Find<QWidget>("Panel2")->children();
        QVERIFY(stack.indexOf(Find<QWidget>("BOpenFolder")) > stack.indexOf(path));
    }

    void keepsPixelLayout() {
        Start();
        QCOMPARE(form->devicePixelRatio(), 1.0);
        QCOMPARE(form->grab().size(), QSize(1324, 832));
        QCOMPARE(Find<QLabel>("Label8")->font().pixelSize(), 37);
        QCOMPARE(Find<TQRPaintBox>("QRPaintBox1")->size(), QSize(350, 350));
    }

    void fonts() {
        Start();
        const QFontInfo window(form->font());
        QCOMPARE(window.family(), QString("Open Sans"));
        QCOMPARE(window.pixelSize(), 16);
        const QFontInfo title(Find<QLabel>("Label8")->font());
        QCOMPARE(title.family(), QString("Open Sans Semibold"));
        QCOMPARE(title.styleName(), QString("Semibold"));
        QCOMPARE(title.pixelSize(), 37);
        const QFontInfo tile(Find<QWidget>("BWelcome")->font());
        QCOMPARE(tile.styleName(), QString("Semibold"));
        QCOMPARE(tile.pixelSize(), 15);
        QVERIFY(Find<QLabel>("LWebsite")->font().underline());
        QCOMPARE(Find<QLabel>("LWebsite")->font().pixelSize(), 13);
    }

    void tilePaintsItsStates() {
        TTileButton tile;
        tile.resize(120, 40);
        tile.setText("Close");
        tile.SetScheme(TTileScheme::Light());
        auto pixels = [&tile] {
            const QImage img = tile.grab().toImage();
            return std::pair{img.pixelColor(0, 0), img.pixelColor(5, 20)};
        };
        const TTileScheme light = TTileScheme::Light();
        QCOMPARE(pixels(), (std::pair{light.Normal.Border, light.Normal.Face}));
        QTest::mousePress(&tile, Qt::LeftButton);
        QCOMPARE(pixels(), (std::pair{light.Down.Border, light.Down.Face}));
        QTest::mouseRelease(&tile, Qt::LeftButton);
        QCOMPARE(pixels(), (std::pair{light.Normal.Border, light.Normal.Face}));
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QCoreApplication::sendEvent(&tile, &enter);
        QCOMPARE(pixels(), (std::pair{light.Hover.Border, light.Hover.Face}));
        tile.setEnabled(false);
        QCOMPARE(pixels(), (std::pair{QColor(0xC0, 0xC0, 0xC0), QColor(0xC0, 0xC0, 0xC0)}));

        // A check-style tile stays down after a click, and a second click lifts it.
        TTileButton check;
        check.resize(100, 30);
        check.setCheckable(true);
        check.SetScheme(TTileScheme::Blue());
        QTest::mouseClick(&check, Qt::LeftButton);
        QVERIFY(check.isChecked());
        QCOMPARE(check.grab().toImage().pixelColor(5, 15), QColor(0x74, 0xA3, 0xB0));
        QTest::mouseClick(&check, Qt::LeftButton);
        QVERIFY(!check.isChecked());

        // A caption too long for the tile is cut with an ellipsis.
        check.setText("Step 2 - Click Here to Select Files to Transfer to Phone");
        QVERIFY(check.DisplayedCaption().endsWith(QChar(0x2026)));
        check.resize(2000, 30);
        QCOMPARE(check.DisplayedCaption(), check.text());
    }

    void bevelPanelDrawsDoubleBevel() {
        TBevelPanel panel;
        panel.resize(50, 50);
        panel.SetColor(Qt::white);
        panel.SetBevel(TBevelPanel::Bevel::RaisedLowered);
        const QImage img = panel.grab().toImage();
        // Raised outer ring: lit top-left, shaded bottom-right; lowered inner ring the reverse.
        QCOMPARE(img.pixelColor(0, 10), TBevelPanel::HighlightEdge());
        QCOMPARE(img.pixelColor(49, 10), TBevelPanel::ShadowEdge());
        QCOMPARE(img.pixelColor(1, 10), TBevelPanel::ShadowEdge());
        QCOMPARE(img.pixelColor(48, 10), TBevelPanel::HighlightEdge());
        QCOMPARE(img.pixelColor(25, 25), QColor(Qt::white));
    }

    void fileAppearsInWB() {
        Start();
        QTest::mouseClick(Find<TTileButton>("BPhoneToPC"), Qt::LeftButton);
        auto* wb = Find<TShellFileView>("WB");
        const QString dir = QString::fromStdString(form->ReceiveDir);
        QTRY_VERIFY(wb->model() != nullptr);
        QVERIFY(wb->ShownNames().isEmpty());

        QFile arrived(dir + "from phone.txt");
        QVERIFY(arrived.open(QIODevice::WriteOnly));
        arrived.write("hello");
        arrived.close();
        QTRY_COMPARE_WITH_TIMEOUT(wb->ShownNames(), QStringList{"from phone.txt"}, 10000);

        QVERIFY(QFile::remove(dir + "from phone.txt"));
        QTRY_VERIFY_WITH_TIMEOUT(wb->ShownNames().isEmpty(), 10000);
    }

    void fileViewFilters() {
        Start();
        const QString dir = HomeDir + "/filters/";
        QDir().mkpath(dir + "sub");
        for (const char* name : {"a.txt", ".dotfile", "marked.txt"}) {
            QFile f(dir + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        const QByteArray hidden = "0x2";
        const bool marked = ::setxattr(QFile::encodeName(dir + "marked.txt").constData(),
                                       "user.DOSATTRIB", hidden.constData(), hidden.size(), 0) == 0;

        auto* wb = Find<TShellFileView>("WB");
        auto* wb2 = Find<TShellFileView>("WB2");
        wb->SetFolder(dir);
        wb2->SetFolder(dir);
        const QStringList withFolders =
            marked ? QStringList{"sub", "a.txt"} : QStringList{"sub", "a.txt", "marked.txt"};
        QTRY_COMPARE_WITH_TIMEOUT(wb2->ShownNames(), withFolders, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(wb->ShownNames(), withFolders.mid(1), 10000);
        if (!marked)
            QSKIP("this file system keeps no user extended attributes; dot names checked only");
    }

    void thumbnailsDecodeOffTheGuiThread() {
        const QImage small = TThumbnailModel::DecodeThumbnail(":/nothing-here.jpg", {120, 96});
        QVERIFY(small.isNull());

        const QString dir = HomeDir + "/photos/";
        QDir().mkpath(dir);
        WriteJpeg(dir + "wide.jpg", {2000, 1000});
        QCOMPARE(TThumbnailModel::DecodeThumbnail(dir + "wide.jpg", {120, 96}).size(),
                 QSize(120, 60));
        WriteJpeg(dir + "tall.jpg", {1000, 3000});
        QCOMPARE(TThumbnailModel::DecodeThumbnail(dir + "tall.jpg", {120, 96}).size(),
                 QSize(32, 96));
        // Small pictures are never blown up.
        WriteJpeg(dir + "tiny.jpg", {40, 30});
        QCOMPARE(TThumbnailModel::DecodeThumbnail(dir + "tiny.jpg", {120, 96}).size(),
                 QSize(40, 30));
        QFile::remove(dir + "tall.jpg");
        QFile::remove(dir + "tiny.jpg");

        Start();
        auto* wb = Find<TShellFileView>("WB");
        wb->SetFolder(dir);
        QTest::mouseClick(Find<TTileButton>("BPhoneToPC"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(wb->ShownNames(), QStringList{"wide.jpg"}, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(wb->Thumbnails()->HasThumbnail(dir + "wide.jpg"), 10000);
        const QModelIndex item = wb->model()->index(0, 0, wb->rootIndex());
        const QPixmap icon = item.data(Qt::DecorationRole).value<QPixmap>();
        QCOMPARE(icon.size(), TShellFileView::IconBox);
        // The picture itself, not the drawn document icon, fills the middle.
        QVERIFY(NearPhotoColour(icon.toImage().pixelColor(60, 48)));

        // A file replaced under the same name is decoded again: the wide picture
        // becomes a tall one.
        WriteJpeg(dir + "next.tmp", {500, 1000});
        QVERIFY(::rename(QFile::encodeName(dir + "next.tmp").constData(),
                         QFile::encodeName(dir + "wide.jpg").constData()) == 0);
        auto showsTallPicture = [&] {
            const QImage now = wb->model()
                                   ->index(0, 0, wb->rootIndex())
                                   .data(Qt::DecorationRole)
                                   .value<QPixmap>()
                                   .toImage();
            return wb->Thumbnails()->HasThumbnail(dir + "wide.jpg") &&
                   now.pixelColor(10, 48).alpha() == 0 && NearPhotoColour(now.pixelColor(60, 48));
        };
        QTRY_VERIFY_WITH_TIMEOUT(showsTallPicture(), 10000);

        // 200 large pictures asked for at once, as a quick scroll does: every
        // one is read on a pool thread, and the event loop keeps running while
        // they are read.
        const QString many = HomeDir + "/many/";
        QDir().mkpath(many);
        WriteJpeg(many + "p000.jpg", {2400, 1600});
        for (int i = 1; i < 200; ++i)
            QVERIFY(QFile::copy(many + "p000.jpg",
                                many + QString("p%1.jpg").arg(i, 3, 10, QChar('0'))));
        QMutex seenLock;
        QSet<QThread*> decodingThreads;
        std::atomic<int> decoded = 0;
        wb->Thumbnails()->SetDecoder([&](const QString& path, QSize box) {
            {
                QMutexLocker locker(&seenLock);
                decodingThreads.insert(QThread::currentThread());
            }
            QImage image = TThumbnailModel::DecodeThumbnail(path, box);
            // Long enough per picture that a decode on the GUI thread would
            // hold the loop for a second at least.
            QThread::msleep(5);
            ++decoded;
            return image;
        });
        wb->SetFolder(many);
        QTRY_COMPARE_WITH_TIMEOUT(wb->ShownNames().size(), 200, 10000);
        QAbstractItemModel* model = wb->model();
        // Ticks of the loop that came while some, but not all, were decoded.
        int ticksMeanwhile = 0;
        QTimer tick;
        tick.setInterval(10);
        connect(&tick, &QTimer::timeout, this, [&] {
            const int done = decoded.load();
            ticksMeanwhile += done > 0 && done < 200;
        });
        tick.start();
        for (int row = 0; row < model->rowCount(wb->rootIndex()); ++row)
            model->index(row, 0, wb->rootIndex()).data(Qt::DecorationRole);
        QVERIFY(decoded.load() < 200);
        QTRY_COMPARE_WITH_TIMEOUT(decoded.load(), 200, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(wb->Thumbnails()->PendingCount(), 0, 10000);
        tick.stop();
        QVERIFY2(ticksMeanwhile >= 10, qPrintable(QString::number(ticksMeanwhile)));
        QVERIFY(!decodingThreads.isEmpty());
        QVERIFY(!decodingThreads.contains(QThread::currentThread()));
        QVERIFY(wb->Thumbnails()->HasThumbnail(many + "p199.jpg"));
    }

    void openDialogForPublishing() {
        Start();
        auto* dialog = Find<TPictureFileDialog>("DOpen");
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
        QCOMPARE(dialog->nameFilters(),
                 (QStringList{"All Files (*.*)", "Photos (*.jpg)", "Documents (*.doc, *.pdf)"}));
        QCOMPARE(dialog->selectedNameFilter(), QString("All Files (*.*)"));
        // Each text lets through what it means, not what its brackets say.
        QCOMPARE(dialog->PatternsOf("All Files (*.*)"), QStringList{"*"});
        QCOMPARE(dialog->PatternsOf("Photos (*.jpg)"), (QStringList{"*.jpg", "*.jpeg"}));
        QCOMPARE(dialog->PatternsOf("Documents (*.doc, *.pdf)"),
                 (QStringList{"*.doc", "*docx", "*.pdf"}));

        const QString dir = HomeDir + "/to-publish/";
        QDir().mkpath(dir);
        WriteJpeg(dir + "holiday.jpg", {3000, 2000});
        QFile text(dir + "list.txt");
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.close();

        QSignalSpy shown(dialog, &TPictureFileDialog::PreviewShown);
        emit dialog->currentChanged(dir + "holiday.jpg");
        QTRY_COMPARE(shown.size(), 1);
        QCOMPARE(dialog->PreviewedFile(), dir + "holiday.jpg");
        emit dialog->currentChanged(dir + "list.txt");
        QTRY_COMPARE(shown.size(), 2);
        QVERIFY(dialog->PreviewedFile().isEmpty());
    }

    void screenshots() {
        Start();
        QDir().mkpath(TESSARY_SCREENSHOT_DIR);
        const QString photos = DocumentsDir() + "Tessary/" + Today() + "/";
        WriteJpeg(photos + "IMG_0001.jpg", {1200, 900});
        QFile note(photos + "notes.txt");
        QVERIFY(note.open(QIODevice::WriteOnly));
        note.close();
        struct Shot {
            const char* tile;
            const char* file;
        };
        for (Shot shot : {Shot{"BWelcome", "welcome.png"}, Shot{"BPhoneToPC", "phone-to-pc.png"},
                          Shot{"BPCtoPhone", "pc-to-phone.png"}}) {
            QTest::mouseClick(Find<TTileButton>(shot.tile), Qt::LeftButton);
            if (QString(shot.tile) == "BPhoneToPC")
                QTRY_VERIFY_WITH_TIMEOUT(
                    Find<TShellFileView>("WB")->Thumbnails()->HasThumbnail(photos + "IMG_0001.jpg"),
                    10000);
            QTest::qWait(50);
            const QString path = QString(TESSARY_SCREENSHOT_DIR) + "/" + shot.file;
            QVERIFY(form->grab().save(path));
        }
    }
};

int main(int argc, char* argv[]) {
    const windowtest::TTestHome home;
    if (!home.IsValid())
        return 1;
    HomeDir = home.Path();
    WriteUserDirs("$HOME/Dokumente");
    return windowtest::RunWindowTests<TestMainForm>(argc, argv);
}

#include "TestMainForm.moc"
