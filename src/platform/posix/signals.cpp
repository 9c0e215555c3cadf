#include "platform/platform.h"
#include "platform/posix/UniqueFd.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::array StopSignalNumbers{SIGTERM, SIGINT, SIGHUP};

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : StopSignalNumbers) {
        sigaddset(&set, number);
    }
    return set;
}

// The write end of the live watch's pipe: the one thing its signal handler
// may touch (an atomic int is safe to read there).
std::atomic<int> StopPipeWriteEnd{-1};

void OnStopSignal(int) {
    const int savedErrno = errno;
    const int fd = StopPipeWriteEnd.load();
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds an unreported request.
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

bool MakePipe(posix::UniqueFd& readEnd, posix::UniqueFd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    readEnd.Reset(fds[0]);
    writeEnd.Reset(fds[1]);
    return true;
}

// Reads whatever the pipe holds; true when it held anything.
bool Drain(int fd) {
    bool any = false;
    char buffer[64];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            any = true;
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return any;
    }
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

// A self-pipe: the handler writes a byte, a thread of the watch's own waits
// for it and calls onStop outside any signal context.
struct StopRequestWatch::State {
    std::function<void()> onStop;
    posix::UniqueFd signalRead;
    posix::UniqueFd signalWrite;
    posix::UniqueFd wakeRead;
    posix::UniqueFd wakeWrite;
    std::array<struct sigaction, StopSignalNumbers.size()> previous{};
    bool watching = false;
    std::thread waiter;

    void Wait() {
        for (;;) {
            pollfd fds[2] = {{signalRead.Get(), POLLIN, 0}, {wakeRead.Get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            if (fds[0].revents != 0 && Drain(signalRead.Get())) {
                onStop();
            }
        }
    }
};

StopRequestWatch::StopRequestWatch(std::function<void()> onStop)
    : state_(std::make_unique<State>()) {
    state_->onStop = std::move(onStop);
    if (StopPipeWriteEnd.load() >= 0 || !MakePipe(state_->signalRead, state_->signalWrite) ||
        !MakePipe(state_->wakeRead, state_->wakeWrite)) {
        return;
    }
    try {
        state_->waiter = std::thread([state = state_.get()] { state->Wait(); });
    } catch (const std::system_error&) {
        return;
    }
    StopPipeWriteEnd.store(state_->signalWrite.Get());
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted calls elsewhere in the program carry on.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < StopSignalNumbers.size(); ++i) {
        ::sigaction(StopSignalNumbers[i], &action, &state_->previous[i]);
    }
    // A request held back by the signal mask must reach the handler.
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    state_->watching = true;
}

StopRequestWatch::~StopRequestWatch() {
    if (state_->watching) {
        for (std::size_t i = 0; i < StopSignalNumbers.size(); ++i) {
            ::sigaction(StopSignalNumbers[i], &state_->previous[i], nullptr);
        }
        StopPipeWriteEnd.store(-1);
    }
    if (state_->waiter.joinable()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(state_->wakeWrite.Get(), &byte, 1);
        state_->waiter.join();
    }
}

bool StopRequestWatch::IsWatching() const {
    return state_->watching;
}

} // namespace platform
