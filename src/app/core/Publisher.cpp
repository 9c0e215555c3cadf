#include "app/core/Publisher.h"

#include "app/core/UploadWatcher.h"
#include "platform/platform.h"
#include "util/HTMTemplateUnit.h"
#include "util/MiscFuncUnit.h"

#include <utility>

namespace appcore {

namespace {

// Writes the entries, each followed by CR LF, creating or replacing the
// fragment through a temporary file, so the phone never sees half a list.
void WriteFragment(const std::string& path, const std::vector<std::string>& entries) {
    std::string text;
    for (const auto& entry : entries) {
        text += entry;
        text += "\r\n";
    }
    std::string error;
    if (!platform::WriteFileAtomically(path, text, error)) {
        throw misc::FileError("Cannot write the file list " + path + ": " + error);
    }
}

} // namespace

std::string DownloadNote(int n) {
    const bool plural = n > 1;
    return std::to_string(n) + (plural ? " files were" : " file was") +
           " transferred to your phone.\r\nRefresh your phone browser if " +
           (plural ? "files do" : "file does") + " not appear";
}

std::string FileListFragmentPath(const std::string& downloadPageDir, const std::string& pageKey) {
    return downloadPageDir + "filelist-" + pageKey + ".html";
}

TPublisher::TPublisher(std::string downloadDir, std::string fragmentPath)
    : downloadDir_(std::move(downloadDir)), fragmentPath_(std::move(fragmentPath)) {}

int TPublisher::PublishSelectedFiles(const std::vector<std::string>& chosenPaths) {
    if (!chosenPaths.empty()) {
        WithdrawPublication();
    }
    std::vector<std::string> entries;
    for (const auto& chosen : chosenPaths) {
        const std::string path = misc::Trim(chosen);
        if (path.empty() || !platform::FileExists(path)) {
            continue;
        }
        const auto copy = PlaceUnderFreeName(
            downloadDir_ + misc::ExtractFileName(path), [&path](const std::string& target) {
                // Not flushed: the copy lives only for this run and is served
                // from the page cache; the space is taken as it is written,
                // so a full disk still fails the copy itself.
                return platform::CopyFile(path, target, platform::CopyMode::FailIfExists, false);
            });
        // A copy that did not arrive whole (unreadable source, full disk)
        // leaves nothing behind and is neither listed nor counted.
        if (!copy) {
            continue;
        }
        publishedCopies_.push_back(*copy);
        // The entry shows the chosen file and links the copy by its real
        // name, which differs when a "(n)" had to be added.
        entries.push_back(htmtemplate::FillFileEntry(path, misc::ExtractFileName(*copy)));
    }
    if (!entries.empty()) {
        WriteFragment(fragmentPath_, entries);
    }
    return static_cast<int>(entries.size());
}

void TPublisher::WithdrawPublication() {
    for (const auto& copy : publishedCopies_) {
        misc::DeleteFileQuietly(copy);
    }
    misc::DeleteFileQuietly(fragmentPath_);
    publishedCopies_.clear();
}

void CleanUpAtExit(TUploadWatcher& watcher, TPublisher& publisher,
                   const std::string& downloadPagePath, const std::string& uploadPagePath) {
    watcher.Release();
    publisher.WithdrawPublication();
    misc::DeleteFileQuietly(downloadPagePath);
    misc::DeleteFileQuietly(uploadPagePath);
}

} // namespace appcore
