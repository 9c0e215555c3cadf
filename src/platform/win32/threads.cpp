// Thread priority for background work.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

namespace platform {

bool LowerThreadPriority() {
    // Background mode lowers the thread's disk and memory priority as well
    // as its processor share, which is what a long copy beside the window
    // wants; where it is refused, the lowest processor priority is left.
    if (::SetThreadPriority(::GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN))
        return true;
    return ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_LOWEST) != FALSE;
}

} // namespace platform
