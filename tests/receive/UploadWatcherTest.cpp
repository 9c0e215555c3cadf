#include "app/core/UploadWatcher.h"

#include "ReceiveTestSupport.h"
#include "platform/platform.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/resource.h>

using namespace std::chrono;
using namespace receivetest;
using appcore::TUploadWatcher;

namespace {

// Sets TZ for one test and puts the earlier zone back afterwards.
class ZoneScope {
  public:
    explicit ZoneScope(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            old_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (old_) {
            setenv("TZ", old_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

  private:
    std::optional<std::string> old_;
};

// 3 August 2019, 14:05:08 UTC: an even second, so +1 s stays in its FAT step.
const system_clock::time_point Aug3 = sys_days{2019y / August / 3} + 14h + 5min + 8s;

class UploadWatcherTest : public ::testing::Test {
  protected:
    UploadWatcherTest() : zone_("UTC0") {}

    std::string Upload(const std::string& name, const std::string& content,
                       system_clock::time_point time = Aug3) {
        const std::string path = uploadDir + name;
        WriteFile(path, content);
        SetLastWrite(path, time);
        return path;
    }
    void Pass() {
        watcher.ScanUploadFolder(uploadDir, true, [this] { return receiveDir; });
    }
    void RecordOnlyPass() {
        watcher.ScanUploadFolder(uploadDir, false, [this] { return receiveDir; });
    }
    // Makes the receiving folder's path a file, so every move fails, until
    // Unblock().
    void BlockReceivingFolder() {
        WriteFile(Blocked(), "not a folder");
        receiveDir = Blocked() + "/";
    }
    void Unblock() {
        fs::remove(Blocked());
        fs::create_directory(Blocked());
    }
    std::string Blocked() const { return root.Path("Blocked"); }

    ZoneScope zone_;
    TempFolder root;
    std::string uploadDir = root.Dir("wdoc/u/ufiles");
    std::string receiveDir = root.Dir("Documents/Tessary/20190803");
    // The time the retries of failed moves go by; moved on by hand.
    steady_clock::time_point now{};
    TUploadWatcher watcher{[this] { return now; }};
};

} // namespace

TEST(UploadKeyTest, PacksLocalTimeTheFatWay) {
    EXPECT_EQ(appcore::PackFatDateTime({2019, 8, 3, 14, 5, 9}), 1325625508);
    // Seconds count in two-second steps, rounded down.
    EXPECT_EQ(appcore::PackFatDateTime({2019, 8, 3, 14, 5, 8}), 1325625508);
    EXPECT_EQ(appcore::PackFatDateTime({2019, 8, 3, 14, 5, 10}), 1325625509);
    // From 2044 on the top bit is set and the number is negative.
    EXPECT_EQ(appcore::PackFatDateTime({2044, 1, 1, 0, 0, 0}), -2145320960);
    // Years the format cannot hold are clamped to its range.
    EXPECT_EQ(appcore::PackFatDateTime({1970, 1, 1, 0, 0, 0}),
              appcore::PackFatDateTime({1980, 1, 1, 0, 0, 0}));
    EXPECT_EQ(appcore::PackFatDateTime({1980, 1, 1, 0, 0, 0}), (1 << 21) | (1 << 16));
}

TEST(UploadKeyTest, UsesTheLocalLastWriteTime) {
    const auto utc = sys_days{2019y / August / 3} + 14h + 5min + 9s;
    {
        ZoneScope zone("UTC0");
        EXPECT_EQ(appcore::UploadKey("IMG_0001.jpg", utc), "IMG_0001.jpg|1325625508");
        EXPECT_EQ(appcore::UploadKey("IMG_0001.jpg", utc + 999ms), "IMG_0001.jpg|1325625508");
        EXPECT_EQ(appcore::UploadKey("late.bin", sys_days{2050y / June / 1}),
                  "late.bin|" + std::to_string(appcore::PackFatDateTime({2050, 6, 1, 0, 0, 0})));
        EXPECT_LT(appcore::PackFatDateTime({2050, 6, 1, 0, 0, 0}), 0);
    }
    {
        // Central European summer time is two hours ahead of UTC.
        ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3");
        EXPECT_EQ(appcore::UploadKey("IMG_0001.jpg", utc - 2h), "IMG_0001.jpg|1325625508");
    }
}

TEST(UploadKeyTest, FoldsLetterCaseOnly) {
    EXPECT_EQ(appcore::FoldKeyCase("IMG_0001.JPG|1"), appcore::FoldKeyCase("img_0001.jpg|1"));
    EXPECT_EQ(appcore::FoldKeyCase("\xC3\x84rger.TXT"), appcore::FoldKeyCase("\xC3\xA4rger.txt"));
    EXPECT_EQ(appcore::FoldKeyCase("\xD0\x9C\xD0\x98\xD0\xA0"), "\xD0\xBC\xD0\xB8\xD1\x80");
    EXPECT_NE(appcore::FoldKeyCase("a.jpg|1"), appcore::FoldKeyCase("a.jpg|2"));
    // Bytes that are not UTF-8 stay as they are, so two such names stay apart.
    EXPECT_NE(appcore::FoldKeyCase("a\xFF.jpg"), appcore::FoldKeyCase("a\xFE.jpg"));
    EXPECT_EQ(appcore::FoldKeyCase("A\xFF\xC3"), "a\xFF\xC3");
}

TEST_F(UploadWatcherTest, FileCompleteAtStartIsRecordedAndNeverMoved) {
    Upload("IMG_0001.jpg", "photo");
    RecordOnlyPass();
    ASSERT_EQ(watcher.SeenUploads().size(), 1u);
    EXPECT_EQ(watcher.SeenUploads()[0], appcore::UploadKey("IMG_0001.jpg", Aug3));
    Pass();
    Pass();
    EXPECT_EQ(Names(uploadDir), std::set<std::string>{"IMG_0001.jpg"});
    EXPECT_TRUE(Names(receiveDir).empty());
    EXPECT_FALSE(watcher.ScanInProgress());
}

TEST_F(UploadWatcherTest, LockedFileIsPassedOverUntilReleased) {
    const std::string content(256 * 1024, 'v');
    HeldInChild engine = EngineWriting(uploadDir + "VID_0002.mp4", content);
    ASSERT_TRUE(engine.Holding());
    RecordOnlyPass();
    EXPECT_TRUE(watcher.SeenUploads().empty());
    Pass();
    EXPECT_TRUE(Names(receiveDir).empty());
    EXPECT_TRUE(watcher.SeenUploads().empty());

    engine.Release();
    Pass();
    EXPECT_TRUE(Names(uploadDir).empty());
    EXPECT_EQ(ReadFile(receiveDir + "VID_0002.mp4"), content);
    EXPECT_EQ(watcher.SeenUploads().size(), 1u);
}

TEST_F(UploadWatcherTest, TakenNamesGetNumberedSuffixes) {
    WriteFile(receiveDir + "photo.jpg", "already here");
    Upload("photo.jpg", "first");
    Pass();
    Upload("photo.jpg", "second", Aug3 + 10s);
    Pass();
    EXPECT_EQ(ReadFile(receiveDir + "photo.jpg"), "already here");
    EXPECT_EQ(ReadFile(receiveDir + "photo(1).jpg"), "first");
    EXPECT_EQ(ReadFile(receiveDir + "photo(2).jpg"), "second");
    EXPECT_TRUE(Names(uploadDir).empty());
}

// Uploads keep the phone's date of the file, so the same photo sent again
// comes with the same name and time as the one moved out before it.
TEST_F(UploadWatcherTest, SameNameAndTimeAfterAMoveIsANewUpload) {
    Upload("a.jpg", "first");
    Pass();
    ASSERT_EQ(ReadFile(receiveDir + "a.jpg"), "first");

    Upload("a.jpg", "second", Aug3 + 1s);
    Pass();
    EXPECT_EQ(ReadFile(receiveDir + "a(1).jpg"), "second");
    EXPECT_TRUE(Names(uploadDir).empty());
    EXPECT_EQ(fs::last_write_time(receiveDir + "a(1).jpg"),
              fs::file_time_type::clock::from_sys(Aug3 + 1s));
}

TEST_F(UploadWatcherTest, KeysCompareWithoutLetterCase) {
    Upload("Photo.JPG", "kept at start");
    RecordOnlyPass();
    EXPECT_TRUE(watcher.HasSeen(appcore::UploadKey("photo.jpg", Aug3)));
    EXPECT_FALSE(watcher.HasSeen(appcore::UploadKey("photo.jpg", Aug3 + 2s)));
}

TEST_F(UploadWatcherTest, PassesOverTheDefaultPageFoldersAndBareHiddenFiles) {
    Upload("index.html", "default page");
    Upload("Index.html", "an upload");
    root.Dir("wdoc/u/ufiles/sub");
    fs::create_symlink(uploadDir + "index.html", uploadDir + "link.html");
    Upload(".profile", "dot file, archive bit set");
    const std::string hidden = Upload("hidden.txt", "hidden and nothing else");
    const bool hiddenOnly = platform::SetAttributes(hidden, platform::AttrHidden);
    Pass();

    std::set<std::string> staying{"index.html", "sub", "link.html"};
    std::set<std::string> arrived{"Index.html", ".profile"};
    (hiddenOnly ? staying : arrived).insert("hidden.txt");
    EXPECT_EQ(Names(uploadDir), staying);
    EXPECT_EQ(Names(receiveDir), arrived);
    for (const auto& key : watcher.SeenUploads()) {
        EXPECT_NE(key.rfind(".|", 0), 0u) << key;
        EXPECT_NE(key.rfind("..|", 0), 0u) << key;
    }
    if (!hiddenOnly) {
        GTEST_SKIP() << "file system refuses user.DOSATTRIB: bare hidden file not checked";
    }
}

TEST_F(UploadWatcherTest, ReceivingFolderAsItIsAtEachMove) {
    Upload("one.jpg", "1");
    Pass();
    receiveDir = root.Dir("Pictures/Phone");
    Upload("two.jpg", "2");
    Pass();
    EXPECT_EQ(Names(root.Dir("Documents/Tessary/20190803")), std::set<std::string>{"one.jpg"});
    EXPECT_EQ(Names(receiveDir), std::set<std::string>{"two.jpg"});
}

TEST_F(UploadWatcherTest, TickDuringAPassDoesNothing) {
    Upload("a.jpg", "a");
    Upload("b.jpg", "b");
    int nestedTicks = 0;
    bool flagDuringPass = false;
    const auto provider = [&]() -> std::string {
        flagDuringPass = watcher.ScanInProgress();
        if (watcher.TimerTick(uploadDir, [this] { return receiveDir; })) {
            ++nestedTicks;
        }
        return receiveDir;
    };
    EXPECT_TRUE(watcher.TimerTick(uploadDir, provider));
    EXPECT_TRUE(flagDuringPass);
    EXPECT_EQ(nestedTicks, 0);
    EXPECT_FALSE(watcher.ScanInProgress());
    EXPECT_EQ(Names(receiveDir), (std::set<std::string>{"a.jpg", "b.jpg"}));
}

TEST_F(UploadWatcherTest, FailedMoveIsRetriedUntilTheFileLands) {
    BlockReceivingFolder();
    Upload("IMG_0003.jpg", "keep me");
    Pass();
    now += 1s;
    Pass();
    EXPECT_EQ(ReadFile(uploadDir + "IMG_0003.jpg"), "keep me");
    EXPECT_TRUE(watcher.SeenUploads().empty());

    Unblock();
    now += 2s;
    Pass();
    EXPECT_EQ(ReadFile(Blocked() + "/IMG_0003.jpg"), "keep me");
    EXPECT_TRUE(Names(uploadDir).empty());
    EXPECT_EQ(watcher.SeenUploads().size(), 1u);
}

TEST(MoveRetryDelayTest, DoublesUpToAMinute) {
    EXPECT_EQ(appcore::MoveRetryDelay(1), 1s);
    EXPECT_EQ(appcore::MoveRetryDelay(2), 2s);
    EXPECT_EQ(appcore::MoveRetryDelay(3), 4s);
    EXPECT_EQ(appcore::MoveRetryDelay(6), 32s);
    EXPECT_EQ(appcore::MoveRetryDelay(7), 60s);
    EXPECT_EQ(appcore::MoveRetryDelay(1000000), 60s);
}

TEST_F(UploadWatcherTest, MoveThatKeepsFailingWaitsLongerEachTime) {
    BlockReceivingFolder();
    Upload("VID_0004.mp4", "video");
    // Three failures: the next try waits 4 s.
    Pass();
    now += 1s;
    Pass();
    now += 2s;
    Pass();
    // Fixed now, but the upload is held back until its wait is over.
    Unblock();
    now += 3900ms;
    Pass();
    EXPECT_EQ(Names(uploadDir), std::set<std::string>{"VID_0004.mp4"});
    EXPECT_TRUE(watcher.SeenUploads().empty());
    now += 100ms;
    Pass();
    EXPECT_EQ(ReadFile(Blocked() + "/VID_0004.mp4"), "video");
    EXPECT_EQ(watcher.SeenUploads().size(), 1u);
}

TEST_F(UploadWatcherTest, NewReceivingFolderIsTriedAtOnce) {
    BlockReceivingFolder();
    Upload("a.jpg", "a");
    Pass();
    now += 1s;
    Pass();
    EXPECT_TRUE(watcher.SeenUploads().empty());
    // The user picks another folder: no wait for the earlier one's failures.
    receiveDir = root.Dir("Elsewhere");
    Pass();
    EXPECT_EQ(ReadFile(receiveDir + "a.jpg"), "a");
}

TEST_F(UploadWatcherTest, MoveToAnotherFileSystemRunsOnAWorker) {
    MemoryFolder memory;
    if (!memory.Usable()) {
        GTEST_SKIP() << "no /dev/shm on another file system to move to";
    }
    receiveDir = memory.Dir();
    std::string content(24 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); i += 4096) {
        content[i] = static_cast<char>('a' + (i / 4096) % 26);
    }
    Upload("VID_0005.mp4", content);
    Upload("small.txt", "small");
    EXPECT_TRUE(watcher.TimerTick(uploadDir, [this] { return receiveDir; }));
    // The pass has handed the moves over and is under way until they end:
    // nothing is recorded yet and ticks do nothing.
    EXPECT_TRUE(watcher.ScanInProgress());
    EXPECT_TRUE(watcher.SeenUploads().empty());
    EXPECT_FALSE(watcher.TimerTick(uploadDir, [this] { return receiveDir; }));
    ASSERT_TRUE(ProcessEventsUntil([&] { return !watcher.ScanInProgress(); }));
    EXPECT_EQ(watcher.SeenUploads().size(), 2u);
    EXPECT_TRUE(Names(uploadDir).empty());
    EXPECT_EQ(Names(receiveDir), (std::set<std::string>{"VID_0005.mp4", "small.txt"}));
    EXPECT_EQ(ReadFile(receiveDir + "VID_0005.mp4"), content);
    // Later passes leave everything where it is.
    EXPECT_TRUE(watcher.TimerTick(uploadDir, [this] { return receiveDir; }));
    EXPECT_FALSE(watcher.ScanInProgress());
    EXPECT_EQ(Names(receiveDir).size(), 2u);
}

TEST_F(UploadWatcherTest, FailedMoveToAnotherFileSystemIsNotRecorded) {
    MemoryFolder memory;
    if (!memory.Usable()) {
        GTEST_SKIP() << "no /dev/shm on another file system to move to";
    }
    receiveDir = memory.Dir();
    const std::string content(1 << 20, 'x');
    Upload("clip.mp4", content);
    // A file size limit in a child fails the copy as a full disk would.
    const int status = RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 97;
        }
        watcher.TimerTick(uploadDir, [this] { return receiveDir; });
        watcher.FinishMoves();
        return watcher.SeenUploads().empty() && !watcher.ScanInProgress() ? 0 : 1;
    });
    if (status == 97) {
        GTEST_SKIP() << "cannot set a file size limit here";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(uploadDir + "clip.mp4"), content);
    EXPECT_TRUE(Names(receiveDir).empty());
}

TEST_F(UploadWatcherTest, MissingUploadFolderEndsThePass) {
    // One upload handled while the folder was there: its key stays.
    Upload("first.jpg", "first");
    Pass();
    ASSERT_EQ(watcher.SeenUploads().size(), 1u);
    // Files a pass over the wrong folder would take: the working folder's, as
    // a blank folder path would list them.
    const std::string elsewhere = root.Dir("elsewhere");
    WriteFile(elsewhere + "stray.jpg", "not an upload");
    const fs::path before = fs::current_path();
    fs::current_path(elsewhere);

    fs::remove_all(uploadDir);
    int askedForReceiveDir = 0;
    const auto receive = [&] {
        ++askedForReceiveDir;
        return receiveDir;
    };
    watcher.ScanUploadFolder(uploadDir, true, receive);
    EXPECT_FALSE(watcher.ScanInProgress());
    watcher.ScanUploadFolder("   ", true, receive);
    EXPECT_FALSE(watcher.ScanInProgress());
    fs::current_path(before);

    EXPECT_EQ(askedForReceiveDir, 0);
    ASSERT_EQ(watcher.SeenUploads().size(), 1u);
    EXPECT_EQ(watcher.SeenUploads().front().rfind("first.jpg|", 0), 0u);
    EXPECT_EQ(ReadFile(elsewhere + "stray.jpg"), "not an upload");
    EXPECT_FALSE(fs::exists(receiveDir + "stray.jpg"));
}

TEST_F(UploadWatcherTest, ReleaseForgetsEveryKey) {
    Upload("a.jpg", "a");
    RecordOnlyPass();
    ASSERT_FALSE(watcher.SeenUploads().empty());
    watcher.Release();
    EXPECT_TRUE(watcher.SeenUploads().empty());
    EXPECT_FALSE(watcher.HasSeen(appcore::UploadKey("a.jpg", Aug3)));
}

TEST_F(UploadWatcherTest, MoveTakesTheNextNameWhenOneIsTakenMeanwhile) {
    const std::string source = Upload("clip.mp4", "the upload");
    int calls = 0;
    const auto landed =
        appcore::PlaceUnderFreeName(receiveDir + "clip.mp4", [&](const std::string& target) {
            if (++calls == 1) {
                // Another program takes the free name before the move.
                WriteFile(target, "squatter");
                return platform::MoveFileNoReplace(source, target);
            }
            return platform::MoveFileNoReplace(source, target);
        });
    ASSERT_TRUE(landed.has_value());
    EXPECT_EQ(*landed, receiveDir + "clip(1).mp4");
    EXPECT_EQ(ReadFile(receiveDir + "clip.mp4"), "squatter");
    EXPECT_EQ(ReadFile(receiveDir + "clip(1).mp4"), "the upload");
    EXPECT_EQ(calls, 2);
}

TEST_F(UploadWatcherTest, MoveGivesUpWhenTheFailureIsNotAName) {
    int calls = 0;
    const auto landed = appcore::PlaceUnderFreeName(receiveDir + "x.jpg", [&](const std::string&) {
        ++calls;
        return false;
    });
    EXPECT_FALSE(landed.has_value());
    EXPECT_EQ(calls, 1);
    // A source that has gone stays a failure too.
    EXPECT_FALSE(appcore::MoveUpload(uploadDir + "gone.jpg", receiveDir + "gone.jpg"));
    EXPECT_TRUE(Names(receiveDir).empty());
}

TEST_F(UploadWatcherTest, QuestionMarksBecomeUnderscores) {
    Upload("what?.jpg", "q");
    Pass();
    EXPECT_EQ(Names(receiveDir), std::set<std::string>{"what_.jpg"});
}

TEST_F(UploadWatcherTest, ReceivingIntoTheUploadFolderLeavesTheFileAlone) {
    Upload("a.jpg", "a");
    receiveDir = uploadDir + "../ufiles";
    Pass();
    Pass();
    EXPECT_EQ(Names(uploadDir), std::set<std::string>{"a.jpg"});
    EXPECT_EQ(watcher.SeenUploads().size(), 1u);
}

TEST_F(UploadWatcherTest, OddNamesArriveIntact) {
    const std::set<std::string> names{"\xC3\x9C"
                                      "ber \xE5\x86\x99\xE7\x9C\x9F.jpg",
                                      "-rf & <b>.txt",
                                      "no extension",
                                      "not utf8 \xFF\xFE.bin",
                                      "two..dots..",
                                      "   leading blanks.png"};
    for (const auto& name : names) {
        Upload(name, name);
    }
    Pass();
    EXPECT_TRUE(Names(uploadDir).empty());
    EXPECT_EQ(Names(receiveDir), names);
    for (const auto& name : names) {
        EXPECT_EQ(ReadFile(receiveDir + name), name);
    }
}

TEST_F(UploadWatcherTest, EachPlacedUploadIsToldOnceUnderTheNameItLandedAt) {
    std::vector<std::string> told;
    watcher.OnArrival = [&told](const std::string& path) { told.push_back(path); };
    Upload("early.jpg", "at start");
    RecordOnlyPass();
    WriteFile(receiveDir + "photo.jpg", "already here");
    Upload("photo.jpg", "new");
    // A move that fails is not an arrival; its later success is.
    const std::string blocked = root.Path("Blocked");
    WriteFile(blocked, "not a folder");
    const std::string realReceiveDir = receiveDir;
    receiveDir = blocked + "/";
    Pass();
    EXPECT_TRUE(told.empty());
    receiveDir = realReceiveDir;
    Pass();
    Pass();
    EXPECT_EQ(told, std::vector<std::string>{receiveDir + "photo(1).jpg"});
}
