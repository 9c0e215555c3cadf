// Ending processes the same way on every system: a stop request first, then,
// after the grace time, force.

#include "platform/platform.h"

#include <algorithm>
#include <thread>

namespace platform {

std::vector<int> ProcessIds(const std::vector<RunningProcess>& processes) {
    std::vector<int> ids;
    for (const auto& process : processes) {
        ids.push_back(process.Id());
    }
    return ids;
}

std::vector<int> EndProcesses(const std::vector<RunningProcess>& processes,
                              std::chrono::milliseconds grace) {
    auto anyLeft = [&processes] {
        return std::any_of(processes.begin(), processes.end(),
                           [](const RunningProcess& process) { return !process.HasEnded(); });
    };
    for (const auto& process : processes) {
        process.Send(Signal::Terminate);
    }
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (anyLeft() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (const auto& process : processes) {
        if (!process.HasEnded()) {
            process.Send(Signal::Kill);
        }
    }
    // A killed process may take a moment to disappear.
    const auto killDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (anyLeft() && std::chrono::steady_clock::now() < killDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::vector<int> ended;
    for (const auto& process : processes) {
        if (process.HasEnded()) {
            ended.push_back(process.Id());
        }
    }
    return ended;
}

} // namespace platform
