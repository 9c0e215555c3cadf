// Files and folders through the wide Win32 file-system calls.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace platform {
namespace {

using win32::Narrow;
using win32::UniqueHandle;
using win32::Wide;

constexpr DWORD KnownAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                                  FILE_ATTRIBUTE_ARCHIVE;

// Windows' FILETIME counts 100 ns steps since 1601; the clock counts since 1970.
std::chrono::system_clock::time_point ToTimePoint(const FILETIME& time) {
    ULARGE_INTEGER value{};
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    constexpr std::int64_t EpochDifference = 116444736000000000LL;
    const auto ticks = static_cast<std::int64_t>(value.QuadPart) - EpochDifference;
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>(ticks)));
}

std::int64_t ToSize(DWORD high, DWORD low) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}

bool IsDelimiter(wchar_t c) {
    return c == L'\\' || c == L'/';
}

std::wstring FolderOf(const std::wstring& path) {
    const auto end = path.find_last_of(L"\\/");
    return end == std::wstring::npos ? std::wstring(L".\\") : path.substr(0, end + 1);
}

// A name in the target's folder no other writer picks: the GUID is unique.
std::wstring TemporaryName(const std::wstring& folder) {
    const auto guid = NewGuidText();
    return folder + L".tessary-" + Wide(guid ? *guid : std::to_string(::GetTickCount64())) +
           L".part";
}

bool WriteAll(HANDLE file, const char* data, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1U << 30));
        DWORD written = 0;
        if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

// A copy in pieces with the caller told after each, so it can be followed
// and abandoned; the last-write time goes with it, as CopyFile keeps it.
bool CopyInPieces(const std::wstring& source, const std::wstring& target,
                  const CopyProgress& progress) {
    constexpr DWORD Piece = 8 << 20;
    UniqueHandle in(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    FILETIME written{};
    if (!in || !::GetFileSizeEx(in.Get(), &size) ||
        !::GetFileTime(in.Get(), nullptr, nullptr, &written))
        return false;
    UniqueHandle out(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!out)
        return false;
    auto buffer = std::make_unique<char[]>(Piece);
    std::int64_t done = 0;
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(in.Get(), buffer.get(), Piece, &got, nullptr))
            return false;
        if (got == 0)
            break;
        if (!WriteAll(out.Get(), buffer.get(), got))
            return false;
        done += got;
        if (!progress(done, std::max(done, static_cast<std::int64_t>(size.QuadPart))))
            return false;
    }
    if (done == 0 && !progress(0, 0))
        return false;
    return ::SetFileTime(out.Get(), nullptr, nullptr, &written) != FALSE;
}

// Copies source to a new temporary file in the target's folder; the caller
// moves it into place. Nothing is left behind on failure.
std::optional<std::wstring> CopyToPending(const std::wstring& source, const std::wstring& target,
                                          bool flushToDisk, const CopyProgress& progress) {
    const std::wstring pending = TemporaryName(FolderOf(target));
    const bool copied = progress ? CopyInPieces(source, pending, progress)
                                 : ::CopyFileW(source.c_str(), pending.c_str(), TRUE) != FALSE;
    if (!copied) {
        ::DeleteFileW(pending.c_str());
        return std::nullopt;
    }
    // A copy takes the source's attributes; the pending file stays writable
    // and hidden (from the file views, too) until it is in place.
    ::SetFileAttributesW(pending.c_str(), FILE_ATTRIBUTE_HIDDEN);
    if (flushToDisk) {
        UniqueHandle file(::CreateFileW(pending.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || !::FlushFileBuffers(file.Get())) {
            file.Reset();
            ::DeleteFileW(pending.c_str());
            return std::nullopt;
        }
    }
    return pending;
}

// The volume and file ids of an existing entry (a folder too).
std::optional<BY_HANDLE_FILE_INFORMATION> Identity(const std::string& path) {
    UniqueHandle entry(::CreateFileW(Wide(path).c_str(), 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!entry || !::GetFileInformationByHandle(entry.Get(), &info))
        return std::nullopt;
    return info;
}

// Puts pending in place of target, also while target is open to a reader
// that shares deletion (the engine serving it to a phone): by the rename
// that unlinks the old name at once (POSIX semantics, Windows 10 1607 on),
// else by the classic replace, retried while something holds the target.
bool ReplaceWithPending(const std::wstring& pending, const std::wstring& target) {
    constexpr auto RenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22); // FileRenameInfoEx
    constexpr DWORD ReplaceIfExists = 0x1;
    constexpr DWORD PosixSemantics = 0x2;
    {
        UniqueHandle file(::CreateFileW(pending.c_str(), DELETE | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        const std::size_t size = sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t);
        auto buffer = std::make_unique<unsigned char[]>(size);
        std::memset(buffer.get(), 0, size);
        auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.get());
        const DWORD flags = ReplaceIfExists | PosixSemantics;
        std::memcpy(info, &flags, sizeof flags); // the Flags member of newer headers
        info->RootDirectory = nullptr;
        info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
        std::memcpy(info->FileName, target.c_str(), target.size() * sizeof(wchar_t));
        if (file && ::SetFileInformationByHandle(file.Get(), RenameInfoEx, info,
                                                 static_cast<DWORD>(size)) != FALSE)
            return true;
    }
    if (::MoveFileExW(pending.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    // Without those semantics (older Windows, Wine) a file open to a reader
    // that shares deletion can still be renamed: move it aside, put pending
    // in its place, and delete the old one, which goes once the reader closes.
    const std::wstring aside = TemporaryName(FolderOf(target));
    if (::MoveFileExW(target.c_str(), aside.c_str(), 0)) {
        if (::MoveFileExW(pending.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
            ::SetFileAttributesW(aside.c_str(), FILE_ATTRIBUTE_HIDDEN);
            ::DeleteFileW(aside.c_str());
            return true;
        }
        ::MoveFileExW(aside.c_str(), target.c_str(), 0);
    }
    return win32::RetryWhileHeld([&] {
        return ::MoveFileExW(pending.c_str(), target.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    });
}

} // namespace

std::optional<std::uint32_t> GetAttributes(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return std::nullopt;
    return attributes & KnownAttributes;
}

bool SetAttributes(const std::string& path, std::uint32_t attributes) {
    // The directory bit is not the caller's to set; no other bits means "normal".
    DWORD value = attributes & (KnownAttributes & ~FILE_ATTRIBUTE_DIRECTORY);
    if (value == 0)
        value = FILE_ATTRIBUTE_NORMAL;
    return ::SetFileAttributesW(Wide(path).c_str(), value) != 0;
}

bool FileExists(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FolderExists(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateFolderTree(const std::string& path) {
    std::wstring wide = Wide(path);
    while (!wide.empty() && IsDelimiter(wide.back()))
        wide.pop_back();
    if (wide.empty())
        return false;
    // Each prefix ending before a delimiter, from the shortest. A drive
    // ("C:"), a share root or a folder already there cannot be made and
    // need not be; whether the whole path is a folder at the end decides.
    for (std::size_t i = 1; i <= wide.size(); ++i) {
        if (i < wide.size() && !IsDelimiter(wide[i]))
            continue;
        const std::wstring prefix = wide.substr(0, i);
        if (!(prefix.size() == 2 && prefix[1] == L':'))
            ::CreateDirectoryW(prefix.c_str(), nullptr);
    }
    return FolderExists(path);
}

std::optional<FileInfo> QueryFile(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data))
        return std::nullopt;
    FileInfo info;
    const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info.size = folder ? 0 : ToSize(data.nFileSizeHigh, data.nFileSizeLow);
    info.lastWrite = ToTimePoint(data.ftLastWriteTime);
    info.attributes = data.dwFileAttributes & KnownAttributes;
    return info;
}

std::optional<std::vector<FolderEntry>> ListFolder(const std::string& folder) {
    std::wstring pattern = Wide(folder);
    if (pattern.empty())
        return std::nullopt;
    if (!IsDelimiter(pattern.back()))
        pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW data{};
    HANDLE find = ::FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::vector<FolderEntry> entries;
    do {
        FolderEntry entry;
        entry.name = Narrow(data.cFileName);
        entry.attributes = data.dwFileAttributes & KnownAttributes;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            entry.size = ToSize(data.nFileSizeHigh, data.nFileSizeLow);
        entry.lastWrite = ToTimePoint(data.ftLastWriteTime);
        entries.push_back(std::move(entry));
    } while (::FindNextFileW(find, &data));
    const bool complete = ::GetLastError() == ERROR_NO_MORE_FILES;
    ::FindClose(find);
    if (!complete)
        return std::nullopt;
    return entries;
}

bool TryOpenExclusive(const std::string& path) {
    const std::wstring wide = Wide(path);
    // Windows refuses to open a read-only file for writing; the attribute is
    // checked as well, so it holds where that refusal is skipped (an
    // administrator under Wine).
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return false;
    // Share mode 0: the open fails while any other handle to the file exists.
    UniqueHandle file(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}

bool CopyFile(const std::string& source, const std::string& target, CopyMode mode, bool flushToDisk,
              const CopyProgress& progress) {
    const std::wstring from = Wide(source);
    const std::wstring to = Wide(target);
    if (from.empty() || to.empty() || !FileExists(source))
        return false;
    if (mode == CopyMode::Overwrite) {
        auto existing = GetAttributes(target);
        if (existing && (*existing & (AttrHidden | AttrReadOnly | AttrDirectory | AttrSystem)) != 0)
            return false;
    } else if (::GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    // Copied beside the target first, so the target appears whole or not at all.
    const auto pending = CopyToPending(from, to, flushToDisk, progress);
    if (!pending)
        return false;
    const DWORD attributes = ::GetFileAttributesW(from.c_str());
    const DWORD flags =
        MOVEFILE_WRITE_THROUGH | (mode == CopyMode::Overwrite ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!::MoveFileExW(pending->c_str(), to.c_str(), flags)) {
        ::DeleteFileW(pending->c_str());
        return false;
    }
    ::SetFileAttributesW(to.c_str(), attributes == INVALID_FILE_ATTRIBUTES ? FILE_ATTRIBUTE_NORMAL
                                                                           : attributes);
    return true;
}

// NTFS, the file system of nearly every Windows PC, has no shared extents;
// the block cloning of ReFS is not asked for, so callers take a hard link or
// a copy instead.
bool CloneFile(const std::string&, const std::string&) {
    return false;
}

// Published copies are never linked here. A link is the user's own file:
// the engine serving it (without write sharing) would refuse the user's
// editor a save, and an editor holding it (without delete sharing) would
// keep the link in the web root after exit. Serving with write sharing
// instead would let a save change the bytes in the middle of a phone's
// download. A copy is the file as the user picked it.
bool HardLinkFile(const std::string&, const std::string&) {
    return false;
}

bool SameFileSystem(const std::string& a, const std::string& b) {
    const auto first = Identity(a);
    const auto second = Identity(b);
    return first && second && first->dwVolumeSerialNumber == second->dwVolumeSerialNumber;
}

bool MoveFileNoReplace(const std::string& source, const std::string& target,
                       const CopyProgress& progress) {
    const std::wstring from = Wide(source);
    const std::wstring to = Wide(target);
    if (from.empty() || to.empty())
        return false;
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists.
    if (win32::RetryWhileHeld([&] {
            return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
        }))
        return true;
    if (::GetLastError() != ERROR_NOT_SAME_DEVICE)
        return false;
    // Another volume: a flushed copy beside the target, moved into place
    // without replacing, and only then the source removed.
    if (::GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES)
        return false;
    const auto pending = CopyToPending(from, to, true, progress);
    if (!pending)
        return false;
    const DWORD attributes = ::GetFileAttributesW(from.c_str());
    if (!::MoveFileExW(pending->c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileW(pending->c_str());
        return false;
    }
    if (!::DeleteFileW(from.c_str())) {
        ::DeleteFileW(to.c_str());
        return false;
    }
    ::SetFileAttributesW(to.c_str(), attributes == INVALID_FILE_ATTRIBUTES ? FILE_ATTRIBUTE_NORMAL
                                                                           : attributes);
    return true;
}

bool DeleteFile(const std::string& path) {
    const std::wstring wide = Wide(path);
    if (win32::RetryWhileHeld([&] { return ::DeleteFileW(wide.c_str()) != FALSE; }))
        return true;
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES;
}

std::optional<std::string> ReadFileContents(const std::string& path, std::string& error) {
    UniqueHandle file(::CreateFileW(Wide(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = "cannot open " + path + " (error " + std::to_string(::GetLastError()) + ")";
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) {
            error = "cannot read " + path + " (error " + std::to_string(::GetLastError()) + ")";
            return std::nullopt;
        }
        if (got == 0)
            return content;
        content.append(buffer, got);
    }
}

bool WriteFileAtomically(const std::string& path, std::string_view data, std::string& error) {
    const std::wstring target = Wide(path);
    if (target.empty()) {
        error = "no file name given";
        return false;
    }
    const std::wstring pending = TemporaryName(FolderOf(target));
    {
        UniqueHandle file(::CreateFileW(pending.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            error = "cannot create a file beside " + path + " (error " +
                    std::to_string(::GetLastError()) + ")";
            return false;
        }
        if (!WriteAll(file.Get(), data.data(), data.size()) || !::FlushFileBuffers(file.Get())) {
            error = "cannot write " + path + " (error " + std::to_string(::GetLastError()) + ")";
            file.Reset();
            ::DeleteFileW(pending.c_str());
            return false;
        }
    }
    if (!ReplaceWithPending(pending, target)) {
        error = "cannot replace " + path + " (error " + std::to_string(::GetLastError()) + ")";
        ::DeleteFileW(pending.c_str());
        return false;
    }
    return true;
}

std::optional<std::int64_t> FreeSpace(const std::string& path) {
    std::wstring folder = Wide(path);
    // The call wants a folder; a file's own folder answers for it.
    if (!FolderExists(path))
        folder = FolderOf(folder);
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr))
        return std::nullopt;
    return static_cast<std::int64_t>(available.QuadPart);
}

std::optional<std::string> CanonicalPath(const std::string& path) {
    // Opening the entry and asking for its final path resolves links, "."
    // and "..", and expands 8.3 short names to the long ones.
    UniqueHandle entry(::CreateFileW(Wide(path).c_str(), 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!entry)
        return std::nullopt;
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(
            entry.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
        if (length == 0)
            return std::nullopt;
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(length + 1);
    }
    // "\\?\C:\..." for a drive, "\\?\UNC\server\share\..." for a share.
    if (buffer.starts_with(L"\\\\?\\UNC\\"))
        buffer = L"\\\\" + buffer.substr(8);
    else if (buffer.starts_with(L"\\\\?\\"))
        buffer = buffer.substr(4);
    return Narrow(buffer);
}

} // namespace platform
