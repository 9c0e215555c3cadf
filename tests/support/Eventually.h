#pragma once

// Waiting for a condition, for test programs on every system.

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Looks at condition every 20 ms until it holds or limit has passed. Each
// look counts once: a condition may consume what it sees (a reaped child).
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace testsupport
