// Linux source of interfaces and routes: getifaddrs for addresses, masks, hardware addresses and
// states, the kernel's routing rows for gateways and the forward table. A direct row (no
// gateway) takes the interface's own address as next hop, as the route walk expects.
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/network_info.h"
#include "net/posix/kernel_routes.h"

namespace voxtrel {

namespace {

struct LocalAddress {
    std::string name;    // interface name with its label, e.g. "eth0" or "eth0:1"
    std::string device;  // the device that the routing rows name
    uint32_t address = 0;
    uint32_t mask = 0;
    unsigned flags = 0;
};

struct InterfaceList {
    std::vector<LocalAddress> addresses;
    std::map<std::string, std::string> hardware;  // device -> hardware address text
};

struct IfAddrsFree {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

uint32_t Inet(const sockaddr* address) {
    return reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
}

bool ReadInterfaces(InterfaceList& list) {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0)
        return false;
    std::unique_ptr<ifaddrs, IfAddrsFree> owner(raw);
    for (const ifaddrs* entry = raw; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr)
            continue;
        std::string name = entry->ifa_name;
        std::string device = name.substr(0, name.find(':'));
        if (entry->ifa_addr->sa_family == AF_PACKET) {
            const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
            size_t length = std::min<size_t>(link->sll_halen, sizeof link->sll_addr);
            // The loopback device reports six zero bytes: that is no hardware address.
            bool none = std::all_of(link->sll_addr, link->sll_addr + length,
                                    [](unsigned char b) { return b == 0; });
            if (!none)
                list.hardware[device] = FormatHardwareAddress(link->sll_addr, length);
        } else if (entry->ifa_addr->sa_family == AF_INET) {
            LocalAddress local;
            local.name = name;
            local.device = device;
            local.address = Inet(entry->ifa_addr);
            local.mask = entry->ifa_netmask != nullptr ? Inet(entry->ifa_netmask) : 0;
            local.flags = entry->ifa_flags;
            list.addresses.push_back(std::move(local));
        }
    }
    return true;
}

bool Usable(const KernelRoute& route) {
    return (route.flags & RTF_UP) != 0 && (route.flags & RTF_REJECT) == 0;
}

// The gateway of the device's lowest route through a gateway (its default route when it has
// one); 0 for a device without such a route.
uint32_t GatewayOf(const std::string& device, const std::vector<KernelRoute>& routes) {
    const KernelRoute* best = nullptr;
    for (const KernelRoute& route : routes) {
        if (!Usable(route) || (route.flags & RTF_GATEWAY) == 0 || route.device != device)
            continue;
        if (best == nullptr ||
            NetworkToHost32(route.destination) < NetworkToHost32(best->destination) ||
            (route.destination == best->destination && route.metric < best->metric))
            best = &route;
    }
    return best != nullptr ? best->gateway : 0;
}

class PosixNetworkSource : public NetworkInfoSource {
  public:
    bool LocalInterfaces(std::vector<InterfaceRecord>& records) override {
        InterfaceList list;
        if (!ReadInterfaces(list))
            return false;
        std::vector<KernelRoute> routes;
        ReadKernelRoutes(routes);  // without them the records only lack their gateways
        for (const LocalAddress& local : list.addresses) {
            InterfaceRecord record;
            record.address.SetAddress(local.address);
            record.mask = local.mask;
            record.gateway = GatewayOf(local.device, routes);
            auto hardware = list.hardware.find(local.device);
            if (hardware != list.hardware.end())
                record.hardwareAddress = hardware->second;
            record.name = local.name;
            record.enabled = (local.flags & IFF_UP) != 0;
            record.connected = record.enabled && (local.flags & IFF_RUNNING) != 0;
            records.push_back(std::move(record));
        }
        return true;
    }

    bool RoutingRows(std::vector<ForwardRow>& forward,
                     std::vector<AddressRow>& addresses) override {
        InterfaceList list;
        std::vector<KernelRoute> routes;
        if (!ReadInterfaces(list) || !ReadKernelRoutes(routes))
            return false;
        for (const LocalAddress& local : list.addresses)
            addresses.push_back({local.address, local.mask, if_nametoindex(local.device.c_str())});
        for (const KernelRoute& route : routes) {
            if (!Usable(route))
                continue;
            ForwardRow row{route.destination, route.mask,
                           route.gateway,     if_nametoindex(route.device.c_str()),
                           kRouteIndirect,    route.metric};
            if ((route.flags & RTF_GATEWAY) == 0) {
                const LocalAddress* own = OwnAddress(list, route);
                if (own == nullptr)
                    continue;
                row.nextHop = own->address;
                row.type = kRouteDirect;
            }
            forward.push_back(row);
        }
        // The loopback networks live in the kernel's local table, which /proc/net/route does
        // not list; without them a loopback destination would leave through the default route.
        for (const LocalAddress& local : list.addresses) {
            if ((local.flags & IFF_LOOPBACK) == 0)
                continue;
            uint32_t network = local.address & local.mask;
            bool listed = std::any_of(forward.begin(), forward.end(), [&](const ForwardRow& r) {
                return r.destination == network && r.mask == local.mask;
            });
            if (!listed)
                forward.push_back({network, local.mask, local.address,
                                   if_nametoindex(local.device.c_str()), kRouteDirect, 0});
        }
        return true;
    }

  private:
    // The device's address on the route's network, or else its first address.
    static const LocalAddress* OwnAddress(const InterfaceList& list, const KernelRoute& route) {
        const LocalAddress* first = nullptr;
        for (const LocalAddress& local : list.addresses) {
            if (local.device != route.device)
                continue;
            if ((local.address & route.mask) == route.destination)
                return &local;
            if (first == nullptr)
                first = &local;
        }
        return first;
    }
};

}  // namespace

std::unique_ptr<NetworkInfoSource> MakeNetworkInfoSource() {
    return std::make_unique<PosixNetworkSource>();
}

}  // namespace voxtrel
