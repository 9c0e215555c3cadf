#include "app/core/BackgroundJob.h"

#include "platform/platform.h"

#include <utility>

namespace appcore {

void TBackgroundJob::Run(Work work) {
    Stop();
    const std::uint64_t generation = generation_;
    // The worker reaches the owner only through posted events to context_,
    // which the destructor outlives: it joins the thread first.
    Hand hand = [this, generation](std::function<void()> routine) {
        QMetaObject::invokeMethod(
            &context_,
            [this, generation, routine = std::move(routine)] {
                if (generation == generation_) {
                    routine();
                }
            },
            Qt::QueuedConnection);
    };
    thread_ = std::jthread([work = std::move(work), hand = std::move(hand)](std::stop_token stop) {
        // Copies of big files are the background: the window comes first.
        platform::LowerThreadPriority();
        work(stop, hand);
    });
}

void TBackgroundJob::Stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
    }
    Wait();
}

void TBackgroundJob::Wait() {
    if (thread_.joinable()) {
        // A routine that is running now may end its own job: the thread has
        // then already left its work, so the join returns at once.
        thread_.join();
    }
    ++generation_;
}

} // namespace appcore
