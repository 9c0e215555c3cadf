// Ending processes the same way on every system: a stop request first, then,
// after the grace time, force.

#include "platform/platform.h"

#include <algorithm>
#include <thread>

namespace platform {

std::vector<int> EndProcesses(const std::vector<int>& pids, std::chrono::milliseconds grace) {
    auto anyLeft = [&pids] { return std::any_of(pids.begin(), pids.end(), ProcessExists); };
    for (const int pid : pids) {
        SendSignal(pid, Signal::Terminate);
    }
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (anyLeft() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (const int pid : pids) {
        if (ProcessExists(pid)) {
            SendSignal(pid, Signal::Kill);
        }
    }
    // A killed process may take a moment to disappear.
    const auto killDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (anyLeft() && std::chrono::steady_clock::now() < killDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::vector<int> ended;
    for (const int pid : pids) {
        if (!ProcessExists(pid)) {
            ended.push_back(pid);
        }
    }
    return ended;
}

} // namespace platform
