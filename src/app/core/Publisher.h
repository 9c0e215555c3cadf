#pragma once

// PC-to-phone publishing: copies of the files the user picked go into the
// engine's download folder, and their entries into this run's file-list
// fragment, which the phone's download page shows. A new selection replaces
// the previous one entirely; at exit the publication and the run's pages go.
//
// A "copy" is made the cheapest safe way the file systems allow: a reflink
// (shared blocks, copied on write), else a hard link (the same file under a
// second name), else a real copy of the bytes. Real copies of big files take
// time, so the window has them made on a worker thread.

#include "app/core/BackgroundJob.h"
#include "app/core/PicturePreview.h"
#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace appcore {

class TUploadWatcher;

// The note under the select tile for n published files, two lines joined by
// CR LF ("3 files were transferred to your phone." ...); singular for n <= 1.
std::string DownloadNote(int n);

// The path of this run's file-list fragment: DownloadPageDir + "filelist-" +
// PageKey + ".html".
std::string FileListFragmentPath(const std::string& downloadPageDir, const std::string& pageKey);

// How a published copy was made.
enum class CopyMethod { Reflink, HardLink, Copy };

// Places a copy of the file at source at target, never replacing anything:
// a reflink, else a hard link, else a real copy (told to progress, which may
// abandon it). nullopt when none worked; nothing is left at target then.
std::optional<CopyMethod> PlacePublishedCopy(const std::string& source, const std::string& target,
                                             const platform::CopyProgress& progress = {});

// How far the copies of a selection have come.
struct TPublishProgress {
    int filesDone = 0;   // chosen paths handled so far (placed, passed over or failed)
    int filesPicked = 0; // chosen paths in all
    int percent = 0;     // of the bytes of the chosen files
    bool operator==(const TPublishProgress&) const = default;
};

// The note shown while copies are made ("Copying for your phone: 1 of 3
// files done, 42%").
std::string CopyingNote(const TPublishProgress& progress);

// What the copies of one selection came to.
struct TPlacedSelection {
    // (chosen path as trimmed, full path of its copy), in the order chosen.
    std::vector<std::pair<std::string, std::string>> copies;
    std::vector<CopyMethod> methods; // how each copy was made
};

// The folder of the previews below downloadDir, hidden from the PC's file
// view; its files are served, as the copies are, only to the holder of the
// download page's proof.
std::string PreviewFolder(const std::string& downloadDir);

// Writes the preview of the copy (a picture) into PreviewFolder(downloadDir),
// creating that when the first preview is due; nullopt, with nothing
// written, when the copy is no picture or does not decode.
std::optional<TPreview> MakePreview(const std::string& copy, const std::string& downloadDir);

// MakePreview of each copy in order, until stop is requested.
std::vector<std::optional<TPreview>> MakePreviews(const std::vector<std::string>& copies,
                                                  const std::string& downloadDir,
                                                  std::stop_token stop = {});

// Makes the copies of a selection in downloadDir: passes over blank and
// missing paths, gives each copy a free name ("(n)" when taken) and leaves out
// the copies that failed. Stops early when stop is
// requested; the copy under way is then abandoned without a trace, the ones made before are
// returned.
TPlacedSelection PlaceSelection(const std::vector<std::string>& chosenPaths,
                                const std::string& downloadDir, std::stop_token stop = {},
                                const std::function<void(const TPublishProgress&)>& progress = {});

class TPublisher {
  public:
    // What a publication on the worker tells the window, on the window's
    // thread: progress while copying, then either the number of files listed
    // or the message of a file list that could not be written (the copies
    // made stay recorded then).
    struct TObserver {
        std::function<void(const TPublishProgress&)> progress;
        std::function<void(int listed)> published;
        std::function<void(const std::string& message)> failed;
    };

    // downloadDir: where the copies go (with its trailing delimiter);
    // fragmentPath: this run's file-list fragment.
    TPublisher(std::string downloadDir, std::string fragmentPath);
    // Stops copies under way and removes what they made; the published
    // copies stay (CleanUpAtExit removes them).
    ~TPublisher();
    TPublisher(const TPublisher&) = delete;
    TPublisher& operator=(const TPublisher&) = delete;

    // Publishes the paths the open-file dialog returned, in its order (the
    // window does not call this when the dialog was cancelled). Withdraws
    // the earlier publication first when at least one path is given, skips
    // blank and missing paths, and lists only the files whose copy arrived
    // complete, then adds the previews of the pictures to their entries.
    // Returns how many were listed. Throws misc::FileError when the fragment
    // cannot be written; the copies made stay recorded. Runs on the calling
    // thread.
    int PublishSelectedFiles(const std::vector<std::string>& chosenPaths);

    // The same publication with the copies made on a worker; the calling
    // thread must run an event loop, and observer hears of the outcome there.
    // Once the files are listed, a second worker makes the previews of the
    // pictures and the list is written again with them, so the phone sees
    // the files without waiting for the pictures to be decoded.
    // The earlier publication is forgotten at once and deleted on the worker
    // before the new copies are made. An empty choice tells published(0) at
    // once and changes nothing else.
    void StartPublishing(const std::vector<std::string>& chosenPaths, TObserver observer);

    // True while the copies of a started publication are being made.
    bool Publishing() const { return worker_.Running(); }

    // Deletes every current copy and the fragment and forgets the copies;
    // copies still being made are stopped first and whatever they made is
    // removed. Every failure is swallowed: a copy held open elsewhere stays.
    void WithdrawPublication();

    // The full paths of the current copies, in the order of publication.
    const std::vector<std::string>& PublishedCopies() const { return publishedCopies_; }
    // The full paths of the current previews.
    const std::vector<std::string>& PublishedPreviews() const { return publishedPreviews_; }

    const std::string& DownloadDir() const { return downloadDir_; }
    const std::string& FragmentPath() const { return fragmentPath_; }

  private:
    // Records the copies and lists them; throws misc::FileError as above.
    int Commit(const TPlacedSelection& placed);
    // Records the previews of the current copies (in their order) and lists
    // the file list again with them; a list that cannot be written stays as
    // it was.
    void AddPreviews(std::vector<std::optional<TPreview>> previews);
    void StartPreviews();
    // Stops copies under way; returns the copies and previews they had made,
    // unlisted.
    std::vector<std::string> StopCopying();

    std::string downloadDir_;
    std::string fragmentPath_;
    std::vector<std::string> publishedCopies_;
    std::vector<std::string> publishedPreviews_;
    std::vector<std::string> publishedEntries_; // the list's entries, in order
    // Written by the worker while it runs, read only after it has ended.
    TPlacedSelection inFlight_;
    std::vector<std::optional<TPreview>> previewsInFlight_;
    // Last: stopped before the members they write go.
    TBackgroundJob worker_;
    TBackgroundJob previewer_;
};

// The window's clean-up at exit, after the engine was stopped, up to the
// release of the QR renderer (which stays the window's): forgets the seen
// uploads, withdraws the publication and deletes this run's download and
// upload pages. Swallows every failure.
void CleanUpAtExit(TUploadWatcher& watcher, TPublisher& publisher,
                   const std::string& downloadPagePath, const std::string& uploadPagePath);

} // namespace appcore
