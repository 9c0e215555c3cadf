#include "app/core/UploadWatcher.h"

#include "util/MiscFuncUnit.h"

#include <QChar>
#include <algorithm>
#include <utility>

namespace appcore {

namespace {

// The longest wait between two tries of a move that keeps failing.
constexpr std::chrono::seconds LongestRetryDelay{60};

// Tries at further "(n)" names before giving up when other programs keep
// taking the chosen name away; only a race could need more than one.
constexpr int MaxTakenNameRetries = 16;

// Sets a flag for the life of a pass and puts back what it was, also when
// the pass ends by an exception.
class FlagGuard {
  public:
    explicit FlagGuard(bool& flag) : flag_(flag), previous_(flag) { flag_ = true; }
    ~FlagGuard() { flag_ = previous_; }
    FlagGuard(const FlagGuard&) = delete;
    FlagGuard& operator=(const FlagGuard&) = delete;

  private:
    bool& flag_;
    bool previous_;
};

// An entry whose attribute set is nothing but the directory, the
// volume-label, the system or the hidden bit (or empty) is no upload: plain
// sub-folders, links and other special entries, and bare hidden files.
bool RejectedByAttributes(std::uint32_t attributes) {
    return attributes == 0 || attributes == platform::AttrDirectory ||
           attributes == platform::AttrVolumeLabel || attributes == platform::AttrSystem ||
           attributes == platform::AttrHidden;
}

bool PassedOver(const platform::FolderEntry& entry) {
    // "." and ".." carry the hidden bit here (their names start with a dot),
    // which on Windows they do not; they are never uploads.
    if (entry.name == "." || entry.name == "..") {
        return true;
    }
    // The folder's default page, by its exact name.
    if (entry.name == "index.html") {
        return true;
    }
    return RejectedByAttributes(entry.attributes);
}

bool Exists(const std::string& path) {
    return platform::GetAttributes(path).has_value();
}

bool SameFolder(const std::string& a, const std::string& b) {
    const auto canonicalA = platform::CanonicalPath(a);
    return canonicalA && canonicalA == platform::CanonicalPath(b);
}

// Decodes one UTF-8 sequence at text[pos]; nullopt when it is not a valid,
// shortest-form encoding of a scalar value.
std::optional<char32_t> DecodeUtf8(const std::string& text, std::size_t pos, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char lead = byte(0);
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        length = 1;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (pos + length > text.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return value;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

std::int32_t PackFatDateTime(const platform::LocalDateTime& local) {
    const auto year = static_cast<std::uint32_t>(std::clamp(local.year, 1980, 2107) - 1980);
    const auto bits = [](int value, std::uint32_t mask) {
        return static_cast<std::uint32_t>(value) & mask;
    };
    const std::uint32_t date = (year << 9) | (bits(local.month, 0x0F) << 5) | bits(local.day, 0x1F);
    const std::uint32_t time = (bits(local.hour, 0x1F) << 11) | (bits(local.minute, 0x3F) << 5) |
                               bits(local.second / 2, 0x1F);
    // The 32 bits read as a signed number, as the key writes them.
    return static_cast<std::int32_t>((date << 16) | time);
}

std::string UploadKey(const std::string& name, std::chrono::system_clock::time_point lastWrite) {
    const auto local = platform::ToLocalDateTime(lastWrite);
    const std::int32_t packed = local ? PackFatDateTime(*local) : 0;
    return name + "|" + std::to_string(packed);
}

std::string FoldKeyCase(const std::string& key) {
    std::string folded;
    folded.reserve(key.size());
    std::size_t pos = 0;
    while (pos < key.size()) {
        std::size_t length = 1;
        if (const auto c = DecodeUtf8(key, pos, length)) {
            AppendUtf8(folded, QChar::toCaseFolded(*c));
        } else {
            length = 1;
            folded += key[pos];
        }
        pos += length;
    }
    return folded;
}

std::optional<std::string>
PlaceUnderFreeName(const std::string& wanted,
                   const std::function<bool(const std::string&)>& place) {
    const std::string first = misc::MakeUniqueName(wanted);
    if (place(first)) {
        return first;
    }
    // Anything else than a name taken meanwhile will not get better by
    // choosing another one.
    if (!Exists(first)) {
        return std::nullopt;
    }
    std::string clean = wanted;
    std::replace(clean.begin(), clean.end(), '?', '_');
    const std::string folder = misc::ExtractFilePath(clean);
    const std::string extension = misc::ExtractFileExt(clean);
    const std::string name = misc::ExtractFileName(clean);
    const std::string stem = name.substr(0, name.size() - extension.size());
    int retries = 0;
    for (long long n = 1; retries < MaxTakenNameRetries; ++n) {
        const std::string candidate = folder + stem + "(" + std::to_string(n) + ")" + extension;
        if (Exists(candidate)) {
            continue;
        }
        if (place(candidate)) {
            return candidate;
        }
        if (!Exists(candidate)) {
            return std::nullopt;
        }
        ++retries;
    }
    return std::nullopt;
}

std::optional<std::string> MoveUpload(const std::string& source, const std::string& wanted) {
    return PlaceUnderFreeName(wanted, [&source](const std::string& target) {
        return platform::MoveFileNoReplace(source, target);
    });
}

std::chrono::seconds MoveRetryDelay(int failures) {
    if (failures <= 0) {
        return std::chrono::seconds{0};
    }
    // 2^(failures - 1), computed without overflow for long runs of failures.
    const int doublings = std::min(failures - 1, 6);
    return std::min(std::chrono::seconds{1LL << doublings}, LongestRetryDelay);
}

TUploadWatcher::TUploadWatcher(Clock clock) : clock_(std::move(clock)) {
    if (!clock_) {
        clock_ = [] { return std::chrono::steady_clock::now(); };
    }
}

TUploadWatcher::~TUploadWatcher() {
    FinishMoves();
}

void TUploadWatcher::ScanUploadFolder(const std::string& folder, bool move,
                                      const ReceiveDirProvider& receiveDir) {
    const FlagGuard guard(scanInProgress_);
    const std::string trimmed = misc::Trim(folder);
    if (trimmed.empty()) {
        return;
    }
    const std::string dir = misc::IncludeTrailingDelimiter(trimmed);
    const auto entries = platform::ListFolder(dir);
    if (!entries) {
        return;
    }
    std::vector<TMove> across;
    for (const auto& entry : *entries) {
        if (PassedOver(entry)) {
            continue;
        }
        std::string key = UploadKey(entry.name, entry.lastWrite);
        // A key whose file was moved out is back only because the phone sent
        // a file of that name and date again (an upload keeps the phone's
        // date of it): a new upload, not one handled already.
        if (HasSeen(key) && !movedOut_.contains(FoldKeyCase(key))) {
            continue;
        }
        const std::string path = dir + entry.name;
        // Still being written (the engine holds its lock) or not ours to
        // take: look again on the next pass.
        if (misc::IsFileInUse(path)) {
            continue;
        }
        if (!move) {
            Record(key);
            movedOut_.erase(FoldKeyCase(key));
            continue;
        }
        const std::string target = receiveDir ? receiveDir() : std::string{};
        if (misc::Trim(target).empty()) {
            continue;
        }
        // A receiving folder that is the upload folder itself already holds
        // the file; moving it would only rename it on every pass.
        if (SameFolder(target, dir)) {
            Record(key);
            movedOut_.erase(FoldKeyCase(key));
            continue;
        }
        const std::string folder = misc::IncludeTrailingDelimiter(target);
        if (HeldBack(key, folder)) {
            continue;
        }
        TMove move{path, folder + entry.name, std::move(key), folder};
        // Another file system means copying the whole file: the worker's job.
        if (platform::FolderExists(folder) && !platform::SameFileSystem(path, folder)) {
            across.push_back(std::move(move));
            continue;
        }
        // Recorded only once it has arrived: a move that failed (receiving
        // folder gone or not writable) is tried again on a later pass.
        MoveEnded(move, MoveUpload(move.source, move.wanted));
    }
    if (across.empty() || mover_.Running()) {
        return;
    }
    moving_ = std::move(across);
    landed_.assign(moving_.size(), std::nullopt);
    mover_.Run([this](std::stop_token, const TBackgroundJob::Hand& hand) {
        for (std::size_t i = 0; i < moving_.size(); ++i) {
            landed_[i] = MoveUpload(moving_[i].source, moving_[i].wanted);
        }
        hand([this] { CollectMoves(); });
    });
}

void TUploadWatcher::FinishMoves() {
    CollectMoves();
}

void TUploadWatcher::CollectMoves() {
    if (!mover_.Running()) {
        return;
    }
    mover_.Wait();
    const std::vector<TMove> moves = std::exchange(moving_, {});
    const std::vector<std::optional<std::string>> landed = std::exchange(landed_, {});
    for (std::size_t i = 0; i < moves.size(); ++i) {
        MoveEnded(moves[i], landed[i]);
    }
}

void TUploadWatcher::MoveEnded(const TMove& move, const std::optional<std::string>& landed) {
    const std::string folded = FoldKeyCase(move.key);
    if (landed) {
        retries_.erase(folded);
        Record(move.key);
        movedOut_.insert(folded);
        if (OnArrival) {
            OnArrival(*landed);
        }
        return;
    }
    TRetry& retry = retries_[folded];
    if (retry.folder != move.folder) {
        retry = TRetry{0, {}, move.folder};
    }
    ++retry.failures;
    retry.next = clock_() + MoveRetryDelay(retry.failures);
}

bool TUploadWatcher::HeldBack(const std::string& key, const std::string& folder) const {
    const auto it = retries_.find(FoldKeyCase(key));
    // A receiving folder chosen since the failure may well take the file now.
    return it != retries_.end() && it->second.folder == folder && clock_() < it->second.next;
}

bool TUploadWatcher::TimerTick(const std::string& uploadDir, const ReceiveDirProvider& receiveDir) {
    if (ScanInProgress()) {
        return false;
    }
    ScanUploadFolder(uploadDir, true, receiveDir);
    return true;
}

bool TUploadWatcher::HasSeen(const std::string& key) const {
    return foldedKeys_.contains(FoldKeyCase(key));
}

void TUploadWatcher::Release() {
    FinishMoves();
    retries_.clear();
    movedOut_.clear();
    seenUploads_.clear();
    seenUploads_.shrink_to_fit();
    foldedKeys_.clear();
}

void TUploadWatcher::Record(const std::string& key) {
    if (foldedKeys_.insert(FoldKeyCase(key)).second) {
        seenUploads_.push_back(key);
    }
}

} // namespace appcore
