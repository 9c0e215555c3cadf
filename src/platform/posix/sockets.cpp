#include "platform/platform.h"

#include <sys/socket.h>

namespace platform {

bool ShutdownSocket(int socket) {
    return shutdown(socket, SHUT_RDWR) == 0;
}

} // namespace platform
