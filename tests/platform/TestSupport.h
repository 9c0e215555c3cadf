#pragma once

// Helpers shared by the platform and utility tests: a scratch folder that is
// removed with everything in it, small file helpers and a way to run a piece
// of code in a child process (for locks held elsewhere and resource limits).

#include "TextFiles.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <signal.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testing_support {

class ScratchFolder {
  public:
    // A new empty folder below base (the temporary folder when empty); its
    // path ends in "/".
    explicit ScratchFolder(const std::string& base = {}) {
        std::string root = base;
        if (root.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            root = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
        }
        std::string pattern = root + "/tessary-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a scratch folder in " + root);
        }
        path_ = pattern + "/";
    }
    ~ScratchFolder() {
        std::error_code ignored;
        // Give write permission back so read-only leftovers can go too.
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
            if (!it->is_symlink(ignored)) {
                std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ignored);
            }
        }
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

  private:
    std::string path_;
};

using testsupport::ReadText;
using testsupport::WriteText;

// Runs body in a forked child and returns its exit code (body's result), or
// -1 when the child did not exit normally.
inline int RunInChild(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
            code = 98;
        }
        ::_exit(code);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A child process that holds something (a file it opened and locked, as
// another program would) until Release() or the end of the object.
class HeldInChild {
  public:
    // hold() runs in the child; what it returns is kept until the release,
    // nullptr when it could not take hold.
    explicit HeldInChild(const std::function<std::shared_ptr<void>()>& hold) {
        if (::pipe(ready_) != 0 || ::pipe(release_) != 0) {
            throw std::runtime_error("cannot make pipes");
        }
        pid_ = ::fork();
        if (pid_ < 0) {
            throw std::runtime_error("cannot fork");
        }
        if (pid_ == 0) {
            const std::shared_ptr<void> held = hold();
            char c = held ? 'y' : 'n';
            (void)!::write(ready_[1], &c, 1);
            (void)!::read(release_[0], &c, 1);
            ::_exit(0);
        }
        char c = 0;
        holding_ = ::read(ready_[0], &c, 1) == 1 && c == 'y';
    }
    ~HeldInChild() {
        Release();
        for (int fd : {ready_[0], ready_[1], release_[0], release_[1]}) {
            ::close(fd);
        }
    }
    HeldInChild(const HeldInChild&) = delete;
    HeldInChild& operator=(const HeldInChild&) = delete;

    // Whether the child took hold.
    bool Holding() const { return holding_; }
    // Lets go and waits for the child to end.
    void Release() {
        if (pid_ > 0) {
            (void)!::write(release_[1], "x", 1);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    int ready_[2] = {-1, -1};
    int release_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool holding_ = false;
};

// Makes every later write in this process past limit bytes fail with EFBIG,
// as a full disk would make it fail; for use inside RunInChild.
inline void LimitFileSize(rlim_t limit) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit rl{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
}

// Names in folder, without "." and "..".
inline std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace testing_support
