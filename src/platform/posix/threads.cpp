// Thread priority for background work.

#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <linux/ioprio.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

bool LowerThreadPriority() {
    const auto thread = static_cast<id_t>(::gettid());
    // The disk as well: a long copy's reads would otherwise queue before the
    // window's own (pages of its program, icons, folders), which then waits
    // for them. The idle class goes after every other request; the scheduler
    // still serves it after a while under a steady load. Not every scheduler
    // honours it, so only the processor's share decides the answer.
    ::syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, static_cast<int>(thread),
              IOPRIO_PRIO_VALUE(IOPRIO_CLASS_IDLE, 0));
    // On Linux the nice value belongs to each thread; 10 more than the
    // program's leaves the processor to the GUI thread whenever both want it,
    // and the copy the rest (relative, as Windows' thread priorities are: a
    // program started at nice 10 still gets a lower copy thread).
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, thread);
    if (current == -1 && errno != 0) {
        return false;
    }
    return ::setpriority(PRIO_PROCESS, thread, std::min(current + 10, 19)) == 0;
}

} // namespace platform
