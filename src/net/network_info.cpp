// The portable half of the host and route queries: record building, the route walk and the
// route choice, fed by whichever NetworkInfoSource the platform (or a test) supplies.
#include "net/network_info.h"

#include <algorithm>
#include <cstdio>

#include "net/net_platform.h"
#include "net/socket_state.h"

namespace voxtrel {

std::string FormatHardwareAddress(const unsigned char* bytes, size_t length) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, i + 1 < length ? "%02X-" : "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

void AddCardRecords(std::vector<InterfaceRecord>& records, const NetworkCard& card,
                    const std::vector<std::pair<uint32_t, std::string>>& hardware) {
    size_t pairs = std::min(card.addresses.size(), card.masks.size());
    for (size_t i = 0; i < pairs; ++i) {
        InterfaceRecord record;
        record.address.SetAddress(platform::ParseAddress(card.addresses[i].c_str()));
        record.mask = platform::ParseAddress(card.masks[i].c_str());
        record.gateway = platform::ParseAddress(card.gateway.c_str());
        record.name = card.name;
        record.enabled = card.enabled;
        record.connected = card.connected;
        uint32_t address = record.address.Address();
        for (const auto& [known, text] : hardware) {
            if (known == address) {
                record.hardwareAddress = text;
                break;
            }
        }
        auto same = std::find_if(records.begin(), records.end(), [&](const InterfaceRecord& r) {
            return r.address.Address() == address && r.mask == record.mask && r.name != record.name;
        });
        if (same != records.end()) {
            same->previousName = std::move(same->name);
            same->name = card.name;
        } else {
            records.push_back(std::move(record));
        }
    }
}

void BuildRoutes(const std::vector<ForwardRow>& forward, const std::vector<AddressRow>& addresses,
                 const std::vector<InterfaceRecord>& records, std::vector<RouteEntry>& routes) {
    // Walked from the highest destination down, so that a narrower route (a host route
    // inside a network, a longer mask on the same network) is listed, and matched, first. Among
    // equal routes the lower metric comes first.
    std::vector<ForwardRow> rows = forward;
    std::stable_sort(rows.begin(), rows.end(), [](const ForwardRow& a, const ForwardRow& b) {
        uint32_t da = NetworkToHost32(a.destination), db = NetworkToHost32(b.destination);
        if (da != db)
            return da < db;
        uint32_t ma = NetworkToHost32(a.mask), mb = NetworkToHost32(b.mask);
        if (ma != mb)
            return ma < mb;
        return a.metric > b.metric;
    });
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
        for (const AddressRow& address : addresses) {
            if (row->type == kRouteDirect) {
                if (row->nextHop != address.address)
                    continue;
                for (const InterfaceRecord& record : records) {
                    if (record.address.Address() == address.address)
                        routes.push_back(
                            {address.address, row->mask, row->destination, record.name});
                }
            } else if (row->type == kRouteIndirect) {
                auto via = std::find_if(
                    records.begin(), records.end(),
                    [&](const InterfaceRecord& r) { return r.gateway == row->nextHop; });
                if (via == records.end())
                    continue;
                uint32_t local = via->address.Address();
                bool known = std::any_of(routes.begin(), routes.end(), [&](const RouteEntry& e) {
                    return e.localAddress == local && e.mask == row->mask;
                });
                if (!known)
                    routes.push_back({local, row->mask, row->destination, via->name});
            }
        }
    }
}

int GetLocalHostEx(NetworkInfoSource& source, std::vector<InterfaceRecord>& records,
                   std::string* hostName) {
    if (!source.LocalInterfaces(records))
        return 0;
    if (hostName != nullptr) {
        NetworkUser user;
        if (!platform::LocalHostName(*hostName)) {
            ReportSocketError("GetLocalHostEx", true);
            return 0;
        }
    }
    return static_cast<int>(records.size());
}

int GetRoutingTable(NetworkInfoSource& source, std::vector<RouteEntry>& routes,
                    std::vector<InterfaceRecord>* records) {
    routes.clear();
    if (records != nullptr)
        records->clear();
    std::vector<InterfaceRecord> interfaces;
    if (GetLocalHostEx(source, interfaces, nullptr) == 0) {
        ReportSocketError("GetRoutingTable", true);
        return 0;
    }
    std::vector<ForwardRow> forward;
    std::vector<AddressRow> addresses;
    if (source.RoutingRows(forward, addresses))
        BuildRoutes(forward, addresses, interfaces, routes);
    if (records != nullptr)
        *records = std::move(interfaces);
    return static_cast<int>(routes.size());
}

bool GetLocalRoute(NetworkInfoSource& source, const SocketAddress& destination,
                   InterfaceRecord& record) {
    std::vector<RouteEntry> routes;
    std::vector<InterfaceRecord> interfaces;
    if (GetRoutingTable(source, routes, &interfaces) == 0) {
        ReportSocketError("GetLocalRoute", true);
        return false;
    }
    uint32_t target = destination.Address();
    for (const RouteEntry& entry : routes) {
        if ((target & entry.mask) != entry.destination)
            continue;
        record = InterfaceRecord{};
        record.address.SetAddress(entry.localAddress);
        record.mask = entry.mask;
        record.name = entry.interfaceName;
        for (const InterfaceRecord& known : interfaces) {
            if (known.address.Address() == entry.localAddress) {
                record.gateway = known.gateway;
                record.hardwareAddress = known.hardwareAddress;
                break;
            }
        }
        return true;
    }
    return false;
}

}  // namespace voxtrel
