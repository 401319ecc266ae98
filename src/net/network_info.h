// Interfaces and routes of the machine: the records that describe them, the small interface
// through which a platform supplies its tables, and the walk that turns those tables into the
// route to use for a destination.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/socket_address.h"

namespace voxtrel {

struct InterfaceRecord {
    SocketAddress address;
    uint32_t mask = 0;     // network byte order
    uint32_t gateway = 0;  // network byte order
    std::string hardwareAddress;
    std::string name;
    // The name the record had before a registry connection name replaced it.
    std::string previousName;
    bool enabled = false;
    bool connected = false;
};

struct RouteEntry {
    uint32_t localAddress = 0;  // the address of the interface to use, network byte order
    uint32_t mask = 0;
    uint32_t destination = 0;
    std::string interfaceName;
};

// Routing rows as the platform gives them; addresses and masks in network byte order.
constexpr uint32_t kRouteDirect = 3;    // next hop is the interface's own address
constexpr uint32_t kRouteIndirect = 4;  // next hop is a gateway

struct ForwardRow {
    uint32_t destination = 0;
    uint32_t mask = 0;
    uint32_t nextHop = 0;
    uint32_t interfaceIndex = 0;
    uint32_t type = 0;
    uint32_t metric = 0;
};

struct AddressRow {
    uint32_t address = 0;
    uint32_t mask = 0;
    uint32_t interfaceIndex = 0;
};

// One network card of the Windows registry configuration: its address and mask texts (paired by
// position), connection name, default gateway text and states.
struct NetworkCard {
    std::vector<std::string> addresses;
    std::vector<std::string> masks;
    std::string name;
    std::string gateway;
    bool enabled = false;
    bool connected = false;
};

// Where the interface list and the routing rows come from; one implementation per platform, and
// synthetic ones in tests.
class NetworkInfoSource {
  public:
    virtual ~NetworkInfoSource() = default;
    // Appends the machine's interfaces; false when they cannot be read at all.
    virtual bool LocalInterfaces(std::vector<InterfaceRecord>& records) = 0;
    // Fills both tables; false when they cannot be read.
    virtual bool RoutingRows(std::vector<ForwardRow>& forward,
                             std::vector<AddressRow>& addresses) = 0;
};

// The source of the running platform.
std::unique_ptr<NetworkInfoSource> MakeNetworkInfoSource();

// Upper-case hexadecimal pairs joined by '-'; empty for no bytes.
std::string FormatHardwareAddress(const unsigned char* bytes, size_t length);

// Makes the records of one registry card, one per address text that has a mask text at the same
// position; unpaired texts are ignored. hardware maps addresses to hardware address texts.
void AddCardRecords(std::vector<InterfaceRecord>& records, const NetworkCard& card,
                    const std::vector<std::pair<uint32_t, std::string>>& hardware);

// Appends to routes the entries that the walk over forward (by descending destination) and
// addresses gives for records.
void BuildRoutes(const std::vector<ForwardRow>& forward, const std::vector<AddressRow>& addresses,
                 const std::vector<InterfaceRecord>& records, std::vector<RouteEntry>& routes);

// The host and route queries over a given source; BsdSocket's static functions of the same names
// use the platform's source.
int GetLocalHostEx(NetworkInfoSource& source, std::vector<InterfaceRecord>& records,
                   std::string* hostName);
int GetRoutingTable(NetworkInfoSource& source, std::vector<RouteEntry>& routes,
                    std::vector<InterfaceRecord>* records);
bool GetLocalRoute(NetworkInfoSource& source, const SocketAddress& destination,
                   InterfaceRecord& record);

}  // namespace voxtrel
