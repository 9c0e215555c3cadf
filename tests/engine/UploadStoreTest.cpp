#include "engine/UploadStore.h"

#include "EngineHarness.h"
#include "platform/platform.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <thread>

using engine::UploadError;
using engine::UploadStore;
using enginetest::FileNames;
using enginetest::Pattern;
using enginetest::ReadFile;
using enginetest::TempFolder;
using enginetest::WriteFile;

namespace {

class UploadStoreTest : public ::testing::Test {
  protected:
    TempFolder folder;
    std::string staging = (folder.Path() / "staging").string() + "/";
    std::string uploads = (folder.Path() / "wdoc/u/ufiles").string() + "/";
    UploadStore store{staging, uploads};

    void SetUp() override { ASSERT_TRUE(store.PrepareStaging()); }

    std::span<const char> Bytes(const std::string& text) { return {text.data(), text.size()}; }
};

} // namespace

TEST_F(UploadStoreTest, StartingRemovesWhatAnEarlierRunStaged) {
    WriteFile(staging + "r-old.part", "left over");
    WriteFile(uploads + "kept.jpg", "a finished upload");
    UploadStore again(staging, uploads);
    ASSERT_TRUE(again.PrepareStaging());
    EXPECT_TRUE(FileNames(staging).empty());
    EXPECT_EQ(FileNames(uploads), std::vector<std::string>{"kept.jpg"});
}

TEST_F(UploadStoreTest, ResumableUploadInChunksAppearsOnlyWhenComplete) {
    const std::string content = Pattern(10000, 1);
    auto first = store.BeginChunk("id1", "clip.mp4", 10000, 0, 4000);
    ASSERT_EQ(first.error, UploadError::None);
    EXPECT_EQ(first.chunk->Write(Bytes(content.substr(0, 4000))), UploadError::None);
    const auto partial = first.chunk->Finish();
    EXPECT_EQ(partial.error, UploadError::None);
    EXPECT_EQ(partial.offset, 4000);
    EXPECT_FALSE(partial.done);
    first.chunk.reset();
    EXPECT_TRUE(FileNames(uploads).empty());

    // The staged file is locked while it is being written.
    ASSERT_EQ(FileNames(staging).size(), 1u);
    EXPECT_FALSE(platform::TryOpenExclusive(staging + FileNames(staging)[0]));

    const auto progress = store.Query("id1");
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->offset, 4000);
    EXPECT_EQ(progress->size, 10000);

    auto second = store.BeginChunk("id1", "clip.mp4", 10000, 4000, std::nullopt);
    ASSERT_EQ(second.error, UploadError::None);
    EXPECT_EQ(second.chunk->Write(Bytes(content.substr(4000))), UploadError::None);
    const auto done = second.chunk->Finish();
    EXPECT_TRUE(done.done);
    EXPECT_EQ(done.finalName, "clip.mp4");
    EXPECT_EQ(ReadFile(uploads + "clip.mp4"), content);
    EXPECT_TRUE(platform::TryOpenExclusive(uploads + "clip.mp4"));
    EXPECT_TRUE(FileNames(staging).empty());
    EXPECT_FALSE(store.Query("id1"));
}

TEST_F(UploadStoreTest, ChunksMustContinueWhereTheStagedBytesEnd) {
    auto start = store.BeginChunk("id", "a.bin", 100, 0, std::nullopt);
    ASSERT_EQ(start.error, UploadError::None);
    start.chunk->Write(Bytes(std::string(30, 'x')));
    start.chunk.reset();

    const auto wrong = store.BeginChunk("id", "a.bin", 100, 50, std::nullopt);
    EXPECT_EQ(wrong.error, UploadError::OffsetMismatch);
    EXPECT_EQ(wrong.offset, 30);
    EXPECT_EQ(store.BeginChunk("id", "a.bin", 100, 0, std::nullopt).error,
              UploadError::OffsetMismatch);
    EXPECT_EQ(store.BeginChunk("id", "a.bin", 200, 30, std::nullopt).error,
              UploadError::BadRequest);
    EXPECT_EQ(store.BeginChunk("id", "a.bin", 100, 30, 71).error, UploadError::TooLarge);
    EXPECT_EQ(store.BeginChunk("other", "a.bin", 100, 30, std::nullopt).error,
              UploadError::UnknownUpload);
    EXPECT_EQ(store.BeginChunk("id2", "..", 100, 0, std::nullopt).error, UploadError::BadRequest);

    // Bytes past the announced size are refused, and what was staged stays.
    auto over = store.BeginChunk("id", "a.bin", 100, 30, std::nullopt);
    ASSERT_EQ(over.error, UploadError::None);
    EXPECT_EQ(over.chunk->Write(Bytes(std::string(71, 'y'))), UploadError::TooLarge);
    EXPECT_EQ(over.chunk->Finish().error, UploadError::TooLarge);
    over.chunk.reset();
    EXPECT_EQ(store.Query("id")->offset, 30);
}

TEST_F(UploadStoreTest, ALaterClaimSupersedesAStalledOne) {
    auto stalled = store.BeginChunk("id", "a.bin", 10, 0, std::nullopt);
    ASSERT_EQ(stalled.error, UploadError::None);
    stalled.chunk->Write(Bytes("abc"));
    // The phone resumes while its dropped connection still lingers.
    auto resumed = store.BeginChunk("id", "a.bin", 10, 3, std::nullopt);
    ASSERT_EQ(resumed.error, UploadError::None);
    EXPECT_EQ(stalled.chunk->Write(Bytes("zzz")), UploadError::OffsetMismatch);
    EXPECT_EQ(resumed.chunk->Write(Bytes("defghij")), UploadError::None);
    stalled.chunk.reset();
    EXPECT_TRUE(resumed.chunk->Finish().done);
    EXPECT_EQ(ReadFile(uploads + "a.bin"), "abcdefghij");
}

TEST_F(UploadStoreTest, EmptyFileAndCancel) {
    auto empty = store.BeginChunk("e", "empty.txt", 0, 0, 0);
    ASSERT_EQ(empty.error, UploadError::None);
    EXPECT_TRUE(empty.chunk->Finish().done);
    EXPECT_EQ(ReadFile(uploads + "empty.txt"), "");

    auto cancelled = store.BeginChunk("c", "c.bin", 10, 0, std::nullopt);
    cancelled.chunk->Write(Bytes("12345"));
    cancelled.chunk.reset();
    EXPECT_TRUE(store.Cancel("c"));
    EXPECT_FALSE(store.Cancel("c"));
    EXPECT_FALSE(store.Query("c"));
    EXPECT_TRUE(FileNames(staging).empty());
}

TEST_F(UploadStoreTest, UnfinishedUploadsExpireAfterTheResumeWindow) {
    auto idle = store.BeginChunk("idle", "a.bin", 10, 0, std::nullopt);
    idle.chunk->Write(Bytes("12"));
    idle.chunk.reset();
    auto busy = store.BeginChunk("busy", "b.bin", 10, 0, std::nullopt);
    busy.chunk->Write(Bytes("12"));

    const auto now = UploadStore::Clock::now();
    store.SweepExpired(now + std::chrono::minutes(59));
    EXPECT_TRUE(store.Query("idle"));
    store.SweepExpired(now + std::chrono::minutes(61));
    EXPECT_FALSE(store.Query("idle"));
    // One still receiving is kept.
    EXPECT_TRUE(store.Query("busy"));
    EXPECT_EQ(FileNames(staging).size(), 1u);
}

TEST_F(UploadStoreTest, SameNamesNeverReplaceEachOther) {
    WriteFile(uploads + "IMG_0001.jpg", "already here");
    for (int i = 0; i < 3; ++i) {
        auto batch = store.NewBatch().batch;
        ASSERT_EQ(batch->BeginPart("IMG_0001.jpg"), UploadError::None);
        batch->Write(Bytes("new " + std::to_string(i)));
        const auto result = batch->Commit();
        ASSERT_EQ(result.error, UploadError::None);
        EXPECT_EQ(result.names,
                  std::vector<std::string>{"IMG_0001(" + std::to_string(i + 1) + ").jpg"});
    }
    EXPECT_EQ(ReadFile(uploads + "IMG_0001.jpg"), "already here");
    EXPECT_EQ(ReadFile(uploads + "IMG_0001(3).jpg"), "new 2");
}

TEST_F(UploadStoreTest, ABatchNotCommittedLeavesNothing) {
    {
        auto batch = store.NewBatch().batch;
        ASSERT_EQ(batch->BeginPart("one.txt"), UploadError::None);
        batch->Write(Bytes("1"));
        ASSERT_EQ(batch->BeginPart("two.txt"), UploadError::None);
        batch->Write(Bytes("2"));
        EXPECT_EQ(FileNames(staging).size(), 2u);
    }
    EXPECT_TRUE(FileNames(staging).empty());
    EXPECT_TRUE(FileNames(uploads).empty());

    auto bad = store.NewBatch().batch;
    ASSERT_EQ(bad->BeginPart("fine.txt"), UploadError::None);
    EXPECT_EQ(bad->BeginPart("../.."), UploadError::BadRequest);
    EXPECT_EQ(bad->Commit().error, UploadError::BadRequest);
    EXPECT_TRUE(FileNames(staging).empty());
    EXPECT_TRUE(FileNames(uploads).empty());
}

TEST_F(UploadStoreTest, ConcurrentSameNamedUploadsGetDistinctFiles) {
    constexpr int Count = 8;
    std::vector<std::thread> threads;
    for (int i = 0; i < Count; ++i) {
        threads.emplace_back([this, i] {
            auto start = store.BeginChunk("id" + std::to_string(i), "same.jpg", 1000, 0, 1000);
            ASSERT_EQ(start.error, UploadError::None);
            const std::string content = Pattern(1000, static_cast<unsigned>(i));
            start.chunk->Write({content.data(), content.size()});
            EXPECT_TRUE(start.chunk->Finish().done);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto names = FileNames(uploads);
    ASSERT_EQ(names.size(), static_cast<std::size_t>(Count));
    std::set<std::string> contents;
    for (const auto& name : names) {
        contents.insert(ReadFile(uploads + name));
    }
    EXPECT_EQ(contents.size(), static_cast<std::size_t>(Count));
}

TEST_F(UploadStoreTest, NoRoomForTheAnnouncedSize) {
    const auto free = platform::FreeSpace(staging);
    ASSERT_TRUE(free);
    EXPECT_EQ(store.BeginChunk("big", "big.bin", *free + (1LL << 40), 0, std::nullopt).error,
              UploadError::DiskFull);
    EXPECT_FALSE(store.HasRoomFor(*free + (1LL << 40)));
    EXPECT_TRUE(store.HasRoomFor(1));
    EXPECT_TRUE(FileNames(staging).empty());
}

TEST_F(UploadStoreTest, FoldersRemovedWhileRunningAreMadeAgain) {
    std::filesystem::remove_all(staging);
    std::filesystem::remove_all(uploads);
    auto start = store.BeginChunk("id", "back.txt", 4, 0, 4);
    ASSERT_EQ(start.error, UploadError::None);
    start.chunk->Write(Bytes("back"));
    EXPECT_TRUE(start.chunk->Finish().done);
    EXPECT_EQ(ReadFile(uploads + "back.txt"), "back");

    std::filesystem::remove_all(staging);
    auto batch = store.NewBatch().batch;
    ASSERT_EQ(batch->BeginPart("form.txt"), UploadError::None);
    batch->Write(Bytes("form"));
    EXPECT_EQ(batch->Commit().names, std::vector<std::string>{"form.txt"});
}

TEST_F(UploadStoreTest, UploadsWithoutBytesGiveTheirPlaceBackWithinMinutes) {
    store.BeginChunk("empty", "a.bin", 10, 0, 0).chunk.reset();
    auto withBytes = store.BeginChunk("bytes", "b.bin", 10, 0, std::nullopt);
    withBytes.chunk->Write(Bytes("12"));
    withBytes.chunk.reset();
    // A request still sending its first chunk holds its place.
    auto claimed = store.BeginChunk("claimed", "c.bin", 10, 0, std::nullopt);

    const auto now = UploadStore::Clock::now();
    store.SweepExpired(now + UploadStore::EmptyUploadWindow - std::chrono::seconds(5));
    EXPECT_TRUE(store.Query("empty"));
    store.SweepExpired(now + UploadStore::EmptyUploadWindow + std::chrono::seconds(1));
    EXPECT_FALSE(store.Query("empty"));
    EXPECT_TRUE(store.Query("bytes"));
    EXPECT_TRUE(store.Query("claimed"));
    EXPECT_LE(UploadStore::EmptyUploadWindow, std::chrono::minutes(5));
}

TEST_F(UploadStoreTest, PlacesAreCountedPerAddress) {
    const auto start = [&](const std::string& id, const std::string& client) {
        return store.BeginChunk(id, "a.bin", 10, 0, 0, client).error;
    };
    for (std::size_t i = 0; i < UploadStore::MaxOpenUploadsPerAddress; ++i) {
        ASSERT_EQ(start("a" + std::to_string(i), "10.0.0.2"), UploadError::None);
    }
    EXPECT_EQ(start("one-more", "10.0.0.2"), UploadError::TooMany);
    // A chunk of an upload it already holds is no new place.
    EXPECT_EQ(start("a0", "10.0.0.2"), UploadError::None);
    EXPECT_EQ(start("other", "10.0.0.3"), UploadError::None);

    // Many addresses together still meet the overall limit.
    std::size_t open = UploadStore::MaxOpenUploadsPerAddress + 1;
    for (int client = 4; open < UploadStore::MaxOpenUploads; ++client) {
        for (std::size_t i = 0;
             i < UploadStore::MaxOpenUploadsPerAddress && open < UploadStore::MaxOpenUploads;
             ++i, ++open) {
            ASSERT_EQ(start("c" + std::to_string(open), "10.0.1." + std::to_string(client)),
                      UploadError::None);
        }
    }
    // Every place is taken: a newcomer takes the place idle longest of the
    // address holding the most ("a0" was claimed again since).
    EXPECT_EQ(start("last", "10.0.2.1"), UploadError::None);
    EXPECT_FALSE(store.Query("a1"));
    EXPECT_TRUE(store.Query("a0"));
    // No address holds more than one above 10.0.0.2's 31 now: nothing to take.
    EXPECT_EQ(start("a1", "10.0.0.2"), UploadError::TooMany);
    EXPECT_TRUE(store.Cancel("other"));
    EXPECT_EQ(start("a1", "10.0.0.2"), UploadError::None);
}

TEST_F(UploadStoreTest, AnnouncedSizesAreReservedUntilTheUploadEnds) {
    const auto free = platform::FreeSpace(staging);
    ASSERT_TRUE(free);
    // Each fits on the disk alone, no two together.
    const std::int64_t size = *free / 10 * 6;
    ASSERT_EQ(store.BeginChunk("first", "a.bin", size, 0, 0).error, UploadError::None);
    EXPECT_EQ(store.BeginChunk("second", "b.bin", size, 0, 0).error, UploadError::DiskFull);
    EXPECT_EQ(store.NewBatch(size).error, UploadError::DiskFull);
    EXPECT_FALSE(store.HasRoomFor(size));
    // Starting over with another size gives back the first one's room.
    EXPECT_EQ(store.BeginChunk("first", "a.bin", 1, 0, 0).error, UploadError::None);
    auto batch = store.NewBatch(size);
    ASSERT_EQ(batch.error, UploadError::None);
    EXPECT_EQ(store.BeginChunk("second", "b.bin", size, 0, 0).error, UploadError::DiskFull);
    batch.batch.reset();
    EXPECT_EQ(store.BeginChunk("second", "b.bin", size, 0, 0).error, UploadError::None);
    EXPECT_TRUE(store.Cancel("second"));
    EXPECT_TRUE(store.HasRoomFor(size));
}

TEST_F(UploadStoreTest, NoUploadTakesTheUploadFolderPage) {
    auto chunk = store.BeginChunk("page", "index.html", 4, 0, 4);
    chunk.chunk->Write(Bytes("evil"));
    EXPECT_EQ(chunk.chunk->Finish().finalName, "index(1).html");
    auto batch = store.NewBatch().batch;
    ASSERT_EQ(batch->BeginPart("dir/index.html"), UploadError::None);
    EXPECT_EQ(batch->Commit().names, std::vector<std::string>{"index(2).html"});
    EXPECT_FALSE(std::filesystem::exists(uploads + "index.html"));
    // Where names ignore case "Index.html" opens as the page too; elsewhere
    // a name that merely looks alike is not the page.
    auto other = store.NewBatch().batch;
    ASSERT_EQ(other->BeginPart("Index.html"), UploadError::None);
    EXPECT_EQ(
        other->Commit().names,
        std::vector<std::string>{platform::FileNamesIgnoreCase ? "Index(3).html" : "Index.html"});
}

TEST_F(UploadStoreTest, IdsThatDifferOnlyInCaseAreTwoUploads) {
    auto upper = store.BeginChunk("ABC", "upper.txt", 6, 0, std::nullopt);
    ASSERT_EQ(upper.error, UploadError::None);
    ASSERT_EQ(upper.chunk->Write(Bytes("upp")), UploadError::None);
    upper.chunk.reset();
    auto lower = store.BeginChunk("abc", "lower.txt", 3, 0, std::nullopt);
    ASSERT_EQ(lower.error, UploadError::None);
    lower.chunk.reset();
    EXPECT_TRUE(store.Cancel("abc"));
    auto rest = store.BeginChunk("ABC", "upper.txt", 6, 3, 3);
    ASSERT_EQ(rest.error, UploadError::None);
    ASSERT_EQ(rest.chunk->Write(Bytes("er!")), UploadError::None);
    EXPECT_TRUE(rest.chunk->Finish().done);
    EXPECT_EQ(ReadFile(uploads + "upper.txt"), "upper!");
}
