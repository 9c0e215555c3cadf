// Big files both ways in the real window: publishing by link or by a copy on
// a worker while LDownloadNote shows its progress, a pick or Close that
// replaces copies under way, failures of publishing, and an upload moved to a
// receiving folder on another file system while the event loop keeps running.

#include "WindowTestSupport.h"
#include "app/MainUnit.h"
#include "app/ShellFileView.h"
#include "app/TileButton.h"
#include "app/WindowEnvironment.h"
#include "app/core/Publisher.h"
#include "app/core/UploadWatcher.h"
#include "platform/platform.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

QString HomeDir;

const QString OneFileNote = QStringLiteral("1 file was transferred to your phone.\n"
                                           "Refresh your phone browser if file does not appear");
const QString NoFileNote = QStringLiteral("0 file was transferred to your phone.\n"
                                          "Refresh your phone browser if file does not appear");

using windowtest::ReadAll;
using windowtest::WriteBytes;

// Every entry of a folder, hidden ones and partial copies included, apart
// from its default page.
QStringList Entries(const QString& folder) {
    QStringList names =
        QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    names.removeAll("index.html");
    return names;
}

// A file of size bytes that takes no space, slow enough to copy that a test
// can act while the copy runs.
void WriteSparse(const QString& path, qint64 size) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QVERIFY(f.resize(size));
}

ino_t Inode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// Lowers the limit on the size of files this process writes, so copies fail
// past it as on a full disk; puts the old limit back when it goes.
class TFileSizeLimit {
  public:
    explicit TFileSizeLimit(rlim_t limit) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = old_;
        lowered.rlim_cur = limit;
        set_ = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~TFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;
    bool Set() const { return set_; }

  private:
    rlimit old_{};
    void (*oldHandler_)(int) = SIG_DFL;
    bool set_ = false;
};

} // namespace

class TestPublish : public QObject {
    Q_OBJECT

    QStringList messages;
    std::vector<QStringList> picks;
    QString pickedFolder;
    std::unique_ptr<TMainForm> form;
    std::unique_ptr<QTemporaryDir> memory; // in /dev/shm, another file system

    void Start() {
        messages.clear();
        TMainFormHooks hooks;
        hooks.UpdateBaseUrl = "http://127.0.0.1:9";
        hooks.ShowMessage = [this](const QString& text) { messages << text; };
        hooks.PickFolder = [this](const QString&) -> std::optional<QString> {
            if (pickedFolder.isEmpty())
                return std::nullopt;
            return pickedFolder;
        };
        hooks.OpenWithShell = [](const std::string&) {};
        hooks.PickFilesToPublish = [this]() -> std::optional<QStringList> {
            if (picks.empty())
                return std::nullopt;
            QStringList pick = picks.front();
            picks.erase(picks.begin());
            return pick;
        };
        form = std::make_unique<TMainForm>(hooks);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }
    template <typename T> T* Find(const char* name) {
        return windowtest::Child<T>(form.get(), name);
    }
    void Pick(const QStringList& paths) {
        picks.push_back(paths);
        QTest::mouseClick(Find<TTileButton>("BDownloadFileSelectFiles"), Qt::LeftButton);
    }
    QString Note() { return Find<QLabel>("LDownloadNote")->text(); }
    QString DownloadDir() const { return QString::fromStdString(form->DownloadDir); }
    QString Fragment() const {
        return QString::fromStdString(form->DownloadPageDir + "filelist-" + form->PageKey) +
               ".html";
    }
    // A folder on a file system other than the window's folders, or a skip.
    bool MakeMemoryFolder() {
        memory = std::make_unique<QTemporaryDir>("/dev/shm/tessary-gui-XXXXXX");
        return memory->isValid() &&
               !platform::SameFileSystem(memory->path().toStdString(), HomeDir.toStdString());
    }
    QString Memory() const { return memory->path() + "/"; }

  private slots:
    void init() { QDir(HomeDir + "/data").removeRecursively(); }
    void cleanup() {
        form.reset();
        memory.reset();
        picks.clear();
        pickedFolder.clear();
    }

    void sameFileSystemPublishesALinkAndLeavesTheFileAtExit() {
        const QString video = HomeDir + "/Videos/holiday.mp4";
        WriteBytes(video, QByteArray(500000, 'v'));
        Start();
        Pick({video});
        QTRY_COMPARE_WITH_TIMEOUT(Note(), OneFileNote, 10000);
        const QString copy = DownloadDir() + "holiday.mp4";
        QCOMPARE(ReadAll(copy), QByteArray(500000, 'v'));
        QVERIFY(ReadAll(Fragment()).contains("dfiles/holiday.mp4"));
        // Where the file system offers reflinks the copy is one (a file of
        // its own sharing the blocks); else the same file under a second name.
        const QString probe = HomeDir + "/Videos/probe";
        const bool reflinks = platform::CloneFile(video.toStdString(), probe.toStdString());
        QFile::remove(probe);
        if (reflinks)
            QVERIFY(Inode(copy) != Inode(video));
        else
            QCOMPARE(Inode(copy), Inode(video));
        form.reset();
        QVERIFY(!QFileInfo::exists(copy));
        QCOMPARE(ReadAll(video), QByteArray(500000, 'v'));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(video).constData(), &st), 0);
        QCOMPARE(st.st_nlink, nlink_t(1));
    }

    void progressShowsWhileCopyingAndASecondPickReplacesTheFirst() {
        if (!MakeMemoryFolder())
            QSKIP("no /dev/shm on another file system to copy from");
        WriteBytes(Memory() + "early.txt", "early");
        WriteSparse(Memory() + "film.mkv", qint64(3) << 30);
        const QString second = HomeDir + "/Pictures/second.jpg";
        WriteBytes(second, "second");
        Start();
        Pick({Memory() + "early.txt", Memory() + "film.mkv"});
        // The window is live and the note tells how far the copies are.
        QTRY_VERIFY_WITH_TIMEOUT(Note().startsWith("Copying for your phone: 1 of 2 files done, "),
                                 10000);
        QVERIFY(form->Publication->Publishing());
        Pick({second});
        QTRY_COMPARE_WITH_TIMEOUT(Note(), OneFileNote, 10000);
        QCOMPARE(Entries(DownloadDir()), QStringList{"second.jpg"});
        const QByteArray list = ReadAll(Fragment());
        QVERIFY(list.contains("dfiles/second.jpg"));
        QVERIFY(!list.contains("film.mkv"));
        QVERIFY(!list.contains("early.txt"));
        QCOMPARE(form->Publication->PublishedCopies(),
                 std::vector<std::string>{form->DownloadDir + "second.jpg"});
        // Nothing of the first pick turns up later either.
        QTest::qWait(300);
        QCOMPARE(Note(), OneFileNote);
        QCOMPARE(Entries(DownloadDir()), QStringList{"second.jpg"});
    }

    void closeWhileCopyingLeavesNothing() {
        if (!MakeMemoryFolder())
            QSKIP("no /dev/shm on another file system to copy from");
        WriteSparse(Memory() + "film.mkv", qint64(3) << 30);
        Start();
        const QString download = DownloadDir();
        const QString fragment = Fragment();
        Pick({Memory() + "film.mkv"});
        QTRY_VERIFY_WITH_TIMEOUT(Note().startsWith("Copying for your phone: 0 of 1 file done"),
                                 10000);
        QTest::mouseClick(Find<TTileButton>("BClose"), Qt::LeftButton);
        QVERIFY(!form->isVisible());
        form.reset();
        QCOMPARE(Entries(download), QStringList{});
        QVERIFY(!QFileInfo::exists(fragment));
    }

    void fileListThatCannotBeWrittenShowsItsMessage() {
        const QString a = HomeDir + "/Pictures/a.jpg";
        const QString b = HomeDir + "/Pictures/b.txt";
        WriteBytes(a, "A");
        WriteBytes(b, "B");
        Start();
        Pick({a});
        QTRY_COMPARE_WITH_TIMEOUT(Note(), OneFileNote, 10000);
        // A folder where the file list must go.
        QVERIFY(QFile::remove(Fragment()));
        QVERIFY(QDir().mkdir(Fragment()));
        Pick({b});
        QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 1, 10000);
        QVERIFY2(messages.first().contains(Fragment()), qPrintable(messages.first()));
        // The note is not updated; the copy made stays recorded and is
        // removed with the publication.
        QCOMPARE(Note(), OneFileNote);
        QCOMPARE(form->Publication->PublishedCopies(),
                 std::vector<std::string>{form->DownloadDir + "b.txt"});
        QCOMPARE(ReadAll(DownloadDir() + "b.txt"), QByteArray("B"));
        QCOMPARE(Entries(DownloadDir()), QStringList{"b.txt"});
        const QString download = DownloadDir();
        form.reset();
        QCOMPARE(Entries(download), QStringList{});
    }

    void everyCopyFailingWithdrawsTheEarlierPublicationAndSaysNone() {
        if (!MakeMemoryFolder())
            QSKIP("no /dev/shm on another file system to copy from");
        const QString a = HomeDir + "/Pictures/a.jpg";
        WriteBytes(a, "A");
        WriteBytes(Memory() + "one.bin", QByteArray(256 * 1024, '1'));
        WriteBytes(Memory() + "two.bin", QByteArray(256 * 1024, '2'));
        Start();
        Pick({a});
        QTRY_COMPARE_WITH_TIMEOUT(Note(), OneFileNote, 10000);
        {
            // Every write past 64 KiB fails, as on a full disk.
            TFileSizeLimit full(64 * 1024);
            if (!full.Set())
                QSKIP("cannot lower the file size limit here");
            Pick({Memory() + "one.bin", Memory() + "two.bin"});
            QTRY_COMPARE_WITH_TIMEOUT(Note(), NoFileNote, 10000);
        }
        QCOMPARE(Entries(DownloadDir()), QStringList{});
        QVERIFY(!QFileInfo::exists(Fragment()));
        QVERIFY(form->Publication->PublishedCopies().empty());
        QVERIFY(messages.isEmpty());
    }

    void uploadMovesAcrossFileSystemsWhileTheEventLoopRuns() {
        if (!MakeMemoryFolder())
            QSKIP("no /dev/shm on another file system to move to");
        QByteArray content(128 << 20, '\0');
        for (qsizetype i = 0; i < content.size(); i += 4096)
            content[i] = char('a' + (i / 4096) % 26);
        const QByteArray sum = QCryptographicHash::hash(content, QCryptographicHash::Sha256);
        // Written whole beside the upload folder, then put there at once, as
        // the engine does with a finished upload.
        const QString staged = HomeDir + "/staged.mp4";
        WriteBytes(staged, content);
        content.clear();
        Start();
        pickedFolder = Memory() + "Phone";
        QVERIFY(QDir().mkpath(pickedFolder));
        QTest::mouseClick(Find<TTileButton>("BBrowse"), Qt::LeftButton);
        QCOMPARE(QString::fromStdString(form->ReceiveDir), pickedFolder + "/");

        int ticksWhileMoving = 0;
        QTimer ticker;
        ticker.setInterval(5);
        connect(&ticker, &QTimer::timeout, this, [&] {
            if (form->Uploads->MovingAcross())
                ++ticksWhileMoving;
        });
        ticker.start();
        const QString upload = QString::fromStdString(form->UploadDir) + "VID_0100.mp4";
        QVERIFY(QFile::rename(staged, upload));
        const QString landed = pickedFolder + "/VID_0100.mp4";
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(upload) && QFileInfo::exists(landed) &&
                                     !form->Uploads->ScanInProgress(),
                                 30000);
        ticker.stop();
        QVERIFY2(ticksWhileMoving > 0, "the event loop did not run while the upload moved");
        QCOMPARE(QCryptographicHash::hash(ReadAll(landed), QCryptographicHash::Sha256), sum);
        QCOMPARE(QDir(pickedFolder).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"VID_0100.mp4"});
        QCOMPARE(form->Uploads->SeenUploads().size(), std::size_t(1));
        auto* wb = Find<TShellFileView>("WB");
        QTRY_VERIFY_WITH_TIMEOUT(wb->ShownNames().contains("VID_0100.mp4"), 5000);
        // Moved once: later ticks find nothing more to do.
        QTest::qWait(1500);
        QCOMPARE(QDir(pickedFolder).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"VID_0100.mp4"});
    }
};

TESSARY_WINDOW_TEST_MAIN(TestPublish, HomeDir)

#include "TestPublish.moc"
