// The performance counter, GUIDs, debugger output and the odd ends.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <algorithm>
#include <bcrypt.h>
#include <climits>
#include <cstring>
#include <objbase.h>
#include <winsock2.h>

namespace platform {

std::int64_t PerformanceCounter() {
    LARGE_INTEGER now{};
    LARGE_INTEGER frequency{};
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    if (frequency.QuadPart <= 0)
        return 0;
    // In nanoseconds, without overflowing the product.
    const std::int64_t seconds = now.QuadPart / frequency.QuadPart;
    const std::int64_t rest = now.QuadPart % frequency.QuadPart;
    return seconds * 1'000'000'000 + rest * 1'000'000'000 / frequency.QuadPart;
}

std::optional<std::string> NewGuidText() {
    GUID guid{};
    if (FAILED(::CoCreateGuid(&guid)))
        return std::nullopt;
    wchar_t text[40] = {};
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case already.
    if (::StringFromGUID2(guid, text, 40) == 0)
        return std::nullopt;
    return win32::Narrow(text);
}

void DebugOutput(std::string_view text) {
    ::OutputDebugStringW(win32::Wide(text).c_str());
}

bool RandomBytes(std::span<unsigned char> bytes) {
    // The system's preferred generator, fit for keys, in pieces a ULONG counts.
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto piece = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - done, 1U << 30));
        if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, bytes.data() + done, piece,
                                              BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return false;
        done += piece;
    }
    return true;
}

// Nothing to ask of Windows here: its cache writes the data in time anyway.
bool StartWriteback(int, std::int64_t, std::int64_t) {
    return false;
}

IPv4SocketAddress MakeIPv4SocketAddress(std::uint32_t address, std::uint16_t port) {
    static_assert(sizeof(sockaddr_in) == sizeof(IPv4SocketAddress::bytes));
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = ::htons(port);
    in.sin_addr.s_addr = ::htonl(address);
    IPv4SocketAddress out;
    std::memcpy(out.bytes, &in, sizeof in);
    return out;
}

std::string IPv4AddressText(const void* socketAddress) {
    const auto* address = static_cast<const sockaddr*>(socketAddress);
    if (address == nullptr || address->sa_family != AF_INET)
        return {};
    const auto* bytes = reinterpret_cast<const unsigned char*>(
        &static_cast<const sockaddr_in*>(socketAddress)->sin_addr);
    return std::to_string(bytes[0]) + '.' + std::to_string(bytes[1]) + '.' +
           std::to_string(bytes[2]) + '.' + std::to_string(bytes[3]);
}

std::uint32_t IPv4AddressNumber(const void* socketAddress) {
    const auto* address = static_cast<const sockaddr*>(socketAddress);
    if (address == nullptr || address->sa_family != AF_INET)
        return 0;
    return ntohl(static_cast<const sockaddr_in*>(socketAddress)->sin_addr.s_addr);
}

bool ShutdownSocket(int socket) {
    return ::shutdown(static_cast<SOCKET>(socket), SD_BOTH) == 0;
}

bool SendLastWords(int socket, std::string_view bytes) {
    const auto sent = ::send(static_cast<SOCKET>(socket), bytes.data(),
                             static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX)), 0);
    const bool whole = sent >= 0 && static_cast<std::size_t>(sent) == bytes.size();
    // SD_BOTH would answer the peer's next bytes with a reset, which can
    // destroy these before the peer read them.
    return ::shutdown(static_cast<SOCKET>(socket), SD_SEND) == 0 && whole;
}

} // namespace platform
