// Attributes, listings, the exclusive-open test and copies and moves that
// never leave a partial file behind.

#include "platform/platform.h"
#include "platform/posix/UniqueFd.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace platform {
namespace {

using posix::UniqueFd;

// The extended attribute Wine and Samba keep the DOS attributes in, as text
// "0x" + hex (Samba's binary form starts with the same text).
constexpr const char* DosAttribName = "user.DOSATTRIB";
constexpr std::uint32_t DosBits = AttrHidden | AttrSystem | AttrArchive;

std::chrono::system_clock::time_point ToTimePoint(const timespec& time) {
    using namespace std::chrono;
    return system_clock::time_point(
        duration_cast<system_clock::duration>(seconds(time.tv_sec) + nanoseconds(time.tv_nsec)));
}

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    std::size_t slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::optional<std::uint32_t> ParseDosAttrib(const char* value, ssize_t length) {
    if (length < 3 || value[0] != '0' || (value[1] != 'x' && value[1] != 'X')) {
        return std::nullopt;
    }
    std::string text(value + 2, static_cast<std::size_t>(length - 2));
    char* end = nullptr;
    unsigned long bits = std::strtoul(text.c_str(), &end, 16);
    if (end == text.c_str()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(bits);
}

std::optional<std::uint32_t> ReadDosAttrib(const std::string& path, bool follow) {
    char value[256];
    ssize_t length = follow ? ::getxattr(path.c_str(), DosAttribName, value, sizeof value)
                            : ::lgetxattr(path.c_str(), DosAttribName, value, sizeof value);
    return ParseDosAttrib(value, length);
}

std::uint32_t AttributesFrom(const struct stat& st, std::string_view name,
                             std::optional<std::uint32_t> dos) {
    const bool isFolder = S_ISDIR(st.st_mode);
    const bool isRegular = S_ISREG(st.st_mode);
    std::uint32_t attributes = 0;
    if (isFolder) {
        attributes |= AttrDirectory;
    }
    if ((st.st_mode & S_IWUSR) == 0) {
        attributes |= AttrReadOnly;
    }
    // "." and ".." are the listing's own entries, not hidden files.
    if (name.starts_with('.') && name != "." && name != "..") {
        attributes |= AttrHidden;
    }
    if (dos) {
        attributes |= *dos & DosBits;
    } else if (isRegular) {
        attributes |= AttrArchive;
    }
    if (!isFolder && !isRegular) {
        attributes |= AttrSystem;
    }
    return attributes;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// The piece copied between two progress reports (and two looks at whether
// the copy was abandoned): small enough to stop within a fraction of a second
// on a slow disk, large enough that the calls cost nothing next to the data.
constexpr std::size_t CopyPiece = std::size_t{8} << 20;

// Reports progress; false when the copy is to be abandoned.
bool GoOn(const CopyProgress& progress, std::int64_t done, std::int64_t total) {
    if (progress && !progress(done, total)) {
        errno = ECANCELED;
        return false;
    }
    return true;
}

bool CopyByReadWrite(int source, int target, std::int64_t copied, std::int64_t expectedSize,
                     const CopyProgress& progress) {
    std::vector<char> buffer(1 << 20);
    std::size_t sinceReport = 0;
    for (;;) {
        ssize_t got = ::read(source, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (!WriteAll(target, buffer.data(), static_cast<std::size_t>(got))) {
            return false;
        }
        copied += got;
        sinceReport += static_cast<std::size_t>(got);
        if (sinceReport >= CopyPiece) {
            sinceReport = 0;
            if (!GoOn(progress, copied, expectedSize)) {
                return false;
            }
        }
    }
}

// Copies all data from the start of source to the start of target: a reflink
// where the file system shares extents, else copy_file_range, else read/write.
bool CopyData(int source, int target, std::int64_t expectedSize, const CopyProgress& progress) {
    if (::ioctl(target, FICLONE, source) == 0) {
        return GoOn(progress, expectedSize, expectedSize);
    }
    std::int64_t copied = 0;
    for (;;) {
        ssize_t n = ::copy_file_range(source, nullptr, target, nullptr, CopyPiece, 0);
        if (n > 0) {
            copied += n;
            if (!GoOn(progress, copied, expectedSize)) {
                return false;
            }
            continue;
        }
        if (n == 0) {
            // Some file systems answer 0 instead of an error when they cannot.
            if (copied == 0 && expectedSize > 0) {
                return CopyByReadWrite(source, target, 0, expectedSize, progress);
            }
            return true;
        }
        if (errno == EINTR) {
            continue;
        }
        if (copied == 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                            errno == EOPNOTSUPP || errno == EBADF)) {
            return CopyByReadWrite(source, target, 0, expectedSize, progress);
        }
        return false;
    }
}

std::string TemporaryName(const std::string& folder) {
    static std::atomic<unsigned> counter{0};
    char name[96];
    std::snprintf(name, sizeof name, "/.tessary-%d-%u-%llx.part", static_cast<int>(::getpid()),
                  counter.fetch_add(1), static_cast<unsigned long long>(PerformanceCounter()));
    return (folder == "/" ? std::string() : folder) + name;
}

void SyncFolder(const std::string& folder) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        ::fsync(fd.Get());
    }
}

// A file being written in the target's folder that takes the target's name
// only once it is complete. Where the file system allows it the file has no
// name at all until then (O_TMPFILE), so not even a crash leaves it behind;
// elsewhere it has a hidden temporary name that the destructor removes.
class PendingFile {
  public:
    static std::optional<PendingFile> Create(const std::string& folder) {
        PendingFile file;
        file.folder_ = folder;
        file.fd_.Reset(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
        if (file.fd_) {
            return file;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return std::nullopt;
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string name = TemporaryName(folder);
            file.fd_.Reset(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (file.fd_) {
                file.tempName_ = name;
                return file;
            }
            if (errno != EEXIST) {
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    PendingFile(PendingFile&&) noexcept = default;
    PendingFile& operator=(PendingFile&&) = delete;
    ~PendingFile() {
        if (!tempName_.empty()) {
            ::unlink(tempName_.c_str());
        }
    }

    int Fd() const { return fd_.Get(); }

    // Gives the file the name target; fails when anything is there.
    bool LinkNoReplace(const std::string& target) {
        if (tempName_.empty()) {
            return LinkAnonymous(target);
        }
        if (::renameat2(AT_FDCWD, tempName_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) ==
            0) {
            tempName_.clear();
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            return false;
        }
        // No RENAME_NOREPLACE here: a hard link never replaces either.
        if (::link(tempName_.c_str(), target.c_str()) != 0) {
            return false;
        }
        return true; // the destructor removes the temporary name
    }

    // Gives the file the name target, replacing what is there.
    bool Replace(const std::string& target) {
        if (tempName_.empty()) {
            std::string name;
            for (int attempt = 0; attempt < 100 && tempName_.empty(); ++attempt) {
                name = TemporaryName(folder_);
                if (LinkAnonymous(name)) {
                    tempName_ = name;
                } else if (errno != EEXIST) {
                    return false;
                }
            }
            if (tempName_.empty()) {
                return false;
            }
        }
        if (::rename(tempName_.c_str(), target.c_str()) != 0) {
            return false;
        }
        tempName_.clear();
        return true;
    }

  private:
    PendingFile() = default;

    bool LinkAnonymous(const std::string& target) {
        std::string self = "/proc/self/fd/" + std::to_string(fd_.Get());
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        if (errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0) {
            return ::linkat(fd_.Get(), "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0;
        }
        return false;
    }

    UniqueFd fd_;
    std::string folder_;
    std::string tempName_;
};

// How CopyToPending brings the data over.
enum class DataCopy {
    Any,       // a reflink where possible, else the bytes
    CloneOnly, // a reflink or nothing
};

// A complete, flushed copy of the open regular file source in target's
// folder, carrying its permissions, last-write time and DOS attributes.
std::optional<PendingFile> CopyToPending(int source, const struct stat& sourceStat,
                                         const std::string& target, bool flushToDisk = true,
                                         const CopyProgress& progress = {},
                                         DataCopy how = DataCopy::Any) {
    auto pending = PendingFile::Create(FolderOf(target));
    if (!pending) {
        return std::nullopt;
    }
    if (how == DataCopy::CloneOnly
            ? ::ioctl(pending->Fd(), FICLONE, source) != 0
            : !CopyData(source, pending->Fd(), sourceStat.st_size, progress)) {
        return std::nullopt;
    }
    char dos[256];
    ssize_t length = ::fgetxattr(source, DosAttribName, dos, sizeof dos);
    if (length > 0) {
        // Best effort: the target's file system may not keep user attributes.
        ::fsetxattr(pending->Fd(), DosAttribName, dos, static_cast<std::size_t>(length), 0);
    }
    const timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
    ::futimens(pending->Fd(), times);
    ::fchmod(pending->Fd(), sourceStat.st_mode & 0777);
    if (flushToDisk && ::fsync(pending->Fd()) != 0) {
        return std::nullopt;
    }
    return pending;
}

// Opens a regular file for reading. Without O_NONBLOCK a FIFO would wait
// here for a writer that may never come; for a regular file it changes
// nothing. follow false refuses a symbolic link.
UniqueFd OpenRegularForReading(const std::string& path, struct stat& st, bool follow = true) {
    UniqueFd fd(::open(path.c_str(),
                       O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW)));
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return UniqueFd();
    }
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    return fd;
}

// The copy half of a move between file systems: the target appears complete
// or not at all, and the source goes only after the target is on the disk.
bool MoveAcrossFileSystems(const std::string& source, const std::string& target,
                           const CopyProgress& progress) {
    struct stat st {};
    UniqueFd in = OpenRegularForReading(source, st, false);
    if (!in) {
        return false;
    }
    auto pending = CopyToPending(in.Get(), st, target, true, progress);
    if (!pending || !pending->LinkNoReplace(target)) {
        return false;
    }
    SyncFolder(FolderOf(target));
    if (::unlink(source.c_str()) != 0) {
        // Two whole files would be a copy, not a move: take the copy back.
        ::unlink(target.c_str());
        return false;
    }
    return true;
}

} // namespace

std::optional<std::uint32_t> GetAttributes(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> dos;
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
        dos = ReadDosAttrib(path, false);
    }
    return AttributesFrom(st, NameOf(path), dos);
}

bool SetAttributes(const std::string& path, std::uint32_t attributes) {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0 ||
        !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
        return false;
    }
    const std::uint32_t dosBits = attributes & DosBits;
    const bool isRegular = S_ISREG(st.st_mode);
    // Archive is what a regular file has anyway; only a departure needs storing.
    const bool needStore =
        (dosBits & (AttrHidden | AttrSystem)) != 0 || isRegular != ((dosBits & AttrArchive) != 0);

    // The kernel asks for write permission to change user attributes, so a
    // read-only file is made writable for the moment.
    const mode_t mode = st.st_mode & 07777;
    const bool lifted = (mode & S_IWUSR) == 0 && ::chmod(path.c_str(), mode | S_IWUSR) == 0;
    bool stored = true;
    if (needStore) {
        char value[16];
        int length = std::snprintf(value, sizeof value, "0x%x", static_cast<unsigned>(dosBits));
        stored = ::lsetxattr(path.c_str(), DosAttribName, value, static_cast<std::size_t>(length),
                             0) == 0;
    } else if (::lremovexattr(path.c_str(), DosAttribName) != 0) {
        // Nothing stored, or nowhere to store it: either way nothing to undo.
        stored = errno == ENODATA || errno == ENOTSUP;
    }
    if (!stored) {
        // Refused: leave the file exactly as it was.
        if (lifted) {
            ::chmod(path.c_str(), mode);
        }
        return false;
    }
    const mode_t wanted =
        (attributes & AttrReadOnly) != 0 ? (mode & ~mode_t{0222}) : (mode | S_IWUSR);
    return (wanted == mode && !lifted) || ::chmod(path.c_str(), wanted) == 0;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return false;
    }
    // A link to a folder counts as the folder; a dangling link is an entry.
    struct stat followed {};
    return !(S_ISLNK(st.st_mode) && ::stat(path.c_str(), &followed) == 0 &&
             S_ISDIR(followed.st_mode));
}

bool FolderExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFolderTree(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        std::string part = path.substr(0, end);
        if (!part.empty() && part.back() != '/' && ::mkdir(part.c_str(), 0777) != 0 &&
            errno != EEXIST) {
            break; // FolderExists below gives the answer
        }
        if (end == std::string::npos) {
            break;
        }
    }
    return FolderExists(path);
}

std::optional<FileInfo> QueryFile(const std::string& path) {
    struct stat st {};
    bool followed = true;
    if (path.empty()) {
        return std::nullopt;
    }
    if (::stat(path.c_str(), &st) != 0) {
        followed = false;
        if (::lstat(path.c_str(), &st) != 0) {
            return std::nullopt;
        }
    }
    FileInfo info;
    info.size = S_ISREG(st.st_mode) ? st.st_size : 0;
    info.lastWrite = ToTimePoint(st.st_mtim);
    std::optional<std::uint32_t> dos;
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
        dos = ReadDosAttrib(path, followed);
    }
    info.attributes = AttributesFrom(st, NameOf(path), dos);
    return info;
}

std::optional<std::vector<FolderEntry>> ListFolder(const std::string& folder) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) {
        return std::nullopt;
    }
    std::string prefix = folder;
    if (!prefix.empty() && prefix.back() != '/') {
        prefix += '/';
    }
    std::vector<FolderEntry> entries;
    const int dirFd = ::dirfd(dir.get());
    errno = 0;
    while (dirent* item = ::readdir(dir.get())) {
        struct stat st {};
        // An entry removed since readdir saw it is simply not listed.
        if (::fstatat(dirFd, item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        FolderEntry entry;
        entry.name = item->d_name;
        std::optional<std::uint32_t> dos;
        if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
            dos = ReadDosAttrib(prefix + entry.name, false);
        }
        entry.attributes = AttributesFrom(st, entry.name, dos);
        entry.size = S_ISREG(st.st_mode) ? st.st_size : 0;
        entry.lastWrite = ToTimePoint(st.st_mtim);
        entries.push_back(std::move(entry));
        errno = 0;
    }
    if (errno != 0) {
        return std::nullopt;
    }
    return entries;
}

bool TryOpenExclusive(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    // Judged from the mode, since root opens a read-only file for writing.
    if ((st.st_mode & S_IWUSR) == 0) {
        return false;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd.Get(), F_OFD_SETLK, &lock) == 0;
}

bool CopyFile(const std::string& source, const std::string& target, CopyMode mode, bool flushToDisk,
              const CopyProgress& progress) {
    struct stat st {};
    UniqueFd in = OpenRegularForReading(source, st);
    if (!in || target.empty()) {
        return false;
    }
    if (mode == CopyMode::Overwrite) {
        auto existing = GetAttributes(target);
        if (existing &&
            (*existing & (AttrHidden | AttrReadOnly | AttrDirectory | AttrSystem)) != 0) {
            return false;
        }
    } else if (struct stat there{}; ::lstat(target.c_str(), &there) == 0) {
        return false; // spare the copying; the link below would refuse anyway
    }
    auto pending = CopyToPending(in.Get(), st, target, flushToDisk, progress);
    if (!pending) {
        return false;
    }
    return mode == CopyMode::Overwrite ? pending->Replace(target) : pending->LinkNoReplace(target);
}

bool CloneFile(const std::string& source, const std::string& target) {
    struct stat st {};
    UniqueFd in = OpenRegularForReading(source, st);
    if (!in || target.empty()) {
        return false;
    }
    auto pending = CopyToPending(in.Get(), st, target, false, {}, DataCopy::CloneOnly);
    return pending && pending->LinkNoReplace(target);
}

bool HardLinkFile(const std::string& source, const std::string& target) {
    struct stat st {};
    UniqueFd in = OpenRegularForReading(source, st);
    if (!in || target.empty()) {
        return false;
    }
    // The file that was opened and found regular gets the name, even when a
    // link named source is swapped meanwhile; a link is never linked itself.
    const std::string self = "/proc/self/fd/" + std::to_string(in.Get());
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    if (errno != ENOENT || ::access("/proc/self/fd", F_OK) == 0) {
        return false;
    }
    return ::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

bool MoveFileNoReplace(const std::string& source, const std::string& target,
                       const CopyProgress& progress) {
    if (source.empty() || target.empty()) {
        return false;
    }
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno == EXDEV) {
        return MoveAcrossFileSystems(source, target, progress);
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return false;
    }
    // A file system without RENAME_NOREPLACE: a hard link never replaces.
    if (::link(source.c_str(), target.c_str()) == 0) {
        if (::unlink(source.c_str()) != 0) {
            ::unlink(target.c_str());
            return false;
        }
        return true;
    }
    if (errno == EEXIST) {
        return false;
    }
    // Nor hard links: look first, then rename (a narrow race remains here).
    struct stat there {};
    if (::lstat(target.c_str(), &there) == 0 || errno != ENOENT) {
        return false;
    }
    return ::rename(source.c_str(), target.c_str()) == 0;
}

bool SameFileSystem(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return !a.empty() && !b.empty() && ::stat(a.c_str(), &first) == 0 &&
           ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev;
}

bool DeleteFile(const std::string& path) {
    struct stat st {};
    if (path.empty()) {
        return false;
    }
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    if (S_ISDIR(st.st_mode)) {
        return false;
    }
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

std::optional<std::string> ReadFileContents(const std::string& path, std::string& error) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string content;
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        content.reserve(static_cast<std::size_t>(st.st_size));
    }
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0) {
            return content;
        }
        content.append(buffer, static_cast<std::size_t>(got));
    }
}

bool WriteFileAtomically(const std::string& path, std::string_view data, std::string& error) {
    auto pending = PendingFile::Create(FolderOf(path));
    if (!pending) {
        error = std::strerror(errno);
        return false;
    }
    if (!WriteAll(pending->Fd(), data.data(), data.size()) || !pending->Replace(path)) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

std::optional<std::int64_t> FreeSpace(const std::string& path) {
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
}

std::optional<std::string> CanonicalPath(const std::string& path) {
    std::unique_ptr<char, void (*)(void*)> resolved(::realpath(path.c_str(), nullptr), std::free);
    if (!resolved) {
        return std::nullopt;
    }
    return std::string(resolved.get());
}

} // namespace platform
