// Thread priority for background work.

#include "platform/platform.h"

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
    // On Linux the nice value belongs to each thread; 10 leaves the processor
    // to the GUI thread whenever both want it, and the copy the rest.
    return ::setpriority(PRIO_PROCESS, thread, 10) == 0;
}

} // namespace platform
