#pragma once

// Everything the program asks of the operating system. Nothing outside this
// folder calls the OS directly; posix/ implements this header for Linux,
// win32/ for Windows (the build picks one).
//
// Paths are UTF-8 text. Functions that name a folder return it with a
// trailing delimiter unless they say otherwise.

#include "OsTraits.h" // posix/ or win32/: the path delimiter, the program suffix

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// ---------------------------------------------------------------- paths ----

// The user's documents folder: XDG_DOCUMENTS_DIR from user-dirs.dirs, else
// ~/Documents. Empty text when no home folder is known.
std::string DocumentsFolder();
// The user's data folder ($XDG_DATA_HOME, else ~/.local/share).
std::string AppDataFolder();
// The user's configuration folder ($XDG_CONFIG_HOME, else ~/.config).
std::string ConfigFolder();
// The temporary folder ($TMPDIR, else /tmp).
std::string TempFolder();
// The full path of the running program file.
std::string ExecutablePath();

// ------------------------------------------------------------- counters ----

// A monotonic counter in nanoseconds; only differences mean anything.
std::int64_t PerformanceCounter();

// A name as this system's file system would store it, for a file name a
// client sends. Linux takes any name without "/" as it is. Windows turns
// < > : " | ? * into "_" (so no name reaches a drive, a stream like
// "a.txt:x" or "a.txt::$DATA", or a wildcard), drops trailing dots and
// blanks (which Windows would drop silently) and puts "_" before a device
// name ("CON", "nul.txt", "COM1"), which would open the device. Empty when
// nothing is left.
std::string FileNameForThisSystem(std::string_view name);
// True when the name, as one path component, opens exactly the entry of
// that name and nothing else (FileNameForThisSystem leaves it unchanged).
bool IsPlainFileName(std::string_view name);
// True when a file of that name can be made in folder, also with a
// numbering of up to six characters ("(9999)") added: here a name of at most
// 255 bytes; on Windows at most 255 UTF-16 units, with folder, name and
// numbering under the 260 characters (MAX_PATH) a path may have there.
bool NameFitsFolder(std::string_view folder, std::string_view name);

// ----------------------------------------------------------- attributes ----

// The Windows attribute bits, as the rest of the program reasons about them.
enum Attribute : std::uint32_t {
    AttrReadOnly = 0x01,
    AttrHidden = 0x02,
    AttrSystem = 0x04,
    AttrVolumeLabel = 0x08,
    AttrDirectory = 0x10,
    AttrArchive = 0x20,
};

// Attributes of the entry at path (symbolic links are not followed for the
// system bit: a link is neither a regular file nor a folder). Hidden: a name
// that starts with "." or the hidden bit of user.DOSATTRIB. Read-only: no
// owner write bit. nullopt when nothing is there.
std::optional<std::uint32_t> GetAttributes(const std::string& path);
// Sets exactly the given attributes: read-only through the owner write bit,
// hidden, system and archive through user.DOSATTRIB. False when the file
// system refuses (for example no user extended attributes); the caller
// decides whether that matters.
bool SetAttributes(const std::string& path, std::uint32_t attributes);

// ------------------------------------------------------ files, folders ----

// True when path names an existing entry that is not a folder.
bool FileExists(const std::string& path);
// True when path names an existing folder.
bool FolderExists(const std::string& path);
// Creates the folder with every missing parent. True when it exists after.
bool CreateFolderTree(const std::string& path);

struct FileInfo {
    std::int64_t size = 0;
    std::chrono::system_clock::time_point lastWrite;
    std::uint32_t attributes = 0;
};
// Size, last-write time and attributes of the file at path, following a
// symbolic link (a dangling one describes the link). Folders have size 0.
std::optional<FileInfo> QueryFile(const std::string& path);

struct FolderEntry {
    std::string name;
    std::uint32_t attributes = 0;
    std::int64_t size = 0;
    std::chrono::system_clock::time_point lastWrite;
};
// Every entry of a folder, "." and ".." included, of every kind, in the
// order the file system lists them; links are described as themselves.
// Only regular files have a size. nullopt when the folder cannot be read.
std::optional<std::vector<FolderEntry>> ListFolder(const std::string& folder);

// Opens the file for reading and writing and takes a non-blocking
// open-file-description write lock on all of it, then lets go at once.
// True only when both succeeded: false means another process holds it, it is
// read-only, or it cannot be opened.
bool TryOpenExclusive(const std::string& path);

enum class CopyMode {
    Overwrite,   // replaces a target unless it is hidden or read-only
    FailIfExists // never replaces anything
};
// Told, as a copy goes on, how many of the total bytes have been copied;
// answering false abandons the copy, which then fails and leaves no target.
// Called on the copying thread, after every piece of a few megabytes.
using CopyProgress = std::function<bool(std::int64_t done, std::int64_t total)>;

// Copies a regular file (reflink or copy_file_range where available). The
// target appears complete or not at all: on any failure no partial target
// is left behind.
// With flushToDisk false the copy is complete when it appears but may still
// sit in the page cache (for copies that live only as long as the run).
bool CopyFile(const std::string& source, const std::string& target, CopyMode mode,
              bool flushToDisk = true, const CopyProgress& progress = {});

// Makes target a copy of the regular file source that shares its data with
// it (a reflink) instead of copying the bytes; never replaces anything. False,
// with no target left, where the file system cannot share data between them.
bool CloneFile(const std::string& source, const std::string& target);

// Gives the regular file source a second name, target (a hard link: one file,
// two names; deleting either name leaves the other whole); never replaces
// anything. False, with nothing changed, across file systems or where the
// file system or its rules do not allow the link; always on Windows, where a
// link would tie the user's own file to the engine that serves it.
bool HardLinkFile(const std::string& source, const std::string& target);

// Moves a file and never replaces an existing target. Across file systems it
// copies to a temporary name in the target folder, flushes, links the copy
// into place without replacing and only then removes the source; on failure
// (or when progress abandons the copy) no partial target exists and the
// source is whole.
bool MoveFileNoReplace(const std::string& source, const std::string& target,
                       const CopyProgress& progress = {});

// True when the existing entries at a and b lie on one file system, so that
// a move between them is a rename and copies nothing; false when they do not
// or either cannot be examined.
bool SameFileSystem(const std::string& a, const std::string& b);

// Deletes a file (not a folder). True when it is gone afterwards.
bool DeleteFile(const std::string& path);

// The whole content of a file; nullopt on failure, with the reason in error.
std::optional<std::string> ReadFileContents(const std::string& path, std::string& error);

// Makes data the whole content of path, through a temporary file in the same
// folder renamed into place: readers see the old content or the new, and a
// failure (disk full) leaves the old file as it was. False on failure, with
// the reason in error.
bool WriteFileAtomically(const std::string& path, std::string_view data, std::string& error);

// Bytes free for an unprivileged writer on the file system holding path,
// nullopt when unknown.
std::optional<std::int64_t> FreeSpace(const std::string& path);

// A file held open with an open-file-description write lock on the whole of
// it, so that TryOpenExclusive answers false while this object lives. Used by
// the engine for every file it writes, and by tests.
class LockedFile {
  public:
    LockedFile() = default;
    ~LockedFile();
    LockedFile(LockedFile&& other) noexcept;
    LockedFile& operator=(LockedFile&& other) noexcept;
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    // Creates a new file (never replacing one) and locks it.
    static std::optional<LockedFile> CreateNew(const std::string& path);
    // Opens an existing file for appending and locks it; fails when another
    // holder has the lock.
    static std::optional<LockedFile> OpenExisting(const std::string& path);

    bool IsOpen() const { return fd_ >= 0; }
    // Appends all of data. False on any write failure (for example disk full).
    bool Append(std::span<const char> data);
    // Flushes data and metadata to the disk.
    bool Sync();
    // Current size of the file.
    std::int64_t Size() const;
    // Truncates the file to size bytes.
    bool Truncate(std::int64_t size);
    // Sets the file's last-write time (call after the last write, which
    // would move it again). False when the file system refuses.
    bool SetLastWrite(std::chrono::system_clock::time_point time);
    // The OS handle, for APIs that need it (it stays owned by this object).
    int NativeHandle() const { return fd_; }
    // Closes the file, which releases the lock.
    void Close();

  private:
    explicit LockedFile(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// A file opened for reading, for serving it by its handle.
class ReadOnlyFile {
  public:
    ReadOnlyFile() = default;
    ~ReadOnlyFile();
    ReadOnlyFile(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // Opens a regular file for reading; nullopt for anything else.
    static std::optional<ReadOnlyFile> Open(const std::string& path);
    std::int64_t Size() const { return size_; }
    // When the content last changed, in nanoseconds since 1970 (UTC).
    std::int64_t ModifiedNs() const { return modifiedNs_; }
    int NativeHandle() const { return fd_; }
    // Reads up to out.size() bytes from offset on, without moving any file
    // position. The count read (0 at the end), -1 on failure.
    std::int64_t ReadAt(std::int64_t offset, std::span<char> out) const;
    // Gives up ownership of the handle (for a library that closes it).
    int Release();

  private:
    ReadOnlyFile(int fd, std::int64_t size, std::int64_t modifiedNs)
        : fd_(fd), size_(size), modifiedNs_(modifiedNs) {}
    int fd_ = -1;
    std::int64_t size_ = 0;
    std::int64_t modifiedNs_ = 0;
};

// The absolute path with every symbolic link and "." / ".." resolved;
// nullopt when the path does not exist.
std::optional<std::string> CanonicalPath(const std::string& path);

// ----------------------------------------------------------- local time ----

// A moment as the calendar and clock of the user's time zone show it.
struct LocalDateTime {
    int year = 0;   // e.g. 2019
    int month = 0;  // 1 to 12
    int day = 0;    // 1 to 31
    int hour = 0;   // 0 to 23
    int minute = 0; // 0 to 59
    int second = 0; // 0 to 60 (a leap second)
};
// The moment, cut to whole seconds, in the local time zone (TZ, else the
// system's zone); nullopt when it cannot be converted.
std::optional<LocalDateTime> ToLocalDateTime(std::chrono::system_clock::time_point time);

// ------------------------------------------------------------ processes ----

// The arguments this program was started with, after its own name, as
// UTF-8: main's argv here; on Windows the wide command line, since main's
// argv there holds only what the ANSI code page can spell.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Splits a parameter string by the Windows command-line rules (blanks
// separate, double quotes group, backslashes escape only before a quote).
std::vector<std::string> SplitCommandLine(std::string_view parameters);

// Starts file detached (its own session, no inherited descriptors, reaped by
// a waiting thread so no zombie remains), with the file's folder as working
// folder, standard streams on /dev/null and the parameters split by
// SplitCommandLine. True when the program was started; false for a missing
// or non-executable file.
bool RunHidden(const std::string& file, std::string_view parameters);

// Hands a folder, file or web address to the desktop's default application
// (xdg-open), detached. True when the opener was started.
bool OpenWithDefaultApp(const std::string& target);

// The account a process runs as, whole: the user id here, the account's
// SID on Windows ("S-1-5-21-...-1001"), as text. Two accounts of two
// domains may share the SID's last part, never the whole of it.
using UserId = std::string;

struct ProcessInfo {
    int pid = 0;
    UserId user;
    std::string executable; // full path of the program file; empty if unreadable
};
// The running processes that this user may inspect.
std::vector<ProcessInfo> ListProcesses();
// The real user of this process.
UserId CurrentUserId();
// The id of this process.
int CurrentProcessId();
enum class Signal { Terminate, Kill };
// Sends the signal; true when it was delivered.
bool SendSignal(int pid, Signal signal);
// True while a process with that id exists and has not ended (a zombie has).
bool ProcessExists(int pid);

// A process held from the moment it was found. Ids are reused once a
// process has ended, so it is asked to stop, forced and watched through what
// was held then (a handle on Windows, a pidfd on Linux where there is one),
// never through its id alone.
class RunningProcess {
  public:
    // Takes over handle, the system's hold on process pid (-1 for none:
    // then the id is all there is).
    RunningProcess(int pid, std::intptr_t handle);
    ~RunningProcess();
    RunningProcess(RunningProcess&& other) noexcept;
    RunningProcess& operator=(RunningProcess&& other) noexcept;
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;

    int Id() const { return pid_; }
    // True once it has ended (a zombie has).
    bool HasEnded() const;
    // Asks it to stop or forces it; true when the request was delivered.
    bool Send(Signal signal) const;

  private:
    int pid_ = 0;
    std::intptr_t handle_ = -1;
};
// The ids of the processes, in their order.
std::vector<int> ProcessIds(const std::vector<RunningProcess>& processes);

// Processes of the given user whose program file is exactly programPath (also
// when the file was replaced since they started), held from now on. Never
// the calling process.
std::vector<RunningProcess> FindProcessesOfProgram(const std::string& programPath,
                                                   const UserId& user);
// Asks each process to end, forces those still there after grace, and
// returns the ids of those that are gone afterwards.
std::vector<int> EndProcesses(const std::vector<RunningProcess>& processes,
                              std::chrono::milliseconds grace);
// The processes holding a listening TCP socket on the local port (IPv4 or
// IPv6): empty when nothing listens there; nullopt when something listens
// but its owner cannot be told (another user's process, unreadable tables).
std::optional<std::vector<int>> ListeningSocketOwners(std::uint16_t port);

// Tells whether the process that started this one has ended since the watch
// was made (make it first thing in main). An orphan at start watches nothing.
class ParentProcessWatch {
  public:
    ParentProcessWatch();
    ~ParentProcessWatch();
    ParentProcessWatch(const ParentProcessWatch&) = delete;
    ParentProcessWatch& operator=(const ParentProcessWatch&) = delete;
    // True once the starting process has gone.
    bool ParentHasEnded() const;

  private:
    int parent_ = 0;
    // Where the system gives one, a hold on the parent taken at start (-1
    // for none), so a later process with its id is never taken for it.
    std::intptr_t held_ = -1;
};

// ---------------------------------------------------- writeback, sockets ----

// Asks the system to start writing the given range of an open file to disk
// without waiting for it, so a later Sync has little left to do. False when
// the request was refused; the data is still written in time.
bool StartWriteback(int handle, std::int64_t offset, std::int64_t length);

// An IPv4 socket address (a sockaddr_in) in this system's layout, for a
// library that takes one; address and port in host byte order.
struct IPv4SocketAddress {
    alignas(8) unsigned char bytes[16] = {};
};
IPv4SocketAddress MakeIPv4SocketAddress(std::uint32_t address, std::uint16_t port);
// The dotted address of a socket address a library hands out (a sockaddr);
// empty when it is null or not IPv4.
std::string IPv4AddressText(const void* socketAddress);
// The address of such a socket address as a number in host byte order; 0
// when it is null or not IPv4.
std::uint32_t IPv4AddressNumber(const void* socketAddress);

// Shuts a connected socket down in both directions (it stays open for its
// owner to close), which ends whatever waits on it. False on failure.
bool ShutdownSocket(int socket);
// Sends a few hundred bytes on a connected socket that nothing else writes
// to at the moment, then shuts it down so that the peer still reads them:
// both ways here; on Windows only the sending side, as a closing server
// does, since a shutdown of both resets a connection whose peer is still
// sending and the bytes are lost. False when not every byte could be sent
// at once.
bool SendLastWords(int socket, std::string_view bytes);
// How many bytes sent on a connected TCP socket the peer has acknowledged so
// far (what it has taken in, whether or not it reads them); nullopt when
// the system cannot tell.
std::optional<std::uint64_t> SocketBytesDelivered(int socket);

// -------------------------------------------------------------- threads ----

// Gives the calling thread a background priority for the processor and, where
// the system can, the disk, below the threads that serve the user (the GUI
// thread), for long copies. False when refused.
bool LowerThreadPriority();

// -------------------------------------------------------------- signals ----

// Makes the stop signals (SIGTERM, SIGINT, SIGHUP) wait for
// WaitForStopSignal instead of ending the process, in the calling thread and
// every thread it starts afterwards; a write to a closed connection or past
// the file-size limit then fails with an error instead of killing the
// process. Call before any thread is started.
void HoldStopSignals();
// Waits up to timeout for a stop signal; true when one arrived.
bool WaitForStopSignal(std::chrono::milliseconds timeout);

// While it lives, a request to stop the process (SIGTERM, SIGINT, SIGHUP
// here) no longer ends it at once: onStop is called instead, once per
// request, on a thread of the watch's own (never inside a signal handler),
// so the program can close as its user would. Requests that come close
// together may be reported once. Only one may live at a time.
class StopRequestWatch {
  public:
    explicit StopRequestWatch(std::function<void()> onStop);
    // Gives the requests their default action back.
    ~StopRequestWatch();
    StopRequestWatch(const StopRequestWatch&) = delete;
    StopRequestWatch& operator=(const StopRequestWatch&) = delete;
    // False when the requests could not be caught (they then end the process).
    bool IsWatching() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// ----------------------------------------------------------------- misc ----

// A new GUID in the standard upper-case braced form
// ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"); nullopt on failure.
std::optional<std::string> NewGuidText();

// One line of diagnostic output on standard error.
void DebugOutput(std::string_view text);

// Fills bytes from the operating system's random source (getrandom here),
// fit for secrets. False when the source failed.
bool RandomBytes(std::span<unsigned char> bytes);

// ----------------------------------------------------- network tables ----

// The local host name as the system gives it (gethostname); empty when it
// has none.
std::string LocalHostName();

// IPv4 addresses of the local host name (gethostname + getaddrinfo) in the
// resolver's order, dotted; nullopt when the lookup finds nothing.
std::optional<std::vector<std::string>> HostNameAddresses();

// One row of the interface table: an IANA interface type (6 Ethernet,
// 24 loopback, 71 IEEE 802.11, 131 tunnel, 1 other) and an operational
// status code (5 operational, 4 connected, 2 disconnected, 0 non-operational).
struct InterfaceRow {
    std::uint32_t index = 0;
    std::int32_t type = 0;
    std::uint32_t operStatus = 0;
    std::string name;
};
// One row of the IPv4 address table.
struct AddressRow {
    std::uint32_t address = 0; // host byte order, for sorting
    std::string dotted;
    std::uint32_t interfaceIndex = 0;
};
// The interface table sorted by index; nullopt when it cannot be read.
std::optional<std::vector<InterfaceRow>> ReadInterfaceTable();
// The IPv4 address table sorted by address; nullopt when it cannot be read.
std::optional<std::vector<AddressRow>> ReadAddressTable();

// One IPv4 default route (destination 0.0.0.0/0) that is in use: the index
// of the interface it leaves by, as in InterfaceRow, and its metric (the
// lower, the more preferred).
struct DefaultRoute {
    std::uint32_t interfaceIndex = 0;
    std::uint32_t metric = 0;
};
// The default routes of the main IPv4 routing table, in the table's order
// (empty when there is none); nullopt when the table cannot be read.
std::optional<std::vector<DefaultRoute>> ReadDefaultRoutes();

// What the system does that keeps a phone on the local network from
// reaching the engine at enginePath through the IPv4 address (dotted) the QR
// codes carry, as one line that says what to do about it; nullopt when
// nothing is known to block it. Windows: the network of that address marked
// Public, or a firewall that is on with no enabled inbound rule letting the
// engine in. Linux: always nullopt (no common firewall interface).
std::optional<std::string> PhoneBlockedNotice(const std::string& enginePath,
                                              const std::string& address);

// ---------------------------------------------------------------- proxy ----

// The proxy the system's settings name for url, as libcurl takes it
// ("http://host:port", "socks4://host:port"); nullopt for a direct
// connection or where the system keeps no setting of its own. Windows: the
// current user's Internet Options, which WinInet reads (a fixed proxy for
// all schemes or per scheme, and its bypass list). Linux: the setting is the
// environment (http_proxy, https_proxy, no_proxy), which libcurl reads by
// itself, so always nullopt.
std::optional<std::string> SystemProxyFor(const std::string& url);

// ----------------------------------------------------- settings store ----

// Per-user values kept between runs, in $XDG_CONFIG_HOME/Tessary/settings.ini
// (a key like "Software\Tessary" is a section), written atomically.
// nullopt when the value or the store is missing or unreadable.
std::optional<std::string> ReadUserSetting(const std::string& key, const std::string& name);
// False when the store cannot be written.
bool WriteUserSetting(const std::string& key, const std::string& name, const std::string& value);

// ------------------------------------------------------------ signature ----

enum class SignatureResult { Valid, Invalid, Error };
// Checks the detached Ed25519 signature "<file>.sig" against a raw 32-byte
// public key. Invalid when there is no signature or it does not verify;
// Error when the check itself could not be carried out.
SignatureResult VerifyDetachedSignature(const std::string& file,
                                        std::span<const unsigned char> publicKey);

} // namespace platform
