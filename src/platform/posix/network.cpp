#include "platform/platform.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <fstream>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <map>
#include <memory>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sstream>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// IANA interface types, as the Windows interface table reports them.
constexpr std::int32_t IfTypeOther = 1;
constexpr std::int32_t IfTypeEthernet = 6;
constexpr std::int32_t IfTypePpp = 23;
constexpr std::int32_t IfTypeLoopback = 24;
constexpr std::int32_t IfTypeIeee80211 = 71;
constexpr std::int32_t IfTypeTunnel = 131;

// Operational status codes of the Windows interface table.
constexpr std::uint32_t OperNonOperational = 0;
constexpr std::uint32_t OperDisconnected = 2;
constexpr std::uint32_t OperConnecting = 3;
constexpr std::uint32_t OperOperational = 5;

// The kernel's ARPHRD_IP6GRE, which glibc's <net/if_arp.h> does not name.
constexpr int ArphrdIp6Gre = 823;

struct IfAddrsDeleter {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};
using IfAddrsList = std::unique_ptr<ifaddrs, IfAddrsDeleter>;

IfAddrsList ReadIfAddrs() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return nullptr;
    }
    return IfAddrsList(list);
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return {};
    }
    return line;
}

std::string SysfsPath(const std::string& name, std::string_view entry) {
    return "/sys/class/net/" + name + "/" + std::string(entry);
}

// The ARPHRD code of the link: sysfs first, else the hardware type that the
// AF_PACKET entry of getifaddrs carries (-1 when neither is known).
int LinkHardwareType(const std::string& name, int packetType) {
    const std::string text = ReadFirstLine(SysfsPath(name, "type"));
    if (!text.empty()) {
        try {
            return std::stoi(text);
        } catch (const std::exception&) {
            // fall through to the packet entry
        }
    }
    return packetType;
}

std::int32_t InterfaceType(const std::string& name, int hardwareType) {
    switch (hardwareType) {
    case ARPHRD_ETHER: {
        // Wireless drivers present themselves as Ethernet; sysfs tells them apart.
        struct stat info {};
        const bool wireless = stat(SysfsPath(name, "wireless").c_str(), &info) == 0 ||
                              stat(SysfsPath(name, "phy80211").c_str(), &info) == 0;
        return wireless ? IfTypeIeee80211 : IfTypeEthernet;
    }
    case ARPHRD_LOOPBACK:
        return IfTypeLoopback;
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
    case ArphrdIp6Gre:
        return IfTypeTunnel;
    case ARPHRD_PPP:
        return IfTypePpp;
    default:
        return IfTypeOther;
    }
}

// RFC 2863 operstate to the Windows codes:
//   administratively down            -> 0 non-operational (a disabled adapter)
//   "up"                             -> 5 operational
//   "unknown" and IFF_RUNNING        -> 5 (loopback and carrier-less virtual links
//                                        such as dummy report "unknown" while they
//                                        pass traffic)
//   "dormant"                        -> 3 connecting (waits for, say, WPA
//                                        authentication before it passes traffic)
//   "down", "lowerlayerdown", "notpresent", "testing", other "unknown"
//                                    -> 2 disconnected
// Without a readable operstate the flags decide: up and running is operational.
std::uint32_t OperationalStatus(const std::string& name, unsigned flags) {
    if ((flags & IFF_UP) == 0) {
        return OperNonOperational;
    }
    const bool running = (flags & IFF_RUNNING) != 0;
    const std::string state = ReadFirstLine(SysfsPath(name, "operstate"));
    if (state == "up") {
        return OperOperational;
    }
    if (state == "dormant") {
        return OperConnecting;
    }
    if (state == "unknown" || state.empty()) {
        return running ? OperOperational : OperDisconnected;
    }
    return OperDisconnected;
}

} // namespace

std::string LocalHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

std::optional<std::vector<std::string>> HostNameAddresses() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    // One socket type, so that each address comes once.
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);

    std::vector<std::string> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) {
            continue;
        }
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) {
            continue;
        }
        if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
            addresses.emplace_back(text);
        }
    }
    if (addresses.empty()) {
        return std::nullopt;
    }
    return addresses;
}

std::optional<std::vector<InterfaceRow>> ReadInterfaceTable() {
    const IfAddrsList list = ReadIfAddrs();
    if (!list) {
        return std::nullopt;
    }
    // Every link has one AF_PACKET entry; links seen only through an address
    // entry are taken too, without a packet hardware type.
    struct Link {
        std::string name;
        unsigned flags = 0;
        int packetType = -1;
    };
    std::map<std::uint32_t, Link> links;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr) {
            continue;
        }
        // A labelled address entry ("eth0:1") resolves to its link's index.
        const std::uint32_t index = if_nametoindex(entry->ifa_name);
        if (index == 0) {
            continue;
        }
        const bool packet = entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_PACKET;
        auto [it, added] = links.try_emplace(index);
        if (added || packet) {
            it->second.name = entry->ifa_name;
            it->second.flags = entry->ifa_flags;
        }
        if (packet) {
            it->second.packetType =
                reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr)->sll_hatype;
        }
    }

    std::vector<InterfaceRow> rows;
    rows.reserve(links.size());
    for (const auto& [index, link] : links) {
        InterfaceRow row;
        row.index = index;
        row.name = link.name;
        row.type = InterfaceType(link.name, LinkHardwareType(link.name, link.packetType));
        row.operStatus = OperationalStatus(link.name, link.flags);
        rows.push_back(std::move(row));
    }
    return rows; // std::map keeps them in index order
}

std::optional<std::vector<AddressRow>> ReadAddressTable() {
    const IfAddrsList list = ReadIfAddrs();
    if (!list) {
        return std::nullopt;
    }
    std::vector<AddressRow> rows;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr || entry->ifa_addr == nullptr ||
            entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) {
            continue;
        }
        AddressRow row;
        row.address = ntohl(in->sin_addr.s_addr);
        row.dotted = text;
        // The kernel resolves a label ("eth0:1") to the link it belongs to.
        row.interfaceIndex = if_nametoindex(entry->ifa_name);
        rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const AddressRow& a, const AddressRow& b) {
        return a.address != b.address ? a.address < b.address : a.interfaceIndex < b.interfaceIndex;
    });
    return rows;
}

std::optional<std::vector<DefaultRoute>> ReadDefaultRoutes() {
    // The kernel's view of the main table, for this network namespace: one
    // header line, then "Iface Destination Gateway Flags RefCnt Use Metric
    // Mask ..." per route, addresses and flags in hex, the metric in decimal.
    std::ifstream in("/proc/net/route");
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    std::vector<DefaultRoute> routes;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name;
        std::string destination;
        std::string gateway;
        std::string refCount;
        std::string use;
        std::string mask;
        unsigned flags = 0;
        std::uint32_t metric = 0;
        if (!(fields >> name >> destination >> gateway >> std::hex >> flags >> std::dec >>
              refCount >> use >> metric >> mask)) {
            continue;
        }
        if (destination != "00000000" || mask != "00000000" || (flags & RTF_UP) == 0) {
            continue;
        }
        // Routes without a device (unreachable, blackhole) name none.
        const std::uint32_t index = if_nametoindex(name.c_str());
        if (index == 0) {
            continue;
        }
        routes.push_back({index, metric});
    }
    return routes;
}

} // namespace platform
