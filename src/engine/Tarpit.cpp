#include "engine/Tarpit.h"

#include <algorithm>

namespace engine {

Tarpit::Tarpit(Clock::duration pause, std::size_t capacity, Resume resume)
    : pause_(pause), capacity_(capacity), resume_(std::move(resume)), thread_([this] { Run(); }) {}

Tarpit::~Tarpit() {
    Close();
}

bool Tarpit::Hold(void* held, const std::function<void()>& suspend) {
    const std::lock_guard lock(mutex_);
    if (closed_ || entries_.size() >= capacity_) {
        return false;
    }
    suspend();
    entries_.push_back({held, Clock::now() + pause_});
    // Every pause is as long, so a new entry is never due before the others
    // and the thread's wait already ends in time.
    if (entries_.size() == 1) {
        wake_.notify_one();
    }
    return true;
}

void Tarpit::Release(void* held) {
    const std::lock_guard lock(mutex_);
    const auto found = std::find_if(entries_.begin(), entries_.end(),
                                    [held](const Entry& entry) { return entry.held == held; });
    if (found != entries_.end()) {
        found->until = Clock::time_point::min();
        wake_.notify_one();
    }
}

void Tarpit::Close() {
    {
        const std::lock_guard lock(mutex_);
        if (closed_) {
            return;
        }
        closed_ = true;
        wake_.notify_one();
    }
    thread_.join();
}

void Tarpit::Run() {
    std::vector<void*> due;
    std::unique_lock lock(mutex_);
    while (true) {
        const auto now = Clock::now();
        const auto last = std::partition(entries_.begin(), entries_.end(), [&](const Entry& entry) {
            return !closed_ && entry.until > now;
        });
        for (auto entry = last; entry != entries_.end(); ++entry) {
            due.push_back(entry->held);
        }
        entries_.erase(last, entries_.end());
        const bool closing = closed_;
        if (!due.empty()) {
            // Resumed outside the lock: the library takes locks of its own,
            // and its threads call Hold and Release.
            lock.unlock();
            for (void* held : due) {
                resume_(held);
            }
            due.clear();
            lock.lock();
            continue;
        }
        if (closing) {
            return;
        }
        if (entries_.empty()) {
            wake_.wait(lock);
        } else {
            const auto next =
                std::min_element(entries_.begin(), entries_.end(),
                                 [](const Entry& a, const Entry& b) { return a.until < b.until; });
            wake_.wait_until(lock, next->until);
        }
    }
}

} // namespace engine
