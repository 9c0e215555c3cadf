#include "platform/platform.h"

#include <arpa/inet.h>
#include <cstring>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace platform {

IPv4SocketAddress MakeIPv4SocketAddress(std::uint32_t address, std::uint16_t port) {
    static_assert(sizeof(sockaddr_in) == sizeof(IPv4SocketAddress::bytes));
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(address);
    IPv4SocketAddress out;
    std::memcpy(out.bytes, &in, sizeof in);
    return out;
}

std::string IPv4AddressText(const void* socketAddress) {
    const auto* address = static_cast<const sockaddr*>(socketAddress);
    if (address == nullptr || address->sa_family != AF_INET) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = static_cast<const sockaddr_in*>(socketAddress);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

std::uint32_t IPv4AddressNumber(const void* socketAddress) {
    const auto* address = static_cast<const sockaddr*>(socketAddress);
    if (address == nullptr || address->sa_family != AF_INET) {
        return 0;
    }
    return ntohl(static_cast<const sockaddr_in*>(socketAddress)->sin_addr.s_addr);
}

bool ShutdownSocket(int socket) {
    return shutdown(socket, SHUT_RDWR) == 0;
}

bool SendLastWords(int socket, std::string_view bytes) {
    // Small enough for the socket's send buffer, so one call sends it all.
    const ssize_t sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    const bool whole = sent == static_cast<ssize_t>(bytes.size());
    return ShutdownSocket(socket) && whole;
}

std::optional<std::uint64_t> SocketBytesDelivered(int socket) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
        return std::nullopt;
    }
    return info.tcpi_bytes_acked;
}

} // namespace platform
