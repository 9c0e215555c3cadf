#pragma once

// PC-to-phone publishing: copies of the files the user picked go into the
// engine's download folder, and their entries into this run's file-list
// fragment, which the phone's download page shows. A new selection replaces
// the previous one entirely; at exit the publication and the run's pages go.

#include <string>
#include <vector>

namespace appcore {

class TUploadWatcher;

// The note under the select tile for n published files, two lines joined by
// CR LF ("3 files were transferred to your phone." ...); singular for n <= 1.
std::string DownloadNote(int n);

// The path of this run's file-list fragment: DownloadPageDir + "filelist-" +
// PageKey + ".html".
std::string FileListFragmentPath(const std::string& downloadPageDir, const std::string& pageKey);

class TPublisher {
  public:
    // downloadDir: where the copies go (with its trailing delimiter);
    // fragmentPath: this run's file-list fragment.
    TPublisher(std::string downloadDir, std::string fragmentPath);

    // Publishes the paths the open-file dialog returned, in its order (the
    // window does not call this when the dialog was cancelled). Withdraws
    // the earlier publication first when at least one path is given, skips
    // blank and missing paths, and lists only the files whose copy arrived
    // complete. Returns how many were listed. Throws misc::FileError when
    // the fragment cannot be written; the copies made stay recorded.
    int PublishSelectedFiles(const std::vector<std::string>& chosenPaths);

    // Deletes every current copy and the fragment and forgets the copies.
    // Every failure is swallowed: a copy held open elsewhere stays behind.
    void WithdrawPublication();

    // The full paths of the current copies, in the order of publication.
    const std::vector<std::string>& PublishedCopies() const { return publishedCopies_; }

    const std::string& DownloadDir() const { return downloadDir_; }
    const std::string& FragmentPath() const { return fragmentPath_; }

  private:
    std::string downloadDir_;
    std::string fragmentPath_;
    std::vector<std::string> publishedCopies_;
};

// The window's clean-up at exit, after the engine was stopped, up to the
// release of the QR renderer (which stays the window's): forgets the seen
// uploads, withdraws the publication and deletes this run's download and
// upload pages. Swallows every failure.
void CleanUpAtExit(TUploadWatcher& watcher, TPublisher& publisher,
                   const std::string& downloadPagePath, const std::string& uploadPagePath);

} // namespace appcore
