// Thread priority for background work.

#include "platform/platform.h"

#include <sys/resource.h>
#include <unistd.h>

namespace platform {

bool LowerThreadPriority() {
    // On Linux the nice value belongs to each thread; 10 leaves the processor
    // to the GUI thread whenever both want it, and the copy the rest.
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10) == 0;
}

} // namespace platform
