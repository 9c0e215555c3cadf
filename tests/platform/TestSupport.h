#pragma once

// Helpers shared by the platform and utility tests: a scratch folder that is
// removed with everything in it, small file helpers and a way to run a piece
// of code in a child process (for locks held elsewhere and resource limits).

#include "ProcessSupport.h"
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

using testsupport::HeldInChild;
using testsupport::RunInChild;

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
