#include "engine/KeyGuard.h"

#include <algorithm>
#include <cmath>

namespace engine {

KeyGuard::KeyGuard(Limits limits)
    : limits_(limits), tokens_(limits.network), newcomerTokens_(limits.newcomers) {}

void KeyGuard::Refill(Clock::time_point now) {
    // Threads may come with their time points slightly out of order.
    if (refilled_ == Clock::time_point{} || now <= refilled_) {
        refilled_ = std::max(refilled_, now);
        return;
    }
    const std::chrono::duration<double> elapsed = now - refilled_;
    const double windows = elapsed.count() / std::chrono::duration<double>(limits_.window).count();
    tokens_ = std::min<double>(limits_.network, tokens_ + windows * limits_.network);
    newcomerTokens_ =
        std::min<double>(limits_.newcomers, newcomerTokens_ + windows * limits_.newcomers);
    refilled_ = now;
}

bool KeyGuard::HasRoom(Clock::time_point now) {
    if (records_.size() < limits_.addresses) {
        return true;
    }
    if (swept_ != Clock::time_point{} && now - swept_ < std::chrono::seconds(1)) {
        return false;
    }
    swept_ = now;
    std::erase_if(records_, [&](const auto& entry) {
        const Record& record = entry.second;
        return now >= record.blockedUntil && now - record.lastWrong >= limits_.suspectFor;
    });
    return records_.size() < limits_.addresses;
}

bool KeyGuard::MayCheck(std::uint32_t address, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    Refill(now);
    const auto found = records_.find(address);
    if (found != records_.end()) {
        const Record& record = found->second;
        if (now < record.blockedUntil) {
            return false;
        }
        if (!NetworkSpent()) {
            return true;
        }
        if (now - record.lastWrong < limits_.suspectFor) {
            return false;
        }
    } else if (!NetworkSpent()) {
        return true;
    }
    // A newcomer while the budget is spent: its one check must be
    // remembered, or it could come back for another.
    return newcomerTokens_ >= 1.0 && (found != records_.end() || HasRoom(now));
}

void KeyGuard::RecordWrong(std::uint32_t address, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    Refill(now);
    if (!NetworkSpent()) {
        tokens_ -= 1.0;
    } else {
        newcomerTokens_ = std::max(0.0, newcomerTokens_ - 1.0);
    }
    auto found = records_.find(address);
    if (found == records_.end()) {
        if (!HasRoom(now)) {
            return;
        }
        found = records_.emplace(address, Record{}).first;
    }
    Record& record = found->second;
    record.lastWrong = now;
    if (now - record.windowStart >= limits_.window) {
        record.windowStart = now;
        record.inWindow = 0;
    }
    if (++record.inWindow >= limits_.perAddress) {
        record.blockedUntil = now + limits_.block;
        record.inWindow = 0;
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
