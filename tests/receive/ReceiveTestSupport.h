#pragma once

// Real folders, files with chosen times and a second process holding the
// engine's lock, for the receiving and publishing tests.

#include "ProcessSupport.h"
#include "TextFiles.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace receivetest {

namespace fs = std::filesystem;

// A fresh folder under the temporary folder, removed with everything in it.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "tessary-receive-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder, or a sub-folder of it created on demand, with a trailing "/".
    std::string Dir(const std::string& sub = {}) const {
        const fs::path dir = sub.empty() ? path_ : path_ / sub;
        fs::create_directories(dir);
        return dir.string() + "/";
    }
    std::string Path(const std::string& relative) const { return (path_ / relative).string(); }

  private:
    fs::path path_;
};

// A fresh folder in /dev/shm when that lies on another file system than the
// temporary folder (so files between them are copied, never linked);
// Usable() is false where there is no such place.
class MemoryFolder {
  public:
    MemoryFolder() {
        std::string pattern = "/dev/shm/tessary-receive-XXXXXX";
        if (!fs::is_directory("/dev/shm") || mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        path_ = pattern;
        if (platform::SameFileSystem(path_, fs::temp_directory_path().string())) {
            fs::remove_all(path_);
            path_.clear();
        }
    }
    ~MemoryFolder() {
        std::error_code ignored;
        if (!path_.empty()) {
            fs::remove_all(path_, ignored);
        }
    }
    MemoryFolder(const MemoryFolder&) = delete;
    MemoryFolder& operator=(const MemoryFolder&) = delete;

    bool Usable() const { return !path_.empty(); }
    std::string Dir() const { return path_ + "/"; }

  private:
    std::string path_;
};

// Runs the event loop until done() holds or timeout passes; done()'s answer.
inline bool ProcessEventsUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

inline void WriteFile(const std::string& path, const std::string& content) {
    testsupport::WriteText(path, content);
}

inline std::string ReadFile(const std::string& path) {
    return testsupport::ReadText(path);
}

// Makes a file of size bytes that takes no space (a hole), quick to make and
// slow enough to copy for a test to act while the copy runs.
inline void WriteSparseFile(const std::string& path, std::uintmax_t size) {
    WriteFile(path, "start");
    fs::resize_file(path, size);
}

inline void SetLastWrite(const std::string& path, std::chrono::system_clock::time_point time) {
    fs::last_write_time(path, std::chrono::file_clock::from_sys(time));
}

// The names in a folder ("." and ".." aside).
inline std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

using testsupport::HeldInChild;
using testsupport::RunInChild;

// A child process that writes a file under the engine's lock and keeps it
// locked until Release(), as the engine does while an upload comes in.
inline HeldInChild EngineWriting(const std::string& path, const std::string& content) {
    return HeldInChild([=]() -> std::shared_ptr<void> {
        auto file = platform::LockedFile::CreateNew(path);
        if (!file || !file->Append({content.data(), content.size()})) {
            return nullptr;
        }
        return std::make_shared<platform::LockedFile>(std::move(*file));
    });
}

} // namespace receivetest
