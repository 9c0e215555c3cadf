#include "app/core/Publisher.h"

#include "ReceiveTestSupport.h"
#include "app/core/UploadWatcher.h"
#include "util/HTMTemplateUnit.h"
#include "util/MiscFuncUnit.h"

#include <QImage>
#include <QImageReader>
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <stop_token>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

using namespace receivetest;
using appcore::TPublisher;

namespace {

class PublisherTest : public ::testing::Test {
  protected:
    std::string Chosen(const std::string& name, const std::string& content) {
        const std::string path = pickDir + name;
        WriteFile(path, content);
        return path;
    }
    // The fragment as it must read: each entry followed by CR LF.
    static std::string Fragment(const std::vector<std::pair<std::string, std::string>>& files) {
        std::string text;
        for (const auto& [chosen, linkName] : files) {
            text += htmtemplate::FillFileEntry(chosen, linkName) + "\r\n";
        }
        return text;
    }

    TempFolder root;
    std::string downloadPageDir = root.Dir("wdoc/d");
    std::string downloadDir = root.Dir("wdoc/d/dfiles");
    std::string pickDir = root.Dir("Pictures");
    std::string fragment = appcore::FileListFragmentPath(downloadPageDir, "qwerty");
    TPublisher publisher{downloadDir, fragment};
};

} // namespace

TEST(DownloadNoteTest, SingularUpToOneAndPluralAbove) {
    EXPECT_EQ(appcore::DownloadNote(0), "0 file was transferred to your phone.\r\n"
                                        "Refresh your phone browser if file does not appear");
    EXPECT_EQ(appcore::DownloadNote(1), "1 file was transferred to your phone.\r\n"
                                        "Refresh your phone browser if file does not appear");
    EXPECT_EQ(appcore::DownloadNote(3), "3 files were transferred to your phone.\r\n"
                                        "Refresh your phone browser if files do not appear");
    EXPECT_EQ(appcore::FileListFragmentPath("/w/d/", "abcdef"), "/w/d/filelist-abcdef.html");
}

TEST_F(PublisherTest, SelectionReplacesTheEarlierPublication) {
    const std::string old = Chosen("old.txt", "old");
    ASSERT_EQ(publisher.PublishSelectedFiles({old}), 1);
    ASSERT_EQ(Names(downloadDir), std::set<std::string>{"old.txt"});

    const std::string c = Chosen("c.pdf", "ccc");
    const std::string a = Chosen("a.jpg", "a");
    const std::string b = Chosen("b.doc", "bb");
    EXPECT_EQ(publisher.PublishSelectedFiles({c, a, b}), 3);
    EXPECT_EQ(Names(downloadDir), (std::set<std::string>{"a.jpg", "b.doc", "c.pdf"}));
    EXPECT_EQ(ReadFile(downloadDir + "c.pdf"), "ccc");
    EXPECT_EQ(publisher.PublishedCopies(),
              (std::vector<std::string>{downloadDir + "c.pdf", downloadDir + "a.jpg",
                                        downloadDir + "b.doc"}));
    EXPECT_EQ(ReadFile(fragment), Fragment({{c, "c.pdf"}, {a, "a.jpg"}, {b, "b.doc"}}));
    // The originals are untouched.
    EXPECT_EQ(ReadFile(old), "old");
}

TEST_F(PublisherTest, SelectionWithNothingThereWithdrawsAndWritesNoFragment) {
    ASSERT_EQ(publisher.PublishSelectedFiles({Chosen("a.jpg", "a")}), 1);
    ASSERT_TRUE(fs::exists(fragment));
    EXPECT_EQ(publisher.PublishSelectedFiles({pickDir + "typed name.txt", "  \t", pickDir}), 0);
    EXPECT_TRUE(Names(downloadDir).empty());
    EXPECT_FALSE(fs::exists(fragment));
    EXPECT_TRUE(publisher.PublishedCopies().empty());
}

TEST_F(PublisherTest, EmptyChoiceChangesNothing) {
    ASSERT_EQ(publisher.PublishSelectedFiles({Chosen("a.jpg", "a")}), 1);
    const std::string before = ReadFile(fragment);
    EXPECT_EQ(publisher.PublishSelectedFiles({}), 0);
    EXPECT_EQ(Names(downloadDir), std::set<std::string>{"a.jpg"});
    EXPECT_EQ(ReadFile(fragment), before);
    EXPECT_EQ(publisher.PublishedCopies().size(), 1u);
}

TEST_F(PublisherTest, PathsAreTrimmed) {
    const std::string a = Chosen("a.jpg", "a");
    EXPECT_EQ(publisher.PublishSelectedFiles({" \t" + a + " \r\n"}), 1);
    EXPECT_EQ(ReadFile(downloadDir + "a.jpg"), "a");
    EXPECT_EQ(ReadFile(fragment), Fragment({{a, "a.jpg"}}));
}

TEST_F(PublisherTest, ChoosingACurrentCopyPassesItOver) {
    ASSERT_EQ(publisher.PublishSelectedFiles({Chosen("a.jpg", "a")}), 1);
    EXPECT_EQ(publisher.PublishSelectedFiles({downloadDir + "a.jpg"}), 0);
    EXPECT_TRUE(Names(downloadDir).empty());
    EXPECT_FALSE(fs::exists(fragment));
}

TEST_F(PublisherTest, LeftoverCopyGivesANumberedNameThatTheLinkUses) {
    WriteFile(downloadDir + "a.jpg", "leftover of an earlier run");
    const std::string a = Chosen("a.jpg", "new");
    ASSERT_EQ(publisher.PublishSelectedFiles({a}), 1);
    EXPECT_EQ(ReadFile(downloadDir + "a(1).jpg"), "new");
    EXPECT_EQ(publisher.PublishedCopies(), std::vector<std::string>{downloadDir + "a(1).jpg"});
    EXPECT_EQ(ReadFile(fragment), Fragment({{a, "a(1).jpg"}}));
    EXPECT_NE(htmtemplate::FillFileEntry(a, "a(1).jpg"), htmtemplate::FillFileEntry(a, "a.jpg"));

    // Withdrawing removes only this run's copy.
    publisher.WithdrawPublication();
    EXPECT_EQ(Names(downloadDir), std::set<std::string>{"a.jpg"});
    EXPECT_EQ(ReadFile(downloadDir + "a.jpg"), "leftover of an earlier run");
}

TEST_F(PublisherTest, FailedCopyLeavesNothingAndIsNotCounted) {
    // Picked from another file system, so the bytes are really copied. A file
    // size limit makes every write past 64 KiB fail with EFBIG, as a full
    // disk would. It applies to a child process only.
    MemoryFolder memory;
    if (!memory.Usable()) {
        GTEST_SKIP() << "no /dev/shm on another file system to copy from";
    }
    const std::string big = memory.Dir() + "big.bin";
    const std::string small = memory.Dir() + "small.txt";
    WriteFile(big, std::string(1024 * 1024, 'b'));
    WriteFile(small, "small");
    const int status = RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 97;
        }
        const int n = publisher.PublishSelectedFiles({big, small});
        const bool onlySmall =
            publisher.PublishedCopies() == std::vector<std::string>{downloadDir + "small.txt"};
        return n == 1 && onlySmall ? 0 : 10 + n;
    });
    if (status == 97) {
        GTEST_SKIP() << "cannot set a file size limit here";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Names(downloadDir), std::set<std::string>{"small.txt"});
    EXPECT_EQ(ReadFile(fragment), Fragment({{small, "small.txt"}}));
}

TEST_F(PublisherTest, SameFileSystemTakesALinkAndLeavesTheUsersFileAlone) {
    const std::string video = Chosen("video.mp4", std::string(300000, 'v'));
    const auto placed = appcore::PlaceSelection({video}, downloadDir);
    ASSERT_EQ(placed.methods.size(), 1u);
    // A hard link is the user's file itself; a reflink a file of its own
    // beside it on the same disk. Either way no bytes were copied.
    struct stat original {
    }, published{};
    ASSERT_EQ(stat(video.c_str(), &original), 0);
    ASSERT_EQ(stat((downloadDir + "video.mp4").c_str(), &published), 0);
    EXPECT_EQ(published.st_dev, original.st_dev);
    switch (placed.methods[0]) {
    case appcore::CopyMethod::HardLink:
        EXPECT_EQ(published.st_ino, original.st_ino);
        break;
    case appcore::CopyMethod::Reflink:
        EXPECT_NE(published.st_ino, original.st_ino);
        EXPECT_EQ(original.st_nlink, 1u);
        break;
    case appcore::CopyMethod::Copy:
        ADD_FAILURE() << "copied where a link was possible";
        break;
    }
    EXPECT_EQ(ReadFile(downloadDir + "video.mp4"), ReadFile(video));
    fs::remove(downloadDir + "video.mp4");

    ASSERT_EQ(publisher.PublishSelectedFiles({video}), 1);
    EXPECT_EQ(ReadFile(fragment), Fragment({{video, "video.mp4"}}));
    // Withdrawing removes the published name only.
    publisher.WithdrawPublication();
    EXPECT_TRUE(Names(downloadDir).empty());
    EXPECT_EQ(ReadFile(video), std::string(300000, 'v'));
    EXPECT_EQ(fs::hard_link_count(video), 1u);

    // And so does the clean-up at exit.
    ASSERT_EQ(publisher.PublishSelectedFiles({video}), 1);
    appcore::TUploadWatcher watcher;
    appcore::CleanUpAtExit(watcher, publisher, downloadPageDir + "qwerty.html",
                           downloadPageDir + "u-qwerty.html");
    EXPECT_TRUE(Names(downloadDir).empty());
    EXPECT_EQ(ReadFile(video), std::string(300000, 'v'));
    EXPECT_EQ(fs::hard_link_count(video), 1u);
}

TEST_F(PublisherTest, AcrossFileSystemsItCopies) {
    MemoryFolder memory;
    if (!memory.Usable()) {
        GTEST_SKIP() << "no /dev/shm on another file system to copy from";
    }
    const std::string song = memory.Dir() + "song.mp3";
    WriteFile(song, std::string(100000, 's'));
    const auto placed = appcore::PlaceSelection({song}, downloadDir);
    ASSERT_EQ(placed.methods, std::vector<appcore::CopyMethod>{appcore::CopyMethod::Copy});
    EXPECT_EQ(ReadFile(downloadDir + "song.mp3"), ReadFile(song));
    EXPECT_EQ(fs::hard_link_count(song), 1u);
}

TEST_F(PublisherTest, StopAbandonsTheCopyUnderWayAndKeepsTheFinishedOnes) {
    MemoryFolder memory;
    if (!memory.Usable()) {
        GTEST_SKIP() << "no /dev/shm on another file system to copy from";
    }
    const std::string first = memory.Dir() + "first.txt";
    const std::string big = memory.Dir() + "big.iso";
    WriteFile(first, "first");
    WriteSparseFile(big, std::uintmax_t{64} << 20);
    std::stop_source stop;
    std::vector<appcore::TPublishProgress> seen;
    const auto placed =
        appcore::PlaceSelection({first, big, pickDir + "never reached.txt"}, downloadDir,
                                stop.get_token(), [&](const appcore::TPublishProgress& progress) {
                                    seen.push_back(progress);
                                    // The first report from within the big copy stops the
                                    // selection.
                                    if (progress.filesDone == 1 && progress.percent > 0) {
                                        stop.request_stop();
                                    }
                                });
    ASSERT_EQ(placed.copies.size(), 1u);
    EXPECT_EQ(placed.copies[0].second, downloadDir + "first.txt");
    EXPECT_EQ(Names(downloadDir), std::set<std::string>{"first.txt"});
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.front().filesPicked, 3);
    EXPECT_EQ(seen.front().filesDone, 1);
    EXPECT_LT(seen.back().percent, 100);
}

TEST_F(PublisherTest, StartedPublicationReportsProgressThenListsTheFiles) {
    MemoryFolder memory;
    if (!memory.Usable()) {
        GTEST_SKIP() << "no /dev/shm on another file system to copy from";
    }
    const std::string big = memory.Dir() + "big.iso";
    WriteSparseFile(big, std::uintmax_t{40} << 20);
    const std::string note = Chosen("note.txt", "n");
    std::vector<appcore::TPublishProgress> seen;
    int listed = -1;
    publisher.StartPublishing({big, note},
                              {[&](const appcore::TPublishProgress& p) { seen.push_back(p); },
                               [&](int n) { listed = n; },
                               [](const std::string& message) { ADD_FAILURE() << message; }});
    EXPECT_TRUE(publisher.Publishing());
    // Nothing is listed before the copies are done.
    EXPECT_FALSE(fs::exists(fragment));
    ASSERT_TRUE(ProcessEventsUntil([&] { return listed >= 0; }));
    EXPECT_EQ(listed, 2);
    EXPECT_FALSE(publisher.Publishing());
    EXPECT_EQ(ReadFile(fragment), Fragment({{big, "big.iso"}, {note, "note.txt"}}));
    EXPECT_EQ(fs::file_size(downloadDir + "big.iso"), std::uintmax_t{40} << 20);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), (appcore::TPublishProgress{2, 2, 100}));
    EXPECT_EQ(appcore::CopyingNote({1, 3, 42}), "Copying for your phone: 1 of 3 files done, 42%");
}

TEST_F(PublisherTest, NewStartWhileCopyingWithdrawsTheFirstCompletely) {
    MemoryFolder memory;
    if (!memory.Usable()) {
        GTEST_SKIP() << "no /dev/shm on another file system to copy from";
    }
    const std::string early = memory.Dir() + "early.txt";
    const std::string big = memory.Dir() + "big.iso";
    WriteFile(early, "early");
    WriteSparseFile(big, std::uintmax_t{2} << 30);
    int firstListed = -1;
    bool copying = false;
    publisher.StartPublishing({early, big}, {[&](const appcore::TPublishProgress& p) {
                                                 copying |= p.filesDone == 1 && p.percent < 100;
                                             },
                                             [&](int n) { firstListed = n; },
                                             {}});
    ASSERT_TRUE(ProcessEventsUntil([&] { return copying; }));

    const std::string second = Chosen("second.jpg", "2");
    int secondListed = -1;
    publisher.StartPublishing({second}, {{}, [&](int n) { secondListed = n; }, {}});
    // The first pick is forgotten at once, its finished copy goes, its copy
    // under way leaves no trace, and it never reports an end.
    EXPECT_TRUE(publisher.PublishedCopies().empty());
    ASSERT_TRUE(ProcessEventsUntil([&] { return secondListed >= 0; }));
    ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(firstListed, -1);
    EXPECT_EQ(secondListed, 1);
    EXPECT_EQ(Names(downloadDir), std::set<std::string>{"second.jpg"});
    EXPECT_EQ(ReadFile(fragment), Fragment({{second, "second.jpg"}}));
    EXPECT_EQ(publisher.PublishedCopies(), std::vector<std::string>{downloadDir + "second.jpg"});
}

TEST_F(PublisherTest, WithdrawingWhileCopyingLeavesNothing) {
    MemoryFolder memory;
    if (!memory.Usable()) {
        GTEST_SKIP() << "no /dev/shm on another file system to copy from";
    }
    const std::string big = memory.Dir() + "big.iso";
    WriteSparseFile(big, std::uintmax_t{2} << 30);
    bool copying = false;
    bool ended = false;
    publisher.StartPublishing(
        {Chosen("a.txt", "a"), big},
        {[&](const appcore::TPublishProgress& p) { copying |= p.percent > 0; },
         [&](int) { ended = true; }, [&](const std::string&) { ended = true; }});
    ASSERT_TRUE(ProcessEventsUntil([&] { return copying; }));
    publisher.WithdrawPublication();
    EXPECT_FALSE(publisher.Publishing());
    ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_FALSE(ended);
    EXPECT_TRUE(Names(downloadDir).empty());
    EXPECT_FALSE(fs::exists(fragment));
}

TEST_F(PublisherTest, EmptyStartTellsNoneAndKeepsTheEarlierPublication) {
    ASSERT_EQ(publisher.PublishSelectedFiles({Chosen("a.jpg", "a")}), 1);
    int listed = -1;
    publisher.StartPublishing({}, {{}, [&](int n) { listed = n; }, {}});
    EXPECT_EQ(listed, 0);
    EXPECT_FALSE(publisher.Publishing());
    EXPECT_EQ(Names(downloadDir), std::set<std::string>{"a.jpg"});
}

TEST_F(PublisherTest, StartedPublicationWhoseListCannotBeWrittenKeepsTheCopies) {
    const std::string blocked = root.Path("NotAFolder");
    WriteFile(blocked, "file");
    TPublisher stuck{downloadDir, blocked + "/filelist-qwerty.html"};
    std::string message;
    int listed = -1;
    stuck.StartPublishing(
        {Chosen("a.jpg", "a")},
        {{}, [&](int n) { listed = n; }, [&](const std::string& m) { message = m; }});
    ASSERT_TRUE(ProcessEventsUntil([&] { return !message.empty(); }));
    EXPECT_NE(message.find(blocked), std::string::npos) << message;
    EXPECT_EQ(listed, -1);
    EXPECT_EQ(stuck.PublishedCopies(), std::vector<std::string>{downloadDir + "a.jpg"});
}

TEST_F(PublisherTest, FragmentThatCannotBeWrittenThrowsAndKeepsTheCopies) {
    const std::string blocked = root.Path("NotAFolder");
    WriteFile(blocked, "file");
    TPublisher stuck{downloadDir, blocked + "/filelist-qwerty.html"};
    EXPECT_THROW(stuck.PublishSelectedFiles({Chosen("a.jpg", "a")}), misc::FileError);
    EXPECT_EQ(stuck.PublishedCopies(), std::vector<std::string>{downloadDir + "a.jpg"});
    stuck.WithdrawPublication();
    EXPECT_TRUE(Names(downloadDir).empty());
}

TEST_F(PublisherTest, WithdrawSwallowsFailures) {
    ASSERT_EQ(publisher.PublishSelectedFiles({Chosen("a.jpg", "a"), Chosen("b.jpg", "b")}), 2);
    fs::remove(downloadDir + "a.jpg");
    fs::remove(fragment);
    // A copy that became a folder cannot be deleted as a file.
    fs::remove(downloadDir + "b.jpg");
    fs::create_directory(downloadDir + "b.jpg");
    EXPECT_NO_THROW(publisher.WithdrawPublication());
    EXPECT_TRUE(publisher.PublishedCopies().empty());
    EXPECT_TRUE(fs::is_directory(downloadDir + "b.jpg"));
    // The name still taken by the folder does not stop the next publication.
    EXPECT_EQ(publisher.PublishSelectedFiles({pickDir + "b.jpg"}), 1);
    EXPECT_EQ(ReadFile(downloadDir + "b(1).jpg"), "b");
}

TEST_F(PublisherTest, CleanUpAtExitRemovesThisRunsFiles) {
    const std::string downloadPage = downloadPageDir + "qwerty.html";
    const std::string uploadPage = root.Dir("wdoc/u") + "qwerty.html";
    const std::string otherRun = downloadPageDir + "zzzzzz.html";
    for (const auto& page : {downloadPage, uploadPage, otherRun, downloadPageDir + "index.html",
                             downloadDir + "index.html"}) {
        WriteFile(page, "page");
    }
    ASSERT_EQ(publisher.PublishSelectedFiles({Chosen("a.jpg", "a")}), 1);
    appcore::TUploadWatcher watcher;
    const std::string uploadDir = root.Dir("wdoc/u/ufiles");
    WriteFile(uploadDir + "kept.jpg", "kept");
    watcher.ScanUploadFolder(uploadDir, false, [] { return std::string{}; });
    ASSERT_FALSE(watcher.SeenUploads().empty());

    appcore::CleanUpAtExit(watcher, publisher, downloadPage, uploadPage);
    EXPECT_TRUE(watcher.SeenUploads().empty());
    EXPECT_TRUE(publisher.PublishedCopies().empty());
    EXPECT_EQ(Names(downloadDir), std::set<std::string>{"index.html"});
    EXPECT_EQ(Names(downloadPageDir),
              (std::set<std::string>{"dfiles", "index.html", "zzzzzz.html"}));
    EXPECT_FALSE(fs::exists(uploadPage));
    EXPECT_EQ(ReadFile(uploadDir + "kept.jpg"), "kept");
}

TEST_F(PublisherTest, PicturesGetASmallPreviewAndOnesThatDoNotDecodeNone) {
    // Noise, so the first JPEG quality tried makes a preview over the limit.
    QImage noise(1200, 900, QImage::Format_RGB32);
    std::mt19937 random(7);
    for (int y = 0; y < noise.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(noise.scanLine(y));
        for (int x = 0; x < noise.width(); ++x)
            line[x] = 0xFF000000u | (random() & 0xFFFFFFu);
    }
    const std::string photo = pickDir + "photo.jpg";
    ASSERT_TRUE(noise.save(QString::fromStdString(photo), "JPEG", 95));
    const std::string broken = Chosen("broken.jpg", std::string(5000, '\x5a'));
    const std::string text = Chosen("notes.txt", "not a picture");

    // As the window publishes: the list first, the previews after it.
    int listed = -1;
    publisher.StartPublishing({photo, broken, text},
                              {{},
                               [&](int n) { listed = n; },
                               [](const std::string& message) { ADD_FAILURE() << message; }});
    ASSERT_TRUE(ProcessEventsUntil([&] { return !publisher.PublishedPreviews().empty(); }));
    EXPECT_EQ(listed, 3);
    ASSERT_EQ(publisher.PublishedPreviews().size(), 1u);
    const std::string preview = publisher.PublishedPreviews()[0];
    EXPECT_EQ(preview.rfind(appcore::PreviewFolder(downloadDir), 0), 0u) << preview;
    EXPECT_LE(fs::file_size(preview), std::uintmax_t(appcore::PreviewMaxBytes));
    QImageReader reader(QString::fromStdString(preview));
    EXPECT_EQ(reader.format(), QByteArray("jpeg"));
    EXPECT_EQ(reader.read().size(), QSize(320, 240));
    // The copies are what they were, and the archive of them sees no folder.
    EXPECT_EQ(Names(downloadDir),
              (std::set<std::string>{"broken.jpg", "notes.txt", "photo.jpg", "previews"}));
    // Only the picture's entry changed: its preview above the Open button.
    const std::string entry = htmtemplate::FillFileEntry(photo, "photo.jpg");
    const std::size_t button = entry.rfind("<tr>");
    const std::string withPreview =
        entry.substr(0, button) +
        htmtemplate::PreviewRow("dfiles/previews/" + misc::ExtractFileName(preview), 320, 240) +
        "\r\n" + entry.substr(button);
    EXPECT_EQ(ReadFile(fragment),
              withPreview + "\r\n" + Fragment({{broken, "broken.jpg"}, {text, "notes.txt"}}));

    publisher.WithdrawPublication();
    EXPECT_FALSE(fs::exists(preview));
    EXPECT_TRUE(publisher.PublishedPreviews().empty());
}
