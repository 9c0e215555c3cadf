// Starting programs detached, and the process table.

#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace platform {
namespace {

// What the kernel appends to the link of a program file replaced since start.
constexpr std::string_view DeletedMark = " (deleted)";

class SpawnSetup {
  public:
    SpawnSetup() {
        ::posix_spawn_file_actions_init(&actions_);
        ::posix_spawnattr_init(&attributes_);
    }
    ~SpawnSetup() {
        ::posix_spawnattr_destroy(&attributes_);
        ::posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t* Actions() { return &actions_; }
    posix_spawnattr_t* Attributes() { return &attributes_; }

  private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

// Starts a program that outlives nothing of ours: its own session, clean
// signal state, standard streams on /dev/null and no inherited descriptors.
// A detached thread waits for it, so it never lingers as a zombie; that keeps
// SIGCHLD alone, which Qt's process handling relies on.
bool SpawnDetached(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& workingFolder, bool searchPath) {
    SpawnSetup setup;
    auto* actions = setup.Actions();
    if (::posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0) != 0 ||
        ::posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0) != 0 ||
        ::posix_spawn_file_actions_addopen(actions, 2, "/dev/null", O_WRONLY, 0) != 0 ||
        ::posix_spawn_file_actions_addclosefrom_np(actions, 3) != 0) {
        return false;
    }
    if (!workingFolder.empty() &&
        ::posix_spawn_file_actions_addchdir_np(actions, workingFolder.c_str()) != 0) {
        return false;
    }
    sigset_t none;
    sigemptyset(&none);
    sigset_t reset;
    sigemptyset(&reset);
    for (int signal :
         {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGXFSZ}) {
        sigaddset(&reset, signal);
    }
    auto* attributes = setup.Attributes();
    if (::posix_spawnattr_setsigmask(attributes, &none) != 0 ||
        ::posix_spawnattr_setsigdefault(attributes, &reset) != 0 ||
        ::posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                   POSIX_SPAWN_SETSID) != 0) {
        return false;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = 0;
    int result =
        searchPath
            ? ::posix_spawnp(&pid, program.c_str(), actions, attributes, argv.data(), environ)
            : ::posix_spawn(&pid, program.c_str(), actions, attributes, argv.data(), environ);
    if (result != 0) {
        return false;
    }
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the program runs all the same and is only
        // reaped when this process ends.
    }
    return true;
}

std::string CurrentFolder() {
    std::unique_ptr<char, void (*)(void*)> folder(::getcwd(nullptr, 0), std::free);
    return folder ? std::string(folder.get()) : std::string();
}

std::string ReadLink(const std::string& path) {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            return {};
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

// The real user id from /proc/<pid>/status ("Uid: real effective ...").
std::optional<unsigned> RealUid(const std::string& procFolder) {
    std::ifstream status(procFolder + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("Uid:")) {
            return static_cast<unsigned>(std::strtoul(line.c_str() + 4, nullptr, 10));
        }
    }
    return std::nullopt;
}

bool IsZombie(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // "pid (name) S ...": the name may hold blanks and brackets, so look
    // after the last closing bracket.
    std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

// Inodes of the listening TCP sockets on a local port, from one of the
// kernel's socket tables ("sl local rem st ... inode", addresses in hex).
void ListeningInodes(const std::string& table, std::uint16_t port, std::set<std::string>& inodes) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line); // the heading
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode)) {
            continue;
        }
        const std::size_t colon = local.rfind(':');
        constexpr std::string_view Listen = "0A";
        if (colon == std::string::npos || state != Listen) {
            continue;
        }
        if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port && inode != "0") {
            inodes.insert(inode);
        }
    }
}

} // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

bool RunHidden(const std::string& file, std::string_view parameters) {
    if (file.empty()) {
        return false;
    }
    std::string program = file;
    if (program.front() != '/') {
        // The child changes folder before it starts the program.
        std::string current = CurrentFolder();
        if (current.empty()) {
            return false;
        }
        program = current + "/" + program;
    }
    std::size_t slash = program.find_last_of('/');
    std::string folder = slash == 0 ? "/" : program.substr(0, slash);
    return SpawnDetached(program, SplitCommandLine(parameters), folder, false);
}

bool OpenWithDefaultApp(const std::string& target) {
    if (target.empty()) {
        return false;
    }
    return SpawnDetached("xdg-open", {target}, {}, true);
}

std::vector<ProcessInfo> ListProcesses() {
    std::vector<ProcessInfo> processes;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) {
        return processes;
    }
    while (dirent* entry = ::readdir(proc.get())) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0) {
            continue;
        }
        std::string folder = std::string("/proc/") + entry->d_name;
        auto uid = RealUid(folder);
        if (!uid) {
            continue; // gone meanwhile
        }
        ProcessInfo info;
        info.pid = static_cast<int>(pid);
        info.user = std::to_string(*uid);
        info.executable = ReadLink(folder + "/exe");
        // A program file replaced while it runs (an update) still names it.
        if (info.executable.ends_with(DeletedMark)) {
            info.executable.resize(info.executable.size() - DeletedMark.size());
        }
        processes.push_back(std::move(info));
    }
    return processes;
}

UserId CurrentUserId() {
    return std::to_string(::getuid());
}

int CurrentProcessId() {
    return static_cast<int>(::getpid());
}

bool SendSignal(int pid, Signal signal) {
    // 0 and negative ids address whole process groups: never that.
    if (pid <= 0) {
        return false;
    }
    return ::kill(pid, signal == Signal::Kill ? SIGKILL : SIGTERM) == 0;
}

bool ProcessExists(int pid) {
    if (pid <= 0) {
        return false;
    }
    if (::kill(pid, 0) != 0 && errno != EPERM) {
        return false;
    }
    // A zombie has ended; only its parent's bookkeeping remains.
    return !IsZombie(pid);
}

std::vector<RunningProcess> FindProcessesOfProgram(const std::string& programPath,
                                                   const UserId& user) {
    std::vector<RunningProcess> found;
    std::string path = programPath;
    if (path.ends_with(DeletedMark)) {
        path.resize(path.size() - DeletedMark.size());
    }
    if (path.empty()) {
        return found;
    }
    const int me = CurrentProcessId();
    const auto isIt = [&](const ProcessInfo& process) {
        return process.pid != me && process.user == user && process.executable == path;
    };
    for (const auto& process : ListProcesses()) {
        if (!isIt(process)) {
            continue;
        }
        // Held first, then looked at again: the hold is on the process that
        // was checked, not on one that took its id in between.
        const int held = static_cast<int>(::syscall(SYS_pidfd_open, process.pid, 0));
        const std::string folder = "/proc/" + std::to_string(process.pid);
        ProcessInfo again{process.pid, {}, ReadLink(folder + "/exe")};
        if (again.executable.ends_with(DeletedMark)) {
            again.executable.resize(again.executable.size() - DeletedMark.size());
        }
        const auto uid = RealUid(folder);
        again.user = uid ? std::to_string(*uid) : std::string();
        if (isIt(again)) {
            found.emplace_back(process.pid, held);
        } else if (held >= 0) {
            ::close(held);
        }
    }
    return found;
}

RunningProcess::RunningProcess(int pid, std::intptr_t handle) : pid_(pid), handle_(handle) {}

RunningProcess::~RunningProcess() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));
    }
}

RunningProcess::RunningProcess(RunningProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)), handle_(std::exchange(other.handle_, -1)) {}

RunningProcess& RunningProcess::operator=(RunningProcess&& other) noexcept {
    if (this != &other) {
        if (handle_ >= 0) {
            ::close(static_cast<int>(handle_));
        }
        pid_ = std::exchange(other.pid_, 0);
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

bool RunningProcess::HasEnded() const {
    if (handle_ < 0) {
        return !ProcessExists(pid_);
    }
    // A pidfd reads as ready once its process has ended.
    pollfd entry{static_cast<int>(handle_), POLLIN, 0};
    return ::poll(&entry, 1, 0) != 0;
}

bool RunningProcess::Send(Signal signal) const {
    if (handle_ < 0) {
        return SendSignal(pid_, signal);
    }
    return ::syscall(SYS_pidfd_send_signal, static_cast<int>(handle_),
                     signal == Signal::Kill ? SIGKILL : SIGTERM, nullptr, 0) == 0;
}

std::optional<std::vector<int>> ListeningSocketOwners(std::uint16_t port) {
    std::set<std::string> inodes;
    ListeningInodes("/proc/net/tcp", port, inodes);
    ListeningInodes("/proc/net/tcp6", port, inodes);
    std::vector<int> owners;
    if (inodes.empty()) {
        return owners;
    }
    std::set<std::string> owned;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) {
        return std::nullopt;
    }
    while (dirent* entry = ::readdir(proc.get())) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0) {
            continue;
        }
        const std::string fdFolder = std::string("/proc/") + entry->d_name + "/fd";
        std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir(fdFolder.c_str()), ::closedir);
        if (!fds) {
            continue; // another user's, or gone meanwhile
        }
        bool holds = false;
        while (dirent* fd = ::readdir(fds.get())) {
            const std::string target = ReadLink(fdFolder + "/" + fd->d_name);
            constexpr std::string_view prefix = "socket:[";
            if (!target.starts_with(prefix) || target.back() != ']') {
                continue;
            }
            const std::string inode =
                target.substr(prefix.size(), target.size() - prefix.size() - 1);
            if (inodes.contains(inode)) {
                owned.insert(inode);
                holds = true;
            }
        }
        if (holds) {
            owners.push_back(static_cast<int>(pid));
        }
    }
    if (owned.size() != inodes.size()) {
        return std::nullopt; // a listener this process cannot see into
    }
    return owners;
}

ParentProcessWatch::ParentProcessWatch() : parent_(static_cast<int>(::getppid())) {}

// An orphan is told by its parent id changing; nothing is held here.
ParentProcessWatch::~ParentProcessWatch() = default;

bool ParentProcessWatch::ParentHasEnded() const {
    // An orphan is handed to init or a subreaper, so its parent id changes.
    return static_cast<int>(::getppid()) != parent_;
}

} // namespace platform
