#pragma once

// Holds requests that the key guard refuses for a while before they are
// answered, so a guesser waits instead of making the engine answer as fast
// as it can ask. Knows nothing of HTTP: what it holds is an opaque handle,
// suspended by the caller's function and resumed by the one given here, on
// the tarpit's own thread once the pause is over.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace engine {

class Tarpit {
  public:
    using Clock = std::chrono::steady_clock;
    using Resume = std::function<void(void* held)>;

    // Starts the thread that resumes what is held once its pause is over.
    // At most `capacity` are held at once: each keeps its connection's
    // memory, so a flood of guessing addresses cannot grow the engine past
    // that; the rest are answered at once.
    Tarpit(Clock::duration pause, std::size_t capacity, Resume resume);
    // Closes, so nothing stays held.
    ~Tarpit();
    Tarpit(const Tarpit&) = delete;
    Tarpit& operator=(const Tarpit&) = delete;

    // Holds `held` for the pause: calls suspend (under the tarpit's lock, so
    // no resume can come before it) and returns true. False, without calling
    // it, once the tarpit is closed or full: the caller then answers at once.
    bool Hold(void* held, const std::function<void()>& suspend);
    // Resumes `held` now rather than at the end of its pause (nothing when
    // it is not held).
    void Release(void* held);
    // Resumes everything held and holds nothing more; returns once every
    // resume has been called.
    void Close();

  private:
    struct Entry {
        void* held;
        Clock::time_point until;
    };

    void Run();

    const Clock::duration pause_;
    const std::size_t capacity_;
    const Resume resume_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Entry> entries_;
    bool closed_ = false;
    std::thread thread_;
};

} // namespace engine
