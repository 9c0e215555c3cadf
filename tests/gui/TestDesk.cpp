// What a person at the desk reaches for beyond the tiles: the QR codes' menu
// (copy the link, choose the address the codes carry) and files dropped or
// pasted onto the PC-to-phone page.

#include "../qrcode/QRDecode.h"
#include "WindowTestSupport.h"
#include "app/MainUnit.h"
#include "app/QRCodeMenu.h"
#include "app/QRPaintBox.h"
#include "app/TileButton.h"
#include "app/WindowEnvironment.h"
#include "app/core/Publisher.h"
#include "app/core/TextNote.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <memory>

namespace {

QString HomeDir;

using windowtest::ReadAll;
using windowtest::WriteBytes;

// The files and folders of a folder apart from its default page, by name.
QStringList Copies(const QString& folder) {
    return windowtest::Copies(folder, true);
}

// The texts of a menu's entries, separators left out.
QStringList EntryTexts(const QMenu* menu) {
    QStringList texts;
    for (const QAction* action : menu->actions())
        if (!action->isSeparator())
            texts << action->text();
    return texts;
}

QAction* Entry(const QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

// A file manager's drag or copy of these paths: text/uri-list.
std::unique_ptr<QMimeData> UriList(const QStringList& paths) {
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls << QUrl::fromLocalFile(path);
    data->setUrls(urls);
    return data;
}

// GNOME's file manager's copy: only x-special/gnome-copied-files.
std::unique_ptr<QMimeData> GnomeCopy(const QStringList& paths) {
    auto data = std::make_unique<QMimeData>();
    QByteArray text = "copy";
    for (const QString& path : paths)
        text += "\n" + QUrl::fromLocalFile(path).toEncoded();
    data->setData("x-special/gnome-copied-files", text);
    return data;
}

} // namespace

class TestDesk : public QObject {
    Q_OBJECT

    QStringList messages;
    std::unique_ptr<TMainForm> form;
    QString source; // where the "file manager" keeps the files

    void Start() {
        messages.clear();
        TMainFormHooks hooks;
        hooks.UpdateBaseUrl = "http://127.0.0.1:9"; // a closed loopback port
        hooks.ShowMessage = [this](const QString& text) { messages << text; };
        hooks.PickFolder = [](const QString&) { return std::nullopt; };
        hooks.OpenWithShell = [](const std::string&) {};
        hooks.PickFilesToPublish = [] { return std::nullopt; };
        form = std::make_unique<TMainForm>(hooks);
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
    }
    template <typename T> T* Find(const char* name) {
        return windowtest::Child<T>(form.get(), name);
    }
    void Click(const char* tile) { QTest::mouseClick(Find<TTileButton>(tile), Qt::LeftButton); }
    std::string Scan(const char* box) {
        const QRDecodeResult result = DecodeQR(Find<TQRPaintBox>(box)->grab().toImage());
        return result.valid ? result.text : std::string("(nothing readable)");
    }
    // A right-click on a paint box; the menu it opened.
    QMenu* OpenMenu(const char* box) {
        auto* paintBox = Find<TQRPaintBox>(box);
        const QPoint at(100, 100);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, paintBox->mapToGlobal(at));
        QApplication::sendEvent(paintBox, &event);
        for (QMenu* menu : form->findChildren<QMenu*>("QRCodeMenu"))
            if (menu->isVisible())
                return menu;
        return nullptr;
    }
    void CloseMenu(QMenu* menu) {
        QPointer<QMenu> watched(menu);
        menu->close();
        QTRY_VERIFY(watched.isNull());
    }
    QString Note() { return Find<QLabel>("LDownloadNote")->text(); }
    // Runs what a drop or paste left queued (the window publishes from a
    // zero-delay timer); true when that started a publication other than
    // the copies given (it runs, or a quick one is already listed).
    bool QueuedWorkPublished(const std::vector<std::string>& before = {}) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        return form->Publication->Publishing() || form->Publication->PublishedCopies() != before;
    }
    QString DownloadDir() { return QString::fromStdString(form->DownloadDir); }
    QString FragmentPath() {
        return QString::fromStdString(form->DownloadPageDir + "filelist-" + form->PageKey +
                                      ".html");
    }
    // Drags data over the window at a point of widget, as the window system
    // hands it to the window: to the first widget from there up that takes
    // drops. Returns whether the drag was accepted, and drops when it was.
    bool DragAndDrop(QWidget* widget, const QMimeData& data) {
        const QPoint inWindow = widget->mapTo(form.get(), widget->rect().center());
        QWidget* target = form->childAt(inWindow);
        while (target && !target->acceptDrops())
            target = target->parentWidget();
        if (!target)
            return false;
        const QPointF at = target->mapFrom(form.get(), inWindow);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        return drop.isAccepted();
    }
    void Paste(const QMimeData& data) {
        auto* copy = new QMimeData;
        for (const QString& format : data.formats())
            copy->setData(format, data.data(format));
        QGuiApplication::clipboard()->setMimeData(copy);
        QTest::keyClick(form.get(), Qt::Key_V, Qt::ControlModifier);
    }

  private slots:
    void init() {
        QDir(HomeDir + "/data").removeRecursively();
        source = HomeDir + "/files/";
        QDir(source).removeRecursively();
        WriteBytes(source + "a.jpg", "A");
        WriteBytes(source + "b.txt", "B");
        WriteBytes(source + QString::fromUtf8("c d é.pdf"), "C");
        WriteBytes(source + "album/inside.jpg", "in a folder");
    }
    void cleanup() { form.reset(); }

    void menuCopiesTheLinkOfEachCode() {
        Start();
        QMenu* menu = OpenMenu("QRPaintBox1");
        QVERIFY(menu);
        QCOMPARE(EntryTexts(menu).first(), QString("Copy link"));
        Entry(menu, "Copy link")->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text().toStdString(), form->UploadUrl);
        CloseMenu(menu);

        menu = OpenMenu("QRPaintBox2");
        QVERIFY(menu);
        Entry(menu, "Copy link")->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text().toStdString(), form->DownloadUrl);
        CloseMenu(menu);
        // The link shows when the pointer rests on a code.
        QCOMPARE(Find<TQRPaintBox>("QRPaintBox1")->toolTip().toStdString(), form->UploadUrl);
        QCOMPARE(Find<TQRPaintBox>("QRPaintBox2")->toolTip().toStdString(), form->DownloadUrl);
    }

    void menuChoosesTheAddressBothCodesCarry() {
        if (qEnvironmentVariableIsEmpty("TESSARY_TWO_LINKS"))
            QSKIP("needs the two links of two-links-run.sh");
        Start();
        // The host name gives loopback only; the default route leaves by tessb.
        QCOMPARE(form->PrimaryAddress, std::string("203.0.113.9"));
        const std::string key = form->PageKey;
        QCOMPARE(form->UploadUrl, "http://203.0.113.9:8016/u/" + key + ".html");

        // Something published first: choosing an address must not unlist it.
        Click("BPCtoPhone");
        QVERIFY(DragAndDrop(Find<QLabel>("LDownloadNote"), *UriList({source + "a.jpg"})));
        QTRY_VERIFY(Note().startsWith("1 file was"));
        const QByteArray list = ReadAll(FragmentPath());
        QVERIFY(list.contains("a.jpg"));
        const QByteArray uploadPage =
            ReadAll(QString::fromStdString(form->UploadPageDir + key + ".html"));

        QMenu* menu = OpenMenu("QRPaintBox2");
        QVERIFY(menu);
        QCOMPARE(EntryTexts(menu),
                 (QStringList{"Copy link", "203.0.113.9 (tessb)", "198.51.100.7 (tessa)"}));
        QVERIFY(Entry(menu, "203.0.113.9 (tessb)")->isChecked());
        QVERIFY(!Entry(menu, "198.51.100.7 (tessa)")->isChecked());
        Entry(menu, "198.51.100.7 (tessa)")->trigger();
        CloseMenu(menu);

        const std::string upload = "http://198.51.100.7:8016/u/" + key + ".html";
        const std::string download = "http://198.51.100.7:8016/d/" + key + ".html";
        QCOMPARE(form->UploadUrl, upload);
        QCOMPARE(form->DownloadUrl, download);
        // The page shown stays; both codes carry the new address.
        QCOMPARE(Find<QWidget>("MainPC")->property("currentIndex").toInt(),
                 int(TMainForm::PCToPhonePage));
        QCOMPARE(Scan("QRPaintBox2"), download);
        QCOMPARE(Find<TQRPaintBox>("QRPaintBox2")->toolTip().toStdString(), download);
        Click("BPhoneToPC");
        QTest::qWait(20);
        QCOMPARE(Scan("QRPaintBox1"), upload);
        QCOMPARE(Find<TQRPaintBox>("QRPaintBox1")->toolTip().toStdString(), upload);
        // The pages, the list and the poll are as they were.
        QCOMPARE(ReadAll(FragmentPath()), list);
        QCOMPARE(ReadAll(QString::fromStdString(form->UploadPageDir + key + ".html")), uploadPage);
        QVERIFY(Find<QTimer>("FileCheckTimer")->isActive());

        // The menu of the other code shows the choice, and can go back.
        menu = OpenMenu("QRPaintBox1");
        QVERIFY(menu);
        QVERIFY(Entry(menu, "198.51.100.7 (tessa)")->isChecked());
        Entry(menu, "203.0.113.9 (tessb)")->trigger();
        CloseMenu(menu);
        QCOMPARE(form->UploadUrl, "http://203.0.113.9:8016/u/" + key + ".html");
        QTest::qWait(20);
        QCOMPARE(Scan("QRPaintBox1"), form->UploadUrl);
    }

    void menuOffersOnlyTheLinkInRelayMode() {
        Start();
        form->RelayUrlTemplate = "https://192.0.2.7/s?k=1&m=#updown#&v=#version#";
        form->ApplyConnectionMode({}, 2);
        QMenu* menu = OpenMenu("QRPaintBox1");
        QVERIFY(menu);
        QCOMPARE(EntryTexts(menu), QStringList{"Copy link"});
        Entry(menu, "Copy link")->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("http://192.0.2.7/s?k=1&m=u&v=3"));
        CloseMenu(menu);
        QCOMPARE(Find<TQRPaintBox>("QRPaintBox2")->toolTip(),
                 QString("http://192.0.2.7/s?k=1&m=d&v=3"));
        // An address chosen in relay mode would change nothing either.
        form->ChooseDirectAddress("198.51.100.7");
        QCOMPARE(form->UploadUrl, std::string("http://192.0.2.7/s?k=1&m=u&v=3"));
    }

    // What blocks the phone (Windows: a public network, no firewall rule)
    // heads the menu as a line to read, and the entries below still work.
    void menuLeadsWithWhatBlocksThePhone() {
        QWidget parent;
        bool copied = false;
        TQRCodeMenuContent content;
        content.direct = true;
        content.choices = {{"198.51.100.7", "eth0"}, {"203.0.113.4", "wlan0"}};
        content.currentAddress = "198.51.100.7";
        content.blockedNotice = "Windows treats this network as public: phones cannot connect. "
                                "Make it private in Settings > Network & Internet.";
        content.copyLink = [&copied] { copied = true; };
        QMenu* menu = MakeQRCodeMenu(&parent, content);
        const QList<QAction*> actions = menu->actions();
        QCOMPARE(actions.first()->objectName(), QString("PhoneBlocked"));
        // As the menu shows it: the "&" stays, underlines nothing.
        QCOMPARE(actions.first()->iconText(), content.blockedNotice);
        QVERIFY(!actions.first()->isEnabled());
        QCOMPARE(EntryTexts(menu).mid(1),
                 (QStringList{"Copy link", "198.51.100.7 (eth0)", "203.0.113.4 (wlan0)"}));
        Entry(menu, "Copy link")->trigger();
        QVERIFY(copied);
        // Without a notice the menu starts with "Copy link", as ever.
        content.blockedNotice.clear();
        QCOMPARE(MakeQRCodeMenu(&parent, content)->actions().first()->text(), QString("Copy link"));
    }

    void droppedFilesArePublishedAndFoldersPassedOver() {
        Start();
        Click("BPCtoPhone");
        const QString cde = source + QString::fromUtf8("c d é.pdf");
        const auto data = UriList({source + "a.jpg", source + "album", cde, source + "b.txt"});
        QVERIFY(DragAndDrop(Find<QLabel>("LDownloadNote"), *data));
        QTRY_COMPARE(Note(), QString("3 files were transferred to your phone.\n"
                                     "Refresh your phone browser if files do not appear"));
        QCOMPARE(Copies(DownloadDir()),
                 (QStringList{"a.jpg", "b.txt", QString::fromUtf8("c d é.pdf")}));
        QCOMPARE(ReadAll(DownloadDir() + QString::fromUtf8("c d é.pdf")), QByteArray("C"));
        const QByteArray list = ReadAll(FragmentPath());
        QCOMPARE(list.count("<table"), 3);
        QVERIFY(list.indexOf("a.jpg") < list.indexOf("b.txt"));
        QVERIFY(Find<QLabel>("LDownloadNote")->toolTip().startsWith("1 folder was passed over"));
        // The dropped files stay where they were.
        QCOMPARE(ReadAll(source + "a.jpg"), QByteArray("A"));
        QVERIFY(QFileInfo::exists(source + "album/inside.jpg"));

        // A drop on the file view of the page replaces the publication.
        QVERIFY(DragAndDrop(Find<QWidget>("WB2"), *UriList({source + "b.txt"})));
        QTRY_VERIFY(Note().startsWith("1 file was"));
        QCOMPARE(Copies(DownloadDir()), QStringList{"b.txt"});
        QVERIFY(Find<QLabel>("LDownloadNote")->toolTip().isEmpty());
        QVERIFY(messages.isEmpty());
    }

    void aDragOfFoldersOrLinksAloneIsRefused() {
        Start();
        Click("BPCtoPhone");
        QVERIFY(!DragAndDrop(Find<QLabel>("LDownloadNote"), *UriList({source + "album"})));
        QMimeData web;
        web.setUrls({QUrl("https://example.org/picture.jpg")});
        QVERIFY(!DragAndDrop(Find<QLabel>("LDownloadNote"), web));
        QVERIFY(!QueuedWorkPublished());
        QVERIFY(Note().isEmpty());
        QCOMPARE(Copies(DownloadDir()), QStringList{});
        // A file among them is taken.
        QVERIFY(DragAndDrop(Find<QLabel>("LDownloadNote"),
                            *UriList({source + "album", source + "a.jpg"})));
        QVERIFY(QueuedWorkPublished());
        QTRY_COMPARE(Copies(DownloadDir()), QStringList{"a.jpg"});
    }

    void aDropOnTheTileShowsThePageAndPublishes() {
        Start();
        Click("BPhoneToPC");
        QVERIFY(DragAndDrop(Find<TTileButton>("BPCtoPhone"), *UriList({source + "a.jpg"})));
        QTRY_VERIFY(Note().startsWith("1 file was"));
        QCOMPARE(Find<QWidget>("MainPC")->property("currentIndex").toInt(),
                 int(TMainForm::PCToPhonePage));
        QVERIFY(Find<TTileButton>("BPCtoPhone")->isChecked());
        QVERIFY(!Find<TTileButton>("BPhoneToPC")->isChecked());
        QCOMPARE(Copies(DownloadDir()), QStringList{"a.jpg"});
    }

    void aDropOnThePhoneToPCPageDoesNothing() {
        Start();
        Click("BPhoneToPC");
        const QString receive = QString::fromStdString(form->ReceiveDir);
        const auto data = UriList({source + "a.jpg", source + "b.txt"});
        for (const char* name : {"WB", "Label7", "EPath", "QRPaintBox1"})
            DragAndDrop(Find<QWidget>(name), *data);
        QVERIFY(!QueuedWorkPublished());
        QVERIFY(Note().isEmpty());
        QCOMPARE(Copies(DownloadDir()), QStringList{});
        QCOMPARE(Copies(receive), QStringList{});
        QCOMPARE(ReadAll(source + "a.jpg"), QByteArray("A"));
        QCOMPARE(ReadAll(source + "b.txt"), QByteArray("B"));
        QCOMPARE(Find<QWidget>("MainPC")->property("currentIndex").toInt(),
                 int(TMainForm::PhoneToPCPage));
        // The same drop on the other page publishes.
        Click("BPCtoPhone");
        QVERIFY(DragAndDrop(Find<QWidget>("WB2"), *data));
        QVERIFY(QueuedWorkPublished());
        QTRY_COMPARE(Copies(DownloadDir()), (QStringList{"a.jpg", "b.txt"}));
    }

    void pastedFilesArePublished() {
        Start();
        Click("BPCtoPhone");
        // GNOME's own format, with a folder among the files.
        Paste(*GnomeCopy({source + "album", source + QString::fromUtf8("c d é.pdf")}));
        QTRY_VERIFY(Note().startsWith("1 file was"));
        QCOMPARE(Copies(DownloadDir()), QStringList{QString::fromUtf8("c d é.pdf")});
        QVERIFY(Find<QLabel>("LDownloadNote")->toolTip().startsWith("1 folder was passed over"));

        // A plain URI list replaces that publication.
        Paste(*UriList({source + "b.txt", source + "a.jpg"}));
        QTRY_VERIFY(Note().startsWith("2 files were"));
        QCOMPARE(Copies(DownloadDir()), (QStringList{"a.jpg", "b.txt"}));
        QVERIFY(ReadAll(FragmentPath()).indexOf("b.txt") <
                ReadAll(FragmentPath()).indexOf("a.jpg"));

        // Copied text goes as a text file named from the clock, its bytes
        // the text's UTF-8; blanks alone publish nothing.
        std::vector<std::string> published = form->Publication->PublishedCopies();
        QGuiApplication::clipboard()->setText(" \n\t ");
        QTest::keyClick(form.get(), Qt::Key_V, Qt::ControlModifier);
        QVERIFY(!QueuedWorkPublished(published));
        const QString text =
            QString::fromUtf8("Caf\xc3\xa9 at 10\r\nhttps://example.org/?a=1&b=<2>\n");
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QGuiApplication::clipboard()->setText(text);
        QTest::keyClick(form.get(), Qt::Key_V, Qt::ControlModifier);
        QTRY_VERIFY(Note().startsWith("1 file was"));
        const QStringList copies = Copies(DownloadDir());
        QCOMPARE(copies.size(), 1);
        QVERIFY2(appcore::IsTextFileName(copies[0]), qPrintable(copies[0]));
        const QDateTime named =
            QDateTime::fromString(copies[0], "'Text 'yyyy-MM-dd hh.mm.ss'.txt'");
        QVERIFY2(named >= before && named <= QDateTime::currentDateTime(), qPrintable(copies[0]));
        QCOMPARE(ReadAll(DownloadDir() + copies[0]), text.toUtf8());

        // A paste on another page publishes nothing.
        published = form->Publication->PublishedCopies();
        Click("BPhoneToPC");
        Paste(*UriList({source + "a.jpg"}));
        QVERIFY(!QueuedWorkPublished(published));
        QVERIFY(Note().startsWith("1 file was"));
        QCOMPARE(Copies(DownloadDir()), copies);
    }
};

TESSARY_WINDOW_TEST_MAIN(TestDesk, HomeDir)

#include "TestDesk.moc"
