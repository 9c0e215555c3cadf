#include "platform/platform.h"

#include <fcntl.h>

namespace platform {

bool StartWriteback(int handle, std::int64_t offset, std::int64_t length) {
    return sync_file_range(handle, offset, length, SYNC_FILE_RANGE_WRITE) == 0;
}

} // namespace platform
