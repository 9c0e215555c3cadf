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

enum class UploadError {
    None,
    BadRequest,     // a name that cleans to nothing, a size that does not match
    UnknownUpload,  // no resumable upload of that id
    OffsetMismatch, // a chunk that does not start where the staged bytes end
    TooLarge,       // more bytes than announced
    DiskFull,       // no room for the announced size, or a write failed
    TooMany,        // too many unfinished uploads at once
    Failed          // the file system refused (for example no upload folder)
};

class UploadStore {
  public:
    using Clock = std::chrono::steady_clock;
    // How long staged bytes of an unfinished resumable upload wait for the
    // next chunk.
    static constexpr std::chrono::hours ResumeWindow{1};
    static constexpr std::size_t MaxOpenUploads = 256;

    // Both folders end in "/". The staging folder is created and emptied by
    // PrepareStaging.
    UploadStore(std::string stagingDir, std::string uploadDir);
    // Removes every staged file of uploads that did not finish.
    ~UploadStore();
    UploadStore(const UploadStore&) = delete;
    UploadStore& operator=(const UploadStore&) = delete;

    // Creates the staging and upload folders and removes every staged file
    // left by an earlier run. False when the staging folder cannot be used.
    bool PrepareStaging();

    // True when the disk holding the staging folder has room for bytes more
    // (or its free space is unknown).
    bool HasRoomFor(std::int64_t bytes) const;

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
    // offset is 0 and none exists. A later claim supersedes an earlier one
    // (a phone resuming while its dropped connection has not yet timed out).
    // bodyLength, when known, is checked against the announced size.
    ChunkStart BeginChunk(const std::string& id, const std::string& rawName, std::int64_t size,
                          std::int64_t offset, std::optional<std::int64_t> bodyLength);
    // Cancels the upload and removes its staged bytes; false when unknown.
    bool Cancel(const std::string& id);
    // Removes unfinished uploads that received nothing for ResumeWindow.
    void SweepExpired(Clock::time_point now);

    // ----- multipart uploads

    class Batch;
    // The files of one multipart request; they appear only if all arrive.
    std::unique_ptr<Batch> NewBatch();

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

    const std::string stagingDir_;
    const std::string uploadDir_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Upload>> uploads_;
    std::uint64_t nextOwner_ = 1;
    std::uint64_t nextBatchFile_ = 1;
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
    explicit Batch(UploadStore& store) : store_(store) {}
    void RemoveStaged();

    struct Part {
        std::string name;
        std::string stagedPath;
    };
    UploadStore& store_;
    std::vector<Part> parts_;
    platform::LockedFile current_;
    std::int64_t currentSize_ = 0;
    std::int64_t writebackFrom_ = 0;
    UploadError error_ = UploadError::None;
};

} // namespace engine
