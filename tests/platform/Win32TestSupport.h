#pragma once

// Helpers for the tests that run as Windows programs (under Wine here): a
// scratch folder removed with everything in it, file helpers, and child
// processes of the test program itself for what must happen elsewhere.

#include "platform/platform.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// windows.h maps these names to their A or W variant by macro; the
// platform's functions of the same names are meant here.
#undef CopyFile
#undef DeleteFile

namespace win32_testing {

std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);

class ScratchFolder {
  public:
    // A new empty folder below base (the temporary folder when empty); its
    // path ends in "\".
    explicit ScratchFolder(const std::string& base = {});
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

  private:
    std::string path_;
};

void WriteText(const std::string& path, const std::string& content);
std::string ReadText(const std::string& path);
// The names in a folder but "." and "..", sorted.
std::vector<std::string> Names(const std::string& folder);

// A child process of the running test program; the test program's main
// dispatches on the first argument. Ended (and waited for) at destruction.
class Child {
  public:
    // program: another copy of the test program; empty for this one.
    explicit Child(const std::vector<std::string>& arguments, const std::string& program = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return process_ != nullptr; }
    int Pid() const { return static_cast<int>(pid_); }
    // The exit code once the child ended within timeout, else -1.
    int Wait(std::chrono::milliseconds timeout);

  private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// Polls until condition holds or timeout passes; the condition's last answer.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Child roles; the test main runs the one named by argv[1] and returns its code.
// "hold <file> <release-file>": opens the file without sharing, creates
// "<file>.held", and holds it until the release file exists (30 s at most).
// "wait-stop <ready-file>": holds stop requests, creates the ready file, and
// exits 0 on a stop request, 3 when none came within 30 s.
// "touch <file> [more words]": writes the remaining arguments, one a line.
// "sleep": sleeps 30 s.
// "watch-stop <ready-file> <seen-file>": makes a StopRequestWatch, creates the
// ready file, creates the seen file when the watch reports a request, then
// drops the watch, creates "<ready-file>.unwatched" and sleeps 30 s (exit 0).
// "spawn-watcher <file>": starts "parent-watch <file>" detached, waits until
// that has written its first letter and exits 0.
// "parent-watch <file>": writes "n" while its parent lives, then "y" once
// ParentHasEnded says so (30 s at most).
// "listen <port-file>": listens on a free loopback port, writes the port
// number to the file and sleeps 30 s.
int RunChildRole(int argc, char** argv);

} // namespace win32_testing
