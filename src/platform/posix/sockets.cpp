#include "platform/platform.h"

#include <sys/socket.h>

namespace platform {

bool ShutdownSocket(int socket) {
    return shutdown(socket, SHUT_RDWR) == 0;
}

bool SendLastWords(int socket, std::string_view bytes) {
    // Small enough for the socket's send buffer, so one call sends it all.
    const ssize_t sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    const bool whole = sent == static_cast<ssize_t>(bytes.size());
    return ShutdownSocket(socket) && whole;
}

} // namespace platform
