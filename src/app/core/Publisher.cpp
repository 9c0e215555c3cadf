#include "app/core/Publisher.h"

#include "app/core/UploadWatcher.h"
#include "platform/platform.h"
#include "util/HTMTemplateUnit.h"
#include "util/MiscFuncUnit.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <algorithm>
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

// The entry's picture row goes above the Open button, its last row.
std::string WithPreview(std::string entry, const TPreview& preview) {
    const std::size_t buttonRow = entry.rfind("<tr>");
    if (buttonRow != std::string::npos)
        entry.insert(buttonRow, htmtemplate::PreviewRow("dfiles/previews/" +
                                                            misc::ExtractFileName(preview.path),
                                                        preview.width, preview.height) +
                                    "\r\n");
    return entry;
}

// A name of its own for each version of a copy, so a phone never shows the
// cached preview of an earlier file of the same name.
std::string PreviewName(const std::string& copy) {
    const auto info = platform::QueryFile(copy);
    const std::string identity =
        misc::ExtractFileName(copy) + '\0' + std::to_string(info ? info->size : 0) + '\0' +
        std::to_string(info ? info->lastWrite.time_since_epoch().count() : 0);
    return QCryptographicHash::hash(QByteArray::fromStdString(identity), QCryptographicHash::Sha1)
               .toHex()
               .left(16)
               .toStdString() +
           ".jpg";
}

} // namespace

std::string PreviewFolder(const std::string& downloadDir) {
    return misc::IncludeTrailingDelimiter(downloadDir + "previews");
}

std::optional<TPreview> MakePreview(const std::string& copy, const std::string& downloadDir) {
    if (!IsPictureName(copy))
        return std::nullopt;
    auto preview = PreviewOf(copy);
    if (!preview)
        return std::nullopt;
    const std::string folder = PreviewFolder(downloadDir);
    if (!platform::FolderExists(folder)) {
        if (!platform::CreateFolderTree(folder))
            return std::nullopt;
        // Out of sight in the PC's view of what the phone gets; where the file
        // system keeps no such mark it shows, which does no harm.
        platform::SetAttributes(folder, platform::AttrDirectory | platform::AttrHidden);
    }
    preview->path = folder + PreviewName(copy);
    std::string error;
    if (platform::FileExists(preview->path) ||
        !platform::WriteFileAtomically(
            preview->path, {preview->jpeg.constData(), std::size_t(preview->jpeg.size())}, error))
        return std::nullopt;
    preview->jpeg.clear(); // written; no need to hold it
    return preview;
}

std::vector<std::optional<TPreview>> MakePreviews(const std::vector<std::string>& copies,
                                                  const std::string& downloadDir,
                                                  std::stop_token stop) {
    std::vector<std::optional<TPreview>> previews;
    for (const auto& copy : copies) {
        if (stop.stop_requested())
            break;
        previews.push_back(MakePreview(copy, downloadDir));
    }
    return previews;
}

std::string DownloadNote(int n) {
    const bool plural = n > 1;
    return std::to_string(n) + (plural ? " files were" : " file was") +
           " transferred to your phone.\r\nRefresh your phone browser if " +
           (plural ? "files do" : "file does") + " not appear";
}

std::string FileListFragmentPath(const std::string& downloadPageDir, const std::string& pageKey) {
    return downloadPageDir + "filelist-" + pageKey + ".html";
}

std::string CopyingNote(const TPublishProgress& progress) {
    return "Copying for your phone: " + std::to_string(progress.filesDone) + " of " +
           std::to_string(progress.filesPicked) + (progress.filesPicked == 1 ? " file" : " files") +
           " done, " + std::to_string(progress.percent) + "%";
}

std::optional<CopyMethod> PlacePublishedCopy(const std::string& source, const std::string& target,
                                             const platform::CopyProgress& progress) {
    if (platform::CloneFile(source, target)) {
        return CopyMethod::Reflink;
    }
    if (platform::HardLinkFile(source, target)) {
        return CopyMethod::HardLink;
    }
    // Taken meanwhile: no copy is worth making under this name.
    if (platform::GetAttributes(target)) {
        return std::nullopt;
    }
    // Not flushed: the copy lives only for this run and is served from the
    // page cache; the space is taken as it is written, so a full disk still
    // fails the copy itself.
    if (platform::CopyFile(source, target, platform::CopyMode::FailIfExists, false, progress)) {
        return CopyMethod::Copy;
    }
    return std::nullopt;
}

TPlacedSelection PlaceSelection(const std::vector<std::string>& chosenPaths,
                                const std::string& downloadDir, std::stop_token stop,
                                const std::function<void(const TPublishProgress&)>& progress) {
    std::vector<std::string> paths;
    std::vector<std::int64_t> sizes;
    std::int64_t totalBytes = 0;
    for (const auto& chosen : chosenPaths) {
        paths.push_back(misc::Trim(chosen));
        const auto info = paths.back().empty() ? std::nullopt : platform::QueryFile(paths.back());
        sizes.push_back(info ? std::max<std::int64_t>(info->size, 0) : 0);
        totalBytes += sizes.back();
    }
    TPublishProgress state{0, static_cast<int>(paths.size()), 0};
    std::int64_t bytesDone = 0;
    const auto report = [&](std::int64_t currentBytes) {
        const std::int64_t done = bytesDone + currentBytes;
        state.percent = totalBytes > 0
                            ? static_cast<int>(std::min<std::int64_t>(100, done * 100 / totalBytes))
                            : (state.filesDone == state.filesPicked ? 100 : 0);
        if (progress) {
            progress(state);
        }
    };

    TPlacedSelection placed;
    for (std::size_t i = 0; i < paths.size() && !stop.stop_requested(); ++i) {
        const std::string& path = paths[i];
        if (!path.empty() && platform::FileExists(path)) {
            std::optional<CopyMethod> method;
            const auto copy = PlaceUnderFreeName(
                downloadDir + misc::ExtractFileName(path), [&](const std::string& target) {
                    method =
                        PlacePublishedCopy(path, target, [&](std::int64_t copied, std::int64_t) {
                            report(std::min(copied, sizes[i]));
                            return !stop.stop_requested();
                        });
                    return method.has_value();
                });
            // A copy that did not arrive whole (unreadable source, full disk,
            // stopped) leaves nothing behind and is neither listed nor counted.
            if (copy) {
                placed.copies.emplace_back(path, *copy);
                placed.methods.push_back(*method);
            }
        }
        // Stopped: nobody waits for word of it any more.
        if (stop.stop_requested()) {
            break;
        }
        bytesDone += sizes[i];
        ++state.filesDone;
        report(0);
    }
    return placed;
}

TPublisher::TPublisher(std::string downloadDir, std::string fragmentPath)
    : downloadDir_(std::move(downloadDir)), fragmentPath_(std::move(fragmentPath)) {}

TPublisher::~TPublisher() {
    for (const auto& copy : StopCopying()) {
        misc::DeleteFileQuietly(copy);
    }
}

int TPublisher::PublishSelectedFiles(const std::vector<std::string>& chosenPaths) {
    if (!chosenPaths.empty()) {
        WithdrawPublication();
    }
    const int listed = Commit(PlaceSelection(chosenPaths, downloadDir_));
    AddPreviews(MakePreviews(publishedCopies_, downloadDir_));
    return listed;
}

void TPublisher::StartPublishing(const std::vector<std::string>& chosenPaths, TObserver observer) {
    if (chosenPaths.empty()) {
        if (observer.published) {
            observer.published(0);
        }
        return;
    }
    // The earlier publication goes before anything new is copied, but on the
    // worker: deleting the last name of a big file frees all its blocks, which
    // can take seconds on a busy disk. The list goes first, so the phone never
    // sees an entry whose file has gone.
    std::vector<std::string> withdrawn{fragmentPath_};
    for (auto& copy : StopCopying()) {
        withdrawn.push_back(std::move(copy));
    }
    for (auto& copy : std::exchange(publishedCopies_, {})) {
        withdrawn.push_back(std::move(copy));
    }
    for (auto& preview : std::exchange(publishedPreviews_, {})) {
        withdrawn.push_back(std::move(preview));
    }
    publishedEntries_.clear();
    worker_.Run([this, chosenPaths, withdrawn = std::move(withdrawn),
                 observer = std::move(observer)](std::stop_token stop,
                                                 const TBackgroundJob::Hand& hand) {
        for (const auto& path : withdrawn) {
            misc::DeleteFileQuietly(path);
        }
        TPublishProgress last{-1, 0, 0};
        inFlight_ =
            PlaceSelection(chosenPaths, downloadDir_, stop, [&](const TPublishProgress& progress) {
                // Only what the note would show differently.
                if (progress == last || !observer.progress) {
                    return;
                }
                last = progress;
                hand([observer, progress] { observer.progress(progress); });
            });
        if (stop.stop_requested()) {
            return;
        }
        hand([this, observer] {
            worker_.Wait();
            const TPlacedSelection placed = std::exchange(inFlight_, {});
            int listed = 0;
            try {
                listed = Commit(placed);
            } catch (const misc::FileError& error) {
                if (observer.failed) {
                    observer.failed(error.what());
                }
                return;
            }
            if (observer.published) {
                observer.published(listed);
            }
            StartPreviews();
        });
    });
}

void TPublisher::StartPreviews() {
    if (publishedCopies_.empty())
        return;
    previewer_.Run(
        [this, copies = publishedCopies_](std::stop_token stop, const TBackgroundJob::Hand& hand) {
            previewsInFlight_ = MakePreviews(copies, downloadDir_, stop);
            if (stop.stop_requested())
                return;
            hand([this] {
                previewer_.Wait();
                AddPreviews(std::exchange(previewsInFlight_, {}));
            });
        });
}

void TPublisher::AddPreviews(std::vector<std::optional<TPreview>> previews) {
    bool added = false;
    for (std::size_t i = 0; i < previews.size() && i < publishedEntries_.size(); ++i) {
        if (previews[i]) {
            publishedPreviews_.push_back(previews[i]->path);
            publishedEntries_[i] = WithPreview(std::move(publishedEntries_[i]), *previews[i]);
            added = true;
        }
    }
    if (!added)
        return;
    try {
        WriteFragment(fragmentPath_, publishedEntries_);
    } catch (const misc::FileError&) {
        // The files stay listed without their previews.
    }
}

std::vector<std::string> TPublisher::StopCopying() {
    // Made before the stop but never listed: nobody else knows of them.
    std::vector<std::string> made;
    if (previewer_.Running()) {
        previewer_.Stop();
        for (auto& preview : std::exchange(previewsInFlight_, {})) {
            if (preview)
                made.push_back(std::move(preview->path));
        }
    }
    if (worker_.Running()) {
        worker_.Stop();
        for (auto& copy : std::exchange(inFlight_, {}).copies) {
            made.push_back(std::move(copy.second));
        }
    }
    return made;
}

int TPublisher::Commit(const TPlacedSelection& placed) {
    std::vector<std::string> entries;
    for (const auto& [path, copy] : placed.copies) {
        publishedCopies_.push_back(copy);
        // The entry shows the chosen file and links the copy by its real
        // name, which differs when a "(n)" had to be added.
        entries.push_back(htmtemplate::FillFileEntry(path, misc::ExtractFileName(copy)));
    }
    publishedEntries_.insert(publishedEntries_.end(), entries.begin(), entries.end());
    if (!entries.empty()) {
        WriteFragment(fragmentPath_, entries);
    }
    return static_cast<int>(entries.size());
}

void TPublisher::WithdrawPublication() {
    for (const auto& copy : StopCopying()) {
        misc::DeleteFileQuietly(copy);
    }
    for (const auto& copy : publishedCopies_) {
        misc::DeleteFileQuietly(copy);
    }
    misc::DeleteFileQuietly(fragmentPath_);
    for (const auto& preview : publishedPreviews_) {
        misc::DeleteFileQuietly(preview);
    }
    publishedCopies_.clear();
    publishedPreviews_.clear();
    publishedEntries_.clear();
}

void CleanUpAtExit(TUploadWatcher& watcher, TPublisher& publisher,
                   const std::string& downloadPagePath, const std::string& uploadPagePath) {
    watcher.Release();
    publisher.WithdrawPublication();
    misc::DeleteFileQuietly(downloadPagePath);
    misc::DeleteFileQuietly(uploadPagePath);
}

} // namespace appcore
