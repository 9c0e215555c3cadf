#include "engine/UploadStore.h"

#include "engine/FileNameCleaner.h"
#include "engine/RequestPath.h"
#include "util/MiscFuncUnit.h"

#include <algorithm>
#include <utility>

namespace engine {

namespace {

// Parts of one form held open until they are moved: more than a phone
// sends at once, few enough for any descriptor limit.
constexpr std::size_t MaxPartsHeldOpen = 64;

// Enough numbered forms for any folder a person keeps; past that something
// other than a taken name is wrong.
constexpr unsigned MaxNameAttempts = 10000;

// Written bytes are handed to the disk in steps of this size while the
// upload goes on, so the flush at the end is short and the disk works while
// the network delivers.
constexpr std::int64_t WritebackStep = 8 * 1024 * 1024;

// Starts writing back what was appended since *from once a step is full.
void WriteBackInSteps(const platform::LockedFile& file, std::int64_t size, std::int64_t& from) {
    if (size - from >= WritebackStep) {
        platform::StartWriteback(file.NativeHandle(), from, size - from);
        from = size;
    }
}

// Creates a staged file; a staging folder removed while the engine runs is
// made again.
std::optional<platform::LockedFile> CreateStagedFile(const std::string& folder,
                                                     const std::string& path) {
    auto file = platform::LockedFile::CreateNew(path);
    if (!file && !platform::FolderExists(folder) && platform::CreateFolderTree(folder)) {
        file = platform::LockedFile::CreateNew(path);
    }
    return file;
}

// Flushes a complete file, first giving it the phone's date of it. A file
// system that keeps no such time still takes the file, with the time it
// arrived.
bool FlushWithDate(platform::LockedFile& file,
                   const std::optional<std::chrono::system_clock::time_point>& date) {
    if (date) {
        file.SetLastWrite(*date);
    }
    return file.Sync();
}

} // namespace

struct UploadStore::Upload {
    std::mutex mutex;
    std::string id;
    std::string name;
    std::string stagedPath;
    std::string client; // the address that started it
    std::int64_t size = 0;
    std::int64_t staged = 0;
    std::int64_t writebackFrom = 0;
    platform::LockedFile file;
    std::optional<std::chrono::system_clock::time_point> date;
    std::uint64_t owner = 0; // the request allowed to append, 0 for none
    Clock::time_point lastActivity;
    bool gone = false; // finished, cancelled or failed: nobody may write
};

UploadStore::UploadStore(std::string stagingDir, std::string uploadDir,
                         std::chrono::seconds progressWindow)
    : stagingDir_(std::move(stagingDir)), uploadDir_(std::move(uploadDir)),
      progressWindow_(progressWindow) {}

UploadStore::~UploadStore() {
    const std::lock_guard lock(mutex_);
    for (auto& [id, upload] : uploads_) {
        const std::lock_guard uploadLock(upload->mutex);
        upload->file.Close();
        platform::DeleteFile(upload->stagedPath);
        upload->gone = true;
    }
    uploads_.clear();
}

bool UploadStore::PrepareStaging() {
    platform::CreateFolderTree(uploadDir_);
    if (!platform::CreateFolderTree(stagingDir_)) {
        return false;
    }
    const auto entries = platform::ListFolder(stagingDir_);
    if (!entries) {
        return false;
    }
    for (const auto& entry : *entries) {
        if ((entry.attributes & platform::AttrDirectory) == 0) {
            platform::DeleteFile(stagingDir_ + entry.name);
        }
    }
    return true;
}

bool UploadStore::HasRoomFor(std::int64_t bytes, std::string_view client) {
    const std::lock_guard lock(mutex_);
    return HasRoomForLocked(bytes, client, nullptr);
}

bool UploadStore::Reserving(const Upload& upload, Clock::time_point now) const {
    return upload.owner != 0 || now - upload.lastActivity < progressWindow_;
}

bool UploadStore::HasRoomForLocked(std::int64_t bytes, std::string_view client,
                                   const Upload* except) {
    const auto free = platform::FreeSpace(stagingDir_);
    if (!free) {
        return true;
    }
    // Staged bytes already take their room on the disk; what is still to
    // come of every upload in progress is promised to it.
    const auto now = Clock::now();
    std::map<std::string_view, std::int64_t> others;
    std::int64_t own = 0;
    const auto promise = [&](std::string_view from, std::int64_t promised) {
        (from == client ? own : others[from]) += promised;
    };
    for (const auto& [from, reserved] : batchReserved_) {
        promise(from, reserved);
    }
    for (const auto& [id, upload] : uploads_) {
        if (upload.get() == except) {
            continue;
        }
        const std::lock_guard uploadLock(upload->mutex);
        if (Reserving(*upload, now)) {
            promise(upload->client, upload->size - upload->staged);
        }
    }
    const std::int64_t share = *free / 2;
    std::int64_t promised = own;
    for (const auto& [from, promisedBy] : others) {
        promised += std::min(promisedBy, share);
    }
    return *free - promised >= bytes;
}

bool UploadStore::FreePlaceFor(std::string_view client, std::size_t held) {
    struct Holder {
        std::size_t places = 0;
        std::shared_ptr<Upload> idlest; // not being received, idle longest
        Clock::time_point idleSince;
    };
    std::map<std::string_view, Holder> holders;
    for (const auto& [id, upload] : uploads_) {
        Holder& holder = holders[upload->client];
        ++holder.places;
        const std::lock_guard uploadLock(upload->mutex);
        if (upload->owner == 0 && (!holder.idlest || upload->lastActivity < holder.idleSince)) {
            holder.idlest = upload;
            holder.idleSince = upload->lastActivity;
        }
    }
    const Holder* most = nullptr;
    for (const auto& [from, holder] : holders) {
        if (from != client && holder.idlest && (!most || holder.places > most->places)) {
            most = &holder;
        }
    }
    if (!most || most->places <= held + 1) {
        return false;
    }
    const std::shared_ptr<Upload> freed = most->idlest;
    uploads_.erase(freed->id);
    const std::lock_guard uploadLock(freed->mutex);
    freed->gone = true;
    freed->file.Close();
    platform::DeleteFile(freed->stagedPath);
    return true;
}

void UploadStore::ReleaseBatchReservation(const std::string& client, std::int64_t& reserved,
                                          std::int64_t bytes) {
    const std::int64_t released = std::min(reserved, bytes);
    if (released <= 0) {
        return;
    }
    const std::lock_guard lock(mutex_);
    reserved -= released;
    const auto found = batchReserved_.find(client);
    if (found != batchReserved_.end() && (found->second -= released) <= 0) {
        batchReserved_.erase(found);
    }
}

std::optional<UploadStore::Progress> UploadStore::Query(const std::string& id) {
    const std::lock_guard lock(mutex_);
    const auto found = uploads_.find(id);
    if (found == uploads_.end()) {
        return std::nullopt;
    }
    const std::lock_guard uploadLock(found->second->mutex);
    return Progress{found->second->staged, found->second->size};
}

UploadStore::ChunkStart UploadStore::BeginChunk(const std::string& id, const std::string& rawName,
                                                std::int64_t size, std::int64_t offset,
                                                std::optional<std::int64_t> bodyLength,
                                                std::string_view client) {
    ChunkStart start;
    const auto name = CleanUploadName(rawName);
    if (!name || size < 0 || offset < 0) {
        start.error = UploadError::BadRequest;
        return start;
    }
    if (bodyLength && *bodyLength > size - offset) {
        start.error = UploadError::TooLarge;
        return start;
    }

    const std::lock_guard lock(mutex_);
    auto found = uploads_.find(id);
    if (found == uploads_.end()) {
        if (offset != 0) {
            start.error = UploadError::UnknownUpload;
            return start;
        }
        const auto fromClient = static_cast<std::size_t>(
            std::count_if(uploads_.begin(), uploads_.end(),
                          [&](const auto& entry) { return entry.second->client == client; }));
        if (fromClient >= MaxOpenUploadsPerAddress ||
            (uploads_.size() >= MaxOpenUploads && !FreePlaceFor(client, fromClient))) {
            start.error = UploadError::TooMany;
            return start;
        }
        if (!HasRoomForLocked(size, client, nullptr)) {
            start.error = UploadError::DiskFull;
            return start;
        }
        auto upload = std::make_shared<Upload>();
        upload->id = id;
        upload->client = client;
        upload->name = *name;
        upload->size = size;
        // Numbered, not named by the id: ids that differ only in case are
        // two uploads, while Windows takes their names for one file.
        upload->stagedPath = stagingDir_ + "r-" + std::to_string(nextStagedFile_++) + ".part";
        auto file = CreateStagedFile(stagingDir_, upload->stagedPath);
        if (!file) {
            start.error = UploadError::Failed;
            return start;
        }
        upload->file = std::move(*file);
        upload->lastActivity = Clock::now();
        found = uploads_.emplace(id, std::move(upload)).first;
    }

    const auto& upload = found->second;
    const std::lock_guard uploadLock(upload->mutex);
    const bool sizeChanges = upload->size != size;
    if (sizeChanges && (upload->staged != 0 || offset != 0)) {
        start.error = UploadError::BadRequest;
        return start;
    }
    if (offset != upload->staged) {
        start.error = UploadError::OffsetMismatch;
        start.offset = upload->staged;
        return start;
    }
    // A page starting over with another file (nothing staged yet), or a
    // resume after the upload's room went back, reserves again; the staged
    // bytes stay either way.
    if ((sizeChanges || !Reserving(*upload, Clock::now())) && size > upload->staged &&
        !HasRoomForLocked(size - upload->staged, client, upload.get())) {
        start.error = UploadError::DiskFull;
        start.offset = upload->staged;
        return start;
    }
    upload->size = size;
    upload->name = *name;
    upload->owner = nextOwner_++;
    upload->lastActivity = Clock::now();
    start.offset = upload->staged;
    start.chunk.reset(new Chunk(*this, upload, upload->owner));
    return start;
}

bool UploadStore::Cancel(const std::string& id) {
    std::shared_ptr<Upload> upload;
    {
        const std::lock_guard lock(mutex_);
        const auto found = uploads_.find(id);
        if (found == uploads_.end()) {
            return false;
        }
        upload = found->second;
        uploads_.erase(found);
    }
    const std::lock_guard uploadLock(upload->mutex);
    upload->gone = true;
    upload->file.Close();
    platform::DeleteFile(upload->stagedPath);
    return true;
}

void UploadStore::SweepExpired(Clock::time_point now) {
    std::vector<std::shared_ptr<Upload>> expired;
    {
        const std::lock_guard lock(mutex_);
        for (auto it = uploads_.begin(); it != uploads_.end();) {
            const std::lock_guard uploadLock(it->second->mutex);
            const Upload& upload = *it->second;
            const auto idle = now - upload.lastActivity;
            if (upload.owner == 0 &&
                (idle >= ResumeWindow || (upload.staged == 0 && idle >= EmptyUploadWindow))) {
                expired.push_back(it->second);
                it = uploads_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& upload : expired) {
        const std::lock_guard uploadLock(upload->mutex);
        upload->gone = true;
        upload->file.Close();
        platform::DeleteFile(upload->stagedPath);
    }
}

void UploadStore::Forget(const std::shared_ptr<Upload>& upload) {
    const std::lock_guard lock(mutex_);
    const auto found = uploads_.find(upload->id);
    if (found != uploads_.end() && found->second == upload) {
        uploads_.erase(found);
    }
}

std::optional<std::string> UploadStore::MoveIntoUploads(const std::string& stagedPath,
                                                        const std::string& name) {
    // The folder may have been removed while the engine runs.
    if (!platform::FolderExists(uploadDir_)) {
        platform::CreateFolderTree(uploadDir_);
    }
    // A long name in a deep folder would make a path Windows cannot open.
    const std::string fitted = misc::FitNameToFolder(name, uploadDir_);
    if (fitted.empty()) {
        return std::nullopt;
    }
    for (unsigned n = 0; n < MaxNameAttempts; ++n) {
        const std::string candidate = NumberedName(fitted, n);
        // The folder's default page is served to every phone: an upload of
        // that name, while the page is missing, would be served in its place.
        if (ComparableRelativePath(candidate, platform::PathDelimiter,
                                   platform::FileNamesIgnoreCase) == UploadFolderPage) {
            continue;
        }
        if (platform::MoveFileNoReplace(stagedPath, uploadDir_ + candidate)) {
            return candidate;
        }
        // A refusal for any reason other than a taken name ends the search.
        if (!platform::FileExists(uploadDir_ + candidate) &&
            !platform::FolderExists(uploadDir_ + candidate)) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::string UploadStore::NewBatchPath() {
    const std::lock_guard lock(mutex_);
    return stagingDir_ + "m-" + std::to_string(nextStagedFile_++) + ".part";
}

UploadStore::BatchStart UploadStore::NewBatch(std::optional<std::int64_t> announcedBytes,
                                              std::string_view client) {
    BatchStart start;
    const std::int64_t reserve = std::max<std::int64_t>(announcedBytes.value_or(0), 0);
    const std::lock_guard lock(mutex_);
    if (reserve > 0 && !HasRoomForLocked(reserve, client, nullptr)) {
        start.error = UploadError::DiskFull;
        return start;
    }
    start.batch.reset(new Batch(*this, client));
    if (reserve > 0) {
        start.batch->reserved_ = reserve;
        batchReserved_[std::string(client)] += reserve;
    }
    return start;
}

// ------------------------------------------------------------------ Chunk --

UploadStore::Chunk::Chunk(UploadStore& store, std::shared_ptr<Upload> upload, std::uint64_t owner)
    : store_(store), upload_(std::move(upload)), owner_(owner) {}

UploadStore::Chunk::~Chunk() {
    const std::lock_guard lock(upload_->mutex);
    if (upload_->owner == owner_) {
        // A body cut short keeps what arrived, for the phone to resume.
        upload_->owner = 0;
        upload_->lastActivity = Clock::now();
    }
}

void UploadStore::Chunk::Fail(UploadError error) {
    error_ = error;
    if (error != UploadError::DiskFull && error != UploadError::Failed) {
        return;
    }
    {
        const std::lock_guard lock(upload_->mutex);
        upload_->gone = true;
        upload_->owner = 0;
        upload_->file.Close();
        platform::DeleteFile(upload_->stagedPath);
    }
    store_.Forget(upload_);
}

UploadError UploadStore::Chunk::Write(std::span<const char> data) {
    if (error_ != UploadError::None) {
        return error_;
    }
    UploadError error = UploadError::None;
    {
        const std::lock_guard lock(upload_->mutex);
        if (upload_->gone) {
            error = UploadError::UnknownUpload;
        } else if (upload_->owner != owner_) {
            error = UploadError::OffsetMismatch;
        } else if (static_cast<std::int64_t>(data.size()) > upload_->size - upload_->staged) {
            error = UploadError::TooLarge;
        } else if (!upload_->file.Append(data)) {
            error = UploadError::DiskFull;
        } else {
            upload_->staged += static_cast<std::int64_t>(data.size());
            upload_->lastActivity = Clock::now();
            WriteBackInSteps(upload_->file, upload_->staged, upload_->writebackFrom);
        }
    }
    if (error != UploadError::None) {
        Fail(error);
    }
    return error;
}

void UploadStore::Chunk::KeepDate(std::chrono::system_clock::time_point date) {
    const std::lock_guard lock(upload_->mutex);
    upload_->date = date;
}

UploadStore::Chunk::Result UploadStore::Chunk::Finish() {
    Result result;
    if (error_ != UploadError::None) {
        result.error = error_;
        const std::lock_guard lock(upload_->mutex);
        result.offset = upload_->staged;
        return result;
    }
    UploadError error = UploadError::None;
    {
        const std::lock_guard lock(upload_->mutex);
        result.offset = upload_->staged;
        if (upload_->gone) {
            error = UploadError::UnknownUpload;
        } else if (upload_->owner != owner_) {
            error = UploadError::OffsetMismatch;
        } else if (upload_->staged < upload_->size) {
            return result;
        } else if (!FlushWithDate(upload_->file, upload_->date)) {
            error = UploadError::DiskFull;
        } else if (auto name = store_.MoveIntoUploads(upload_->stagedPath, upload_->name)) {
            // Letting go of the file releases its lock: only now may the
            // watcher take it.
            upload_->file.Close();
            upload_->gone = true;
            upload_->owner = 0;
            result.done = true;
            result.finalName = std::move(*name);
        } else {
            error = UploadError::Failed;
        }
    }
    if (result.done) {
        store_.Forget(upload_);
    }
    if (error != UploadError::None) {
        if (error == UploadError::DiskFull || error == UploadError::Failed) {
            Fail(error);
        }
        result.error = error;
    }
    return result;
}

// ------------------------------------------------------------------ Batch --

UploadStore::Batch::~Batch() {
    RemoveStaged();
    store_.ReleaseBatchReservation(client_, reserved_, reserved_);
}

void UploadStore::Batch::RemoveStaged() {
    current_.Close();
    for (auto& part : parts_) {
        part.file.Close();
        platform::DeleteFile(part.stagedPath);
    }
    parts_.clear();
}

UploadError UploadStore::Batch::BeginPart(std::string_view rawName) {
    if (error_ != UploadError::None) {
        return error_;
    }
    if (const UploadError ended = EndPart(); ended != UploadError::None) {
        return ended;
    }
    const auto name = CleanUploadName(rawName);
    if (!name) {
        error_ = UploadError::BadRequest;
        RemoveStaged();
        return error_;
    }
    Part part{*name, store_.NewBatchPath(), {}};
    auto file = CreateStagedFile(store_.stagingDir_, part.stagedPath);
    if (!file) {
        error_ = UploadError::Failed;
        RemoveStaged();
        return error_;
    }
    current_ = std::move(*file);
    currentDate_.reset();
    currentSize_ = 0;
    writebackFrom_ = 0;
    parts_.push_back(std::move(part));
    return UploadError::None;
}

void UploadStore::Batch::KeepPartDate(std::chrono::system_clock::time_point date) {
    currentDate_ = date;
}

UploadError UploadStore::Batch::Write(std::span<const char> data) {
    if (error_ != UploadError::None) {
        return error_;
    }
    if (!current_.IsOpen()) {
        return UploadError::None; // bytes of a part that is not a file
    }
    if (!current_.Append(data)) {
        error_ = UploadError::DiskFull;
        RemoveStaged();
        return error_;
    }
    currentSize_ += static_cast<std::int64_t>(data.size());
    store_.ReleaseBatchReservation(client_, reserved_, static_cast<std::int64_t>(data.size()));
    WriteBackInSteps(current_, currentSize_, writebackFrom_);
    return error_;
}

UploadError UploadStore::Batch::EndPart() {
    if (error_ != UploadError::None || !current_.IsOpen()) {
        return error_;
    }
    if (!FlushWithDate(current_, currentDate_)) {
        error_ = UploadError::DiskFull;
        RemoveStaged();
        return error_;
    }
    if (parts_.size() <= MaxPartsHeldOpen) {
        parts_.back().file = std::move(current_);
    }
    current_.Close();
    return UploadError::None;
}

UploadStore::Batch::Result UploadStore::Batch::Commit() {
    Result result;
    if (EndPart() != UploadError::None) {
        result.error = error_;
        return result;
    }
    std::vector<Part> parts = std::move(parts_);
    parts_.clear();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        // Locked until it is in place; one closed for the bound is locked
        // again first.
        if (!parts[i].file.IsOpen()) {
            if (auto reopened = platform::LockedFile::OpenExisting(parts[i].stagedPath)) {
                parts[i].file = std::move(*reopened);
            }
        }
        std::optional<std::string> finalName;
        if (parts[i].file.IsOpen()) {
            finalName = store_.MoveIntoUploads(parts[i].stagedPath, parts[i].name);
        }
        parts[i].file.Close();
        if (!finalName) {
            // What is already in place stays; the rest is removed.
            result.error = UploadError::Failed;
            for (std::size_t k = i; k < parts.size(); ++k) {
                parts[k].file.Close();
                platform::DeleteFile(parts[k].stagedPath);
            }
            return result;
        }
        result.names.push_back(std::move(*finalName));
    }
    return result;
}

} // namespace engine
