// The host-name lookup through Winsock 1.1, and the IP Helper tables.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <algorithm>
#include <cstring>
#include <memory>

// Winsock first; the IP Helper header needs its types.
#include <winsock2.h>
// (kept apart so the order stays)
#include <iphlpapi.h>

namespace platform {
namespace {

// Starts the socket library (version 1.1) for the lifetime of the object.
class SocketLibrary {
  public:
    SocketLibrary() { started_ = ::WSAStartup(MAKEWORD(1, 1), &data_) == 0; }
    ~SocketLibrary() {
        if (started_)
            ::WSACleanup();
    }
    SocketLibrary(const SocketLibrary&) = delete;
    SocketLibrary& operator=(const SocketLibrary&) = delete;
    bool Started() const { return started_; }

  private:
    WSADATA data_{};
    bool started_ = false;
};

std::string Dotted(std::uint32_t networkOrder) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&networkOrder);
    return std::to_string(bytes[0]) + '.' + std::to_string(bytes[1]) + '.' +
           std::to_string(bytes[2]) + '.' + std::to_string(bytes[3]);
}

// Calls an IP Helper table reader the way it asks: first for the size, then
// with a buffer of that size (again if the table grew in between).
template <typename Reader> std::unique_ptr<unsigned char[]> ReadTable(Reader reader) {
    ULONG size = 0;
    std::unique_ptr<unsigned char[]> buffer;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD result = reader(buffer.get(), &size);
        if (result == NO_ERROR && buffer)
            return buffer;
        if (result != ERROR_INSUFFICIENT_BUFFER && result != NO_ERROR)
            return nullptr;
        buffer = std::make_unique<unsigned char[]>(std::max<ULONG>(size, 1));
    }
    return nullptr;
}

} // namespace

std::string LocalHostName() {
    // The DNS host name, as phones would look the PC up, in UTF-16.
    DWORD size = 0;
    ::GetComputerNameExW(ComputerNameDnsHostname, nullptr, &size);
    if (size == 0)
        return {};
    std::wstring name(size, L'\0');
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name.data(), &size))
        return {};
    name.resize(size);
    return win32::Narrow(name);
}

std::optional<std::vector<std::string>> HostNameAddresses() {
    SocketLibrary library;
    if (!library.Started())
        return std::nullopt;
    char name[64] = {};
    if (::gethostname(name, sizeof name) != 0)
        return std::nullopt;
    const hostent* entry = ::gethostbyname(name);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4)
        return std::nullopt;
    std::vector<std::string> addresses;
    for (char** item = entry->h_addr_list; item != nullptr && *item != nullptr; ++item) {
        std::uint32_t address = 0;
        std::memcpy(&address, *item, 4);
        addresses.push_back(Dotted(address));
    }
    if (addresses.empty())
        return std::nullopt;
    return addresses;
}

std::optional<std::vector<InterfaceRow>> ReadInterfaceTable() {
    auto buffer = ReadTable([](unsigned char* data, ULONG* size) {
        return ::GetIfTable(reinterpret_cast<MIB_IFTABLE*>(data), size, TRUE);
    });
    if (!buffer)
        return std::nullopt;
    const auto* table = reinterpret_cast<const MIB_IFTABLE*>(buffer.get());
    std::vector<InterfaceRow> rows;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IFROW& row = table->table[i];
        InterfaceRow out;
        out.index = row.dwIndex;
        out.type = static_cast<std::int32_t>(row.dwType);
        out.operStatus = static_cast<std::uint32_t>(row.dwOperStatus);
        // The description is bytes of the system's code page; cut at the
        // first zero.
        const auto* description = reinterpret_cast<const char*>(row.bDescr);
        const std::size_t length = std::min<std::size_t>(row.dwDescrLen, MAXLEN_IFDESCR);
        out.name.assign(description, std::find(description, description + length, '\0'));
        rows.push_back(std::move(out));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const InterfaceRow& a, const InterfaceRow& b) {
        return a.index < b.index;
    });
    return rows;
}

std::optional<std::vector<AddressRow>> ReadAddressTable() {
    auto buffer = ReadTable([](unsigned char* data, ULONG* size) {
        return ::GetIpAddrTable(reinterpret_cast<MIB_IPADDRTABLE*>(data), size, TRUE);
    });
    if (!buffer)
        return std::nullopt;
    const auto* table = reinterpret_cast<const MIB_IPADDRTABLE*>(buffer.get());
    std::vector<AddressRow> rows;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPADDRROW& row = table->table[i];
        AddressRow out;
        out.address = ::ntohl(row.dwAddr);
        out.dotted = Dotted(row.dwAddr);
        out.interfaceIndex = row.dwIndex;
        rows.push_back(std::move(out));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const AddressRow& a, const AddressRow& b) {
        return a.address < b.address;
    });
    return rows;
}

std::optional<std::vector<DefaultRoute>> ReadDefaultRoutes() {
    auto buffer = ReadTable([](unsigned char* data, ULONG* size) {
        return ::GetIpForwardTable(reinterpret_cast<MIB_IPFORWARDTABLE*>(data), size, FALSE);
    });
    if (!buffer)
        return std::nullopt;
    const auto* table = reinterpret_cast<const MIB_IPFORWARDTABLE*>(buffer.get());
    std::vector<DefaultRoute> routes;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = table->table[i];
        if (row.dwForwardDest == 0 && row.dwForwardMask == 0)
            routes.push_back({row.dwForwardIfIndex, row.dwForwardMetric1});
    }
    return routes;
}

} // namespace platform
