// Stop requests. Windows has no signals between processes: a process that
// holds its stop requests owns a named event that others set to ask it to
// end, and console events (Ctrl+C, closing the console, logoff, shutdown)
// set the same event.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <string>

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

} // namespace platform
