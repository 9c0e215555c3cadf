#include "killtool/ProcessKiller.h"

#include "platform/platform.h"

#include <algorithm>
#include <thread>

namespace killtool {

namespace {

std::string WithoutDeletedMark(std::string path) {
    constexpr std::string_view mark = " (deleted)";
    if (path.ends_with(mark)) {
        path.resize(path.size() - mark.size());
    }
    return path;
}

} // namespace

std::string ResolveProgram(const std::string& name) {
    std::string path = name;
    if (name.find_first_of("/\\") == std::string::npos) {
        path = platform::AppDataFolder();
        if (!path.empty() && path.back() != platform::PathDelimiter) {
            path += platform::PathDelimiter;
        }
        path += "Tessary" + std::string(1, platform::PathDelimiter) + name +
                std::string(platform::ExecutableSuffix);
    }
    if (!platform::FileExists(path)) {
        return {};
    }
    return platform::CanonicalPath(path).value_or(std::string{});
}

std::vector<int> FindProcesses(const std::string& programFile, unsigned user) {
    std::vector<int> found;
    const std::string programPath = WithoutDeletedMark(programFile);
    if (programPath.empty()) {
        return found;
    }
    const int me = platform::CurrentProcessId();
    for (const auto& process : platform::ListProcesses()) {
        if (process.pid == me || process.uid != user) {
            continue;
        }
        // The path the system reports may differ in form (case, delimiters)
        // from the canonical one; a program file replaced while it runs
        // only has the reported path left.
        const std::string executable = WithoutDeletedMark(process.executable);
        if (executable == programPath ||
            platform::CanonicalPath(executable).value_or(std::string{}) == programPath) {
            found.push_back(process.pid);
        }
    }
    return found;
}

std::vector<int> EndProcesses(const std::vector<int>& pids, std::chrono::milliseconds grace) {
    for (const int pid : pids) {
        platform::SendSignal(pid, platform::Signal::Terminate);
    }
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (std::any_of(pids.begin(), pids.end(), platform::ProcessExists) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::vector<int> ended;
    for (const int pid : pids) {
        if (platform::ProcessExists(pid)) {
            platform::SendSignal(pid, platform::Signal::Kill);
        }
    }
    // A killed process may take a moment to disappear.
    const auto killDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::any_of(pids.begin(), pids.end(), platform::ProcessExists) &&
           std::chrono::steady_clock::now() < killDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (const int pid : pids) {
        if (!platform::ProcessExists(pid)) {
            ended.push_back(pid);
        }
    }
    return ended;
}

} // namespace killtool
