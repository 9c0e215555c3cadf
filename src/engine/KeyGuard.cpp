#include "engine/KeyGuard.h"

#include <algorithm>
#include <cmath>

namespace engine {

KeyGuard::KeyGuard(Limits limits) : limits_(limits), tokens_(limits.network) {}

void KeyGuard::Refill(Clock::time_point now) {
    if (refilled_ == Clock::time_point{}) {
        refilled_ = now;
        return;
    }
    const std::chrono::duration<double> elapsed = now - refilled_;
    const std::chrono::duration<double> window = limits_.window;
    tokens_ = std::min<double>(limits_.network,
                               tokens_ + elapsed.count() / window.count() * limits_.network);
    refilled_ = now;
}

void KeyGuard::Forget(Clock::time_point now) {
    std::erase_if(records_, [&](const auto& entry) {
        const Record& record = entry.second;
        return now >= record.blockedUntil && now - record.lastWrong >= limits_.suspectFor;
    });
}

bool KeyGuard::MayCheck(std::uint32_t address, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    Refill(now);
    const auto found = records_.find(address);
    if (found == records_.end()) {
        // Unknown: either clean, or not remembered because the table is full.
        return records_.size() < limits_.addresses || !NetworkSpent();
    }
    const Record& record = found->second;
    if (now < record.blockedUntil) {
        return false;
    }
    return !(NetworkSpent() && now - record.lastWrong < limits_.suspectFor);
}

void KeyGuard::RecordWrong(std::uint32_t address, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    Refill(now);
    tokens_ = std::max(0.0, tokens_ - 1.0);
    auto found = records_.find(address);
    if (found == records_.end()) {
        if (records_.size() >= limits_.addresses) {
            Forget(now);
            if (records_.size() >= limits_.addresses) {
                return;
            }
        }
        found = records_.emplace(address, Record{}).first;
    }
    Record& record = found->second;
    record.lastWrong = now;
    record.recent.push_back(now);
    while (!record.recent.empty() && now - record.recent.front() >= limits_.window) {
        record.recent.pop_front();
    }
    if (record.recent.size() >= limits_.perAddress) {
        record.blockedUntil = now + limits_.block;
        record.recent.clear();
    }
}

unsigned KeyGuard::RetryAfterSeconds(std::uint32_t address, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    std::chrono::duration<double> wait = limits_.window / std::max(1U, limits_.network);
    const auto found = records_.find(address);
    if (found != records_.end() && now < found->second.blockedUntil) {
        wait = found->second.blockedUntil - now;
    }
    return std::max(1U, static_cast<unsigned>(std::ceil(wait.count())));
}

} // namespace engine
