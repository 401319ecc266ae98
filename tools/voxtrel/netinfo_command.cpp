// voxtrel netinfo: this host's name, interfaces and routing table, and the local address and
// interface that a connection to a given address would leave from.
#include <bit>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "net/bsd_socket.h"
#include "net/network_info.h"
#include "net/socket_state.h"
#include "subcommands.h"

namespace voxtrel::tools {

namespace {

const char kUsage[] =
    "usage: voxtrel netinfo [ADDRESS]\n"
    "Prints this host's name, its interfaces and its routing table as the control sees them.\n"
    "With ADDRESS (an IPv4 address or a host name, such as the PBX's) it also prints the local\n"
    "address and interface that a connection there leaves from. Exits 1 when the tables cannot\n"
    "be read or no route leads to ADDRESS, 2 for a usage error or an ADDRESS that does not\n"
    "resolve.\n";

std::string Dotted(uint32_t address) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address);  // network order
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
           std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

std::string Network(uint32_t address, uint32_t mask) {
    return Dotted(address) + "/" + std::to_string(std::popcount(mask));
}

void PrintInterfaces(const std::vector<InterfaceRecord>& records) {
    std::cout << "Interfaces:\n";
    for (const InterfaceRecord& record : records) {
        std::cout << "  " << record.name << "  " << Network(record.address.Address(), record.mask);
        if (record.gateway != 0) std::cout << "  gateway " << Dotted(record.gateway);
        if (!record.hardwareAddress.empty()) std::cout << "  hardware " << record.hardwareAddress;
        std::cout << (record.connected ? "  up"
                      : record.enabled ? "  enabled, not running"
                                       : "  down")
                  << "\n";
    }
}

void PrintRoutes(const std::vector<RouteEntry>& routes) {
    std::cout << "Routing table (first match wins):\n";
    for (const RouteEntry& route : routes) {
        std::cout << "  " << Network(route.destination, route.mask) << "  from "
                  << Dotted(route.localAddress) << "  " << route.interfaceName << "\n";
    }
}

}  // namespace

int RunNetinfo(int argc, char** argv) {
    const char* target = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << kUsage;
            return 0;
        }
        if ((argv[i][0] == '-' && argv[i][1] != 0) || target != nullptr) {
            std::cerr << "voxtrel netinfo: unexpected argument " << argv[i] << "\n" << kUsage;
            return 2;
        }
        target = argv[i];
    }
    // The command writes its own messages; the socket layer's reports would repeat them.
    SetShowSocketErrors(false);
    SocketAddress destination;
    if (target != nullptr && (*target == 0 || !BsdSocket::GetHostByName(target, destination))) {
        std::cerr << "voxtrel netinfo: \"" << target
                  << "\" is not an IPv4 address or a known host name\n";
        return 2;
    }

    auto source = MakeNetworkInfoSource();
    std::vector<InterfaceRecord> records;
    std::string host;
    if (GetLocalHostEx(*source, records, &host) == 0) {
        std::cerr << "voxtrel netinfo: cannot read the interfaces: " << LastSocketErrorMessage()
                  << "\n";
        return 1;
    }
    std::cout << "Host name: " << host << "\n";
    PrintInterfaces(records);
    std::vector<RouteEntry> routes;
    GetRoutingTable(*source, routes, nullptr);
    PrintRoutes(routes);
    if (target == nullptr) return 0;

    InterfaceRecord route;
    if (!GetLocalRoute(*source, destination, route)) {
        std::cout << "No route to " << target << " (" << Dotted(destination.Address()) << ")\n";
        return 1;
    }
    std::cout << "Route to " << target << " (" << Dotted(destination.Address())
              << "): local address " << Dotted(route.address.Address()) << ", interface "
              << route.name << "\n";
    return 0;
}

}  // namespace voxtrel::tools
