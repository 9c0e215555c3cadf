#pragma once

// Phone-to-PC receiving: the engine stores each upload in the upload folder;
// every tick of the window's one-second timer runs one pass over that folder
// which moves every finished upload it has not handled yet into the user's
// receiving folder under a free name. A record-only pass at start-up marks
// the files already lying there as handled, so they stay where they are.
// Moves into a receiving folder on another file system copy the whole file;
// they run on a worker thread so the window stays live meanwhile.

#include "app/core/BackgroundJob.h"
#include "platform/platform.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace appcore {

// The local date and time packed the FAT way (date in the high 16 bits:
// year - 1980, month, day; time in the low 16: hour, minute, second / 2),
// read as a signed 32-bit number. Years outside 1980 to 2107 are clamped.
std::int32_t PackFatDateTime(const platform::LocalDateTime& local);

// The key under which an upload is remembered: name, "|", and the packed
// local last-write time in signed decimal ("IMG_0001.jpg|1325625508").
std::string UploadKey(const std::string& name, std::chrono::system_clock::time_point lastWrite);

// The key folded for comparison without regard to letter case: UTF-8 letters
// are case-folded, bytes that are not valid UTF-8 are kept as they are.
std::string FoldKeyCase(const std::string& key);

// Places something at a free name near wanted without ever replacing an
// entry: tries MakeUniqueName(wanted) first and, when another program takes
// that name before place() gets to it, the next free "(n)" name. place gets
// the target and says whether it succeeded. Returns the target used, nullopt
// when place failed for any other reason.
std::optional<std::string> PlaceUnderFreeName(const std::string& wanted,
                                              const std::function<bool(const std::string&)>& place);

// Moves the upload at source to MakeUniqueName(wanted), never replacing a
// file and never leaving a partial one. Returns the path it landed at,
// nullopt when it stayed where it was.
std::optional<std::string> MoveUpload(const std::string& source, const std::string& wanted);

// How long an upload whose move has failed `failures` times in a row waits
// before it is tried again: 1, 2, 4 ... seconds, at most 60.
std::chrono::seconds MoveRetryDelay(int failures);

// The watcher's state for one run: the keys of the uploads handled so far
// and the scan-in-progress flag.
class TUploadWatcher {
  public:
    // Gives the receiving folder (with its trailing delimiter) as it is at
    // the moment of each move, so a change between two uploads counts.
    using ReceiveDirProvider = std::function<std::string()>;
    // The time that the retries of failed moves are measured by.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    explicit TUploadWatcher(Clock clock = {});
    // Lets moves under way finish: the window is gone by then, and an upload
    // left in the upload folder would never be moved by a later run.
    ~TUploadWatcher();
    TUploadWatcher(const TUploadWatcher&) = delete;
    TUploadWatcher& operator=(const TUploadWatcher&) = delete;

    // One pass over folder. With move false (the start-up pass) every free
    // file is recorded and left in place; with move true every free file not
    // yet seen (or seen and moved out, and now there again) is moved into the receiving folder and
    // recorded once it has arrived there, so a failed move is tried again on a later pass, after
    // MoveRetryDelay (at once when the receiving folder has changed). Moves to
    // another file system are handed to a worker; the pass counts as under way
    // until they have ended, and their outcome is recorded on this thread from
    // its event loop.
    void ScanUploadFolder(const std::string& folder, bool move,
                          const ReceiveDirProvider& receiveDir);

    // The timer's tick: a moving pass unless a pass is under way. True when
    // the tick ran a pass.
    bool TimerTick(const std::string& uploadDir, const ReceiveDirProvider& receiveDir);

    // True while a pass runs, including its moves on the worker.
    bool ScanInProgress() const { return scanInProgress_ || mover_.Running(); }
    // The direct-mode URL step clears the flag as it enables the timer; moves
    // still on the worker keep the pass under way.
    void ClearScanInProgress() { scanInProgress_ = false; }
    // True while uploads are being copied to another file system.
    bool MovingAcross() const { return mover_.Running(); }
    // Waits for the moves on the worker and records their outcome.
    void FinishMoves();

    // Told the path of each upload a moving pass has placed in the
    // receiving folder.
    std::function<void(const std::string& landedPath)> OnArrival;

    // The keys in the order they were added.
    const std::vector<std::string>& SeenUploads() const { return seenUploads_; }
    // True when the key was recorded, letter case aside.
    bool HasSeen(const std::string& key) const;

    // Forgets every key (the clean-up at exit).
    void Release();

  private:
    struct TMove {
        std::string source;
        std::string wanted; // receiving folder + the upload's name
        std::string key;
        std::string folder; // the receiving folder it was meant for
    };
    struct TRetry {
        int failures = 0;
        std::chrono::steady_clock::time_point next;
        std::string folder;
    };

    void Record(const std::string& key);
    // Records a landed move, or holds a failed one back for a while.
    void MoveEnded(const TMove& move, const std::optional<std::string>& landed);
    bool HeldBack(const std::string& key, const std::string& folder) const;
    void CollectMoves();

    Clock clock_;
    std::vector<std::string> seenUploads_;
    // The folded keys, so each lookup is one hash probe rather than a walk
    // through every key of the run.
    std::unordered_set<std::string> foldedKeys_;
    // The folded keys of uploads moved out of the folder: a file with such
    // a key that appears there again is a new upload.
    std::unordered_set<std::string> movedOut_;
    // Failed moves by folded key, until they land.
    std::unordered_map<std::string, TRetry> retries_;
    bool scanInProgress_ = false;
    // The moves on the worker and, once it has ended, which of them landed.
    std::vector<TMove> moving_;
    std::vector<std::optional<std::string>> landed_; // where each landed
    TBackgroundJob mover_;                           // last: ended before the members it writes go
};

} // namespace appcore
