#include "platform/platform.h"

#include <csignal>
#include <ctime>

namespace platform {

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

void HoldStopSignals() {
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

bool WaitForStopSignal(std::chrono::milliseconds timeout) {
    const sigset_t set = StopSignals();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(timeout - seconds);
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(seconds.count());
    wait.tv_nsec = static_cast<long>(nanoseconds.count());
    // EINTR (another signal) or EAGAIN (timeout) both mean "no stop yet".
    return sigtimedwait(&set, nullptr, &wait) > 0;
}

} // namespace platform
