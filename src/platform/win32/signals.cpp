// Stop requests. Windows has no signals between processes: a process that
// holds its stop requests owns a named event that others set to ask it to
// end, and console events (Ctrl+C, closing the console, logoff, shutdown)
// set the same event.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <atomic>
#include <string>
#include <system_error>
#include <thread>

namespace platform {
namespace {

using win32::UniqueHandle;

std::wstring StopEventName(DWORD pid) {
    return L"Local\\TessaryStopRequest-" + std::to_wstring(pid);
}

// The event this process waits on; made once by HoldStopSignals and kept
// for the life of the process, as the console handler may run at any time.
HANDLE& StopEvent() {
    static HANDLE event = nullptr;
    return event;
}

BOOL WINAPI OnConsoleEvent(DWORD) {
    if (StopEvent() == nullptr)
        return FALSE;
    ::SetEvent(StopEvent());
    return TRUE;
}

// The request event of the living StopRequestWatch, for its console handler.
std::atomic<HANDLE> WatchedEvent{nullptr};

BOOL WINAPI OnConsoleEventWatched(DWORD) {
    const HANDLE event = WatchedEvent.load();
    if (event == nullptr)
        return FALSE;
    ::SetEvent(event);
    return TRUE;
}

} // namespace

void HoldStopSignals() {
    if (StopEvent() != nullptr)
        return;
    StopEvent() =
        ::CreateEventW(nullptr, TRUE, FALSE, StopEventName(::GetCurrentProcessId()).c_str());
    if (StopEvent() != nullptr)
        ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

bool WaitForStopSignal(std::chrono::milliseconds timeout) {
    if (StopEvent() == nullptr) {
        ::Sleep(static_cast<DWORD>(timeout.count()));
        return false;
    }
    const auto wait = static_cast<DWORD>(std::max<std::int64_t>(0, timeout.count()));
    return ::WaitForSingleObject(StopEvent(), wait) == WAIT_OBJECT_0;
}

bool SendSignal(int pid, Signal signal) {
    if (pid <= 0)
        return false;
    const auto id = static_cast<DWORD>(pid);
    if (signal == Signal::Terminate) {
        UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, StopEventName(id).c_str()));
        if (event)
            return ::SetEvent(event.Get()) != FALSE;
        // A program that does not wait for stop requests ends at once, as
        // it would on a termination signal it does not handle.
    }
    UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, id));
    return process && ::TerminateProcess(process.Get(), 1) != FALSE;
}

bool RunningProcess::Send(Signal signal) const {
    if (handle_ == -1)
        return SendSignal(pid_, signal);
    // While the handle is held the id names this process and no other, so
    // the stop event named by the id is this process's.
    if (signal == Signal::Terminate) {
        UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE,
                                        StopEventName(static_cast<DWORD>(pid_)).c_str()));
        if (event)
            return ::SetEvent(event.Get()) != FALSE;
    }
    return ::TerminateProcess(reinterpret_cast<HANDLE>(handle_), 1) != FALSE;
}

struct StopRequestWatch::State {
    std::function<void()> onStop;
    UniqueHandle request;
    UniqueHandle wake;
    bool watching = false;
    std::thread waiter;

    void Wait() {
        const HANDLE events[2] = {request.Get(), wake.Get()};
        for (;;) {
            const DWORD which = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
            if (which != WAIT_OBJECT_0)
                return;
            // Requests that came while onStop ran are told once.
            ::ResetEvent(request.Get());
            onStop();
        }
    }
};

StopRequestWatch::StopRequestWatch(std::function<void()> onStop)
    : state_(std::make_unique<State>()) {
    state_->onStop = std::move(onStop);
    if (WatchedEvent.load() != nullptr)
        return;
    // The same named event that SendSignal sets for this process.
    state_->request = UniqueHandle(
        ::CreateEventW(nullptr, TRUE, FALSE, StopEventName(::GetCurrentProcessId()).c_str()));
    state_->wake = UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!state_->request || !state_->wake)
        return;
    try {
        state_->waiter = std::thread([state = state_.get()] { state->Wait(); });
    } catch (const std::system_error&) {
        return;
    }
    WatchedEvent.store(state_->request.Get());
    ::SetConsoleCtrlHandler(&OnConsoleEventWatched, TRUE);
    state_->watching = true;
}

StopRequestWatch::~StopRequestWatch() {
    if (state_->watching) {
        ::SetConsoleCtrlHandler(&OnConsoleEventWatched, FALSE);
        WatchedEvent.store(nullptr);
    }
    if (state_->waiter.joinable()) {
        ::SetEvent(state_->wake.Get());
        state_->waiter.join();
    }
    // Closing the named event gives SendSignal its default again: without
    // the event, a stop request ends the process.
}

bool StopRequestWatch::IsWatching() const {
    return state_->watching;
}

} // namespace platform
