#pragma once

// One piece of long work (copying a big file) on a thread of its own, for an
// owner that lives on the GUI thread: the work hands its progress and its end
// back to the owner's thread through that thread's event loop, so the owner
// never shares state with the worker while it runs and needs no locks.

#include <QObject>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <thread>

namespace appcore {

class TBackgroundJob {
  public:
    // Hands a routine to the owner's thread; callable from the worker only.
    using Hand = std::function<void(std::function<void()>)>;
    using Work = std::function<void(std::stop_token stop, const Hand& hand)>;

    TBackgroundJob() = default;
    // Asks a running job to stop and waits for it.
    ~TBackgroundJob() { Stop(); }
    TBackgroundJob(const TBackgroundJob&) = delete;
    TBackgroundJob& operator=(const TBackgroundJob&) = delete;

    // Runs work on a new thread (a job still running is stopped first). What
    // it hands over runs later on the calling thread, from its event loop,
    // unless the job was stopped or waited for meanwhile.
    void Run(Work work);
    // Asks the job to stop and waits until its thread has ended; nothing it
    // handed over runs afterwards.
    void Stop();
    // Waits until the job's thread has ended without asking it to stop;
    // nothing it handed over runs afterwards.
    void Wait();
    // True from Run until Stop or Wait, also once the work itself is done.
    bool Running() const { return thread_.joinable(); }

  private:
    QObject context_; // lives on the owner's thread; receives the hand-overs
    std::jthread thread_;
    std::uint64_t generation_ = 0; // read and written on the owner's thread only
};

} // namespace appcore
