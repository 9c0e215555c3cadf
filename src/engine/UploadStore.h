#pragma once

// Where uploads live until they are complete. Bytes are staged in a folder
// that is not served; a file appears in the upload folder only once it is
// whole and flushed, under a name no other file has, and stays locked until
// the engine lets go of it, so the watcher never takes a partial file.
// Thread-safe: requests on several server threads share one store.

#include "platform/platform.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// The one name in the upload folder that the engine serves (the folder's
// default page); an upload never takes it.
inline constexpr std::string_view UploadFolderPage = "index.html";

enum class UploadError {
    None,
    BadRequest,     // a name that cleans to nothing, a size that does not match
    UnknownUpload,  // no resumable upload of that id
    OffsetMismatch, // a chunk that does not start where the staged bytes end
    TooLarge,       // more bytes than announced
    DiskFull,       // no room for the announced size, or a write failed
    TooMany,        // too many unfinished uploads at once, or from one address
    Failed          // the file system refused (for example no upload folder)
};

class UploadStore {
  public:
    using Clock = std::chrono::steady_clock;
    // How long staged bytes of an unfinished resumable upload wait for the
    // next chunk.
    static constexpr std::chrono::hours ResumeWindow{1};
    // How long an upload that has received no byte yet keeps its place.
    static constexpr std::chrono::minutes EmptyUploadWindow{2};
    // When every place is taken, a new upload from an address that holds
    // fewer places than another takes the place of that address's upload
    // idle longest (see BeginChunk).
    static constexpr std::size_t MaxOpenUploads = 256;
    // A phone's page sends a few files at a time; this leaves room for
    // several phones behind one address, and for everyone else when one
    // client tries to take every place.
    static constexpr std::size_t MaxOpenUploadsPerAddress = 32;
    // An unfinished upload keeps the room it announced while a chunk of it
    // arrives and for this long after (the page's next chunk follows at
    // once); then the room goes back until it resumes.
    static constexpr std::chrono::seconds DefaultProgressWindow{20};

    // Both folders end in "/". The staging folder is created and emptied by
    // PrepareStaging.
    UploadStore(std::string stagingDir, std::string uploadDir,
                std::chrono::seconds progressWindow = DefaultProgressWindow);
    // Removes every staged file of uploads that did not finish.
    ~UploadStore();
    UploadStore(const UploadStore&) = delete;
    UploadStore& operator=(const UploadStore&) = delete;

    // Creates the staging and upload folders and removes every staged file
    // left by an earlier run. False when the staging folder cannot be used.
    bool PrepareStaging();

    // True when the disk holding the staging folder has room for bytes more
    // from client besides what accepted uploads announced and have not sent
    // yet (or its free space is unknown). What other addresses announced
    // counts up to half the free space per address: one address cannot hold
    // the disk against everyone else by announcing sizes it never sends.
    bool HasRoomFor(std::int64_t bytes, std::string_view client = {});

    // ----- resumable uploads

    struct Progress {
        std::int64_t offset = 0;
        std::int64_t size = 0;
    };
    // How far the upload of that id has come; nullopt when none is known.
    std::optional<Progress> Query(const std::string& id);

    class Chunk;
    struct ChunkStart {
        std::unique_ptr<Chunk> chunk; // set when error is None
        UploadError error = UploadError::None;
        std::int64_t offset = 0; // the staged size, for OffsetMismatch
    };
    // Claims the upload of that id for one request's body, starting it when
    // offset is 0 and none exists: then client (the sender's address) may
    // have at most MaxOpenUploadsPerAddress unfinished uploads. What the
    // upload has still to receive is reserved on the disk while it makes
    // progress (see DefaultProgressWindow); a claim after the reservation
    // lapsed reserves again, DiskFull (staged bytes kept) when short. A later
    // claim supersedes an earlier one (a phone resuming while its dropped
    // connection has not yet timed out). bodyLength, when known, is checked
    // against the announced size.
    ChunkStart BeginChunk(const std::string& id, const std::string& rawName, std::int64_t size,
                          std::int64_t offset, std::optional<std::int64_t> bodyLength,
                          std::string_view client = {});
    // Cancels the upload and removes its staged bytes; false when unknown.
    bool Cancel(const std::string& id);
    // Removes unfinished uploads that received nothing for ResumeWindow, and
    // those that never received a byte for EmptyUploadWindow.
    void SweepExpired(Clock::time_point now);

    // ----- multipart uploads

    class Batch;
    struct BatchStart {
        std::unique_ptr<Batch> batch; // set when error is None
        UploadError error = UploadError::None;
    };
    // The files of one multipart request; they appear only if all arrive.
    // announcedBytes (the body's length, when known) is reserved on the disk
    // while the batch lives: DiskFull when it does not fit.
    BatchStart NewBatch(std::optional<std::int64_t> announcedBytes = std::nullopt,
                        std::string_view client = {});

  private:
    struct Upload;
    friend class Chunk;
    friend class Batch;

    // Moves a complete, flushed staged file into the upload folder under the
    // first free numbered form of name. The caller keeps the staged file open
    // and locked across the move. The final name, or nullopt.
    std::optional<std::string> MoveIntoUploads(const std::string& stagedPath,
                                               const std::string& name);
    std::string NewBatchPath();
    void Forget(const std::shared_ptr<Upload>& upload);
    // With mutex_ held: room for bytes from client besides every reservation
    // but that of except (whose own mutex the caller holds).
    bool HasRoomForLocked(std::int64_t bytes, std::string_view client, const Upload* except);
    // With mutex_ and upload's mutex held: whether it still holds its room.
    bool Reserving(const Upload& upload, Clock::time_point now) const;
    // With mutex_ held, every place taken: frees the place idle longest of
    // the address holding the most places, when that is more than one above
    // held (what client holds). False when there is none to free.
    bool FreePlaceFor(std::string_view client, std::size_t held);
    // Gives back up to bytes of a batch's reservation.
    void ReleaseBatchReservation(const std::string& client, std::int64_t& reserved,
                                 std::int64_t bytes);

    const std::string stagingDir_;
    const std::string uploadDir_;
    const std::chrono::seconds progressWindow_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Upload>> uploads_;
    std::uint64_t nextOwner_ = 1;
    std::uint64_t nextStagedFile_ = 1; // numbers the staged files
    // What open batches announced and not yet wrote, by address.
    std::map<std::string, std::int64_t, std::less<>> batchReserved_;
};

// One request's body appended to a resumable upload.
class UploadStore::Chunk {
  public:
    ~Chunk();
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;

    // Appends body bytes. Once an error is returned later bytes are ignored
    // and Finish reports the same error.
    UploadError Write(std::span<const char> data);
    // The last-write time the file gets once complete (the phone's date of
    // it); without one it keeps the time it arrived.
    void KeepDate(std::chrono::system_clock::time_point date);

    struct Result {
        UploadError error = UploadError::None;
        std::int64_t offset = 0;
        bool done = false;
        std::string finalName; // set when done
    };
    // The body is complete: when the staged bytes reach the announced size
    // the file is flushed and moved into the upload folder.
    Result Finish();

  private:
    friend class UploadStore;
    Chunk(UploadStore& store, std::shared_ptr<Upload> upload, std::uint64_t owner);
    void Fail(UploadError error);

    UploadStore& store_;
    std::shared_ptr<Upload> upload_;
    std::uint64_t owner_;
    UploadError error_ = UploadError::None;
};

// The files of one multipart request.
class UploadStore::Batch {
  public:
    // Removes every staged file that was not committed.
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // Starts the next file; ends the current one first.
    UploadError BeginPart(std::string_view rawName);
    // The last-write time the current file gets (see Chunk::KeepDate).
    void KeepPartDate(std::chrono::system_clock::time_point date);
    UploadError Write(std::span<const char> data);
    // Ends the current file (flushes it); nothing when none is open.
    UploadError EndPart();

    struct Result {
        UploadError error = UploadError::None;
        std::vector<std::string> names;
    };
    // The whole body arrived: moves every file into the upload folder.
    Result Commit();
    std::size_t PartCount() const { return parts_.size(); }

  private:
    friend class UploadStore;
    Batch(UploadStore& store, std::string_view client) : store_(store), client_(client) {}
    void RemoveStaged();

    struct Part {
        std::string name;
        std::string stagedPath;
        // Held from its first byte to its move, so no scanner or indexer
        // can take it in between (the first parts of a batch; a batch of
        // more closes the rest and opens them again to move them).
        platform::LockedFile file;
    };
    UploadStore& store_;
    const std::string client_;
    std::vector<Part> parts_;
    platform::LockedFile current_;
    std::optional<std::chrono::system_clock::time_point> currentDate_;
    std::int64_t currentSize_ = 0;
    std::int64_t writebackFrom_ = 0;
    std::int64_t reserved_ = 0; // of the announced bytes, those not written yet
    UploadError error_ = UploadError::None;
};

} // namespace engine
