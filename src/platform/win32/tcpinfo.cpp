// What the TCP stack knows of a connection. Its query came with Windows 10
// 1703, newer than the rest of this library assumes, so its declarations are
// asked for here alone; on an older system the call fails and says so.

#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#define NTDDI_VERSION 0x0A000003 // Windows 10 1703

#include "platform/platform.h"

#include <winsock2.h>
// After winsock2.h, which it needs.
#include <mstcpip.h>

namespace platform {

std::optional<std::uint64_t> SocketBytesDelivered(int socket) {
    DWORD version = 0;
    TCP_INFO_v0 info{};
    DWORD size = 0;
    if (::WSAIoctl(static_cast<SOCKET>(socket), SIO_TCP_INFO, &version, sizeof version, &info,
                   sizeof info, &size, nullptr, nullptr) != 0 ||
        size < sizeof info) {
        return std::nullopt;
    }
    return info.BytesOut >= info.BytesInFlight ? info.BytesOut - info.BytesInFlight : 0;
}

} // namespace platform
