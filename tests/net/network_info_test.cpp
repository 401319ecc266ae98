// The route walk and route choice on a synthetic machine and the records made from registry
// cards; the black-box check of `voxtrel netinfo` compares the choice with this machine's kernel.
#include <string>
#include <tuple>
#include <vector>

#include "net/network_info.h"
#include "socket_test_support.h"

namespace voxtrel {
namespace {

using namespace std::string_literals;
using testing::StartsWith;

constexpr uint32_t kMask8 = Ipv4(255, 0, 0, 0), kMask16 = Ipv4(255, 255, 0, 0);
constexpr uint32_t kMask24 = Ipv4(255, 255, 255, 0), kHostMask = Ipv4(255, 255, 255, 255);
constexpr uint32_t kLan = Ipv4(192, 168, 1, 10), kWlan = Ipv4(10, 1, 0, 2);
constexpr uint32_t kLoopback = Ipv4(127, 0, 0, 1), kLanGateway = Ipv4(192, 168, 1, 1);
constexpr uint32_t kWlanGateway = Ipv4(10, 1, 0, 1);

auto Fields(const InterfaceRecord& r, uint32_t mask) {
    return std::tuple(r.name, r.previousName, r.address.Address(), r.address.Port(), mask,
                      r.gateway, r.hardwareAddress, r.enabled, r.connected);
}

// A LAN card (default gateway), a WLAN card and loopback; the rows in no particular order, as the
// walk orders them itself.
struct FakeSource : NetworkInfoSource {
    bool LocalInterfaces(std::vector<InterfaceRecord>& out) override {
        if (interfacesReadable) out.insert(out.end(), records.begin(), records.end());
        return interfacesReadable;
    }
    bool RoutingRows(std::vector<ForwardRow>& f, std::vector<AddressRow>& a) override {
        f = forward;
        a = addresses;
        return routesReadable;
    }

    bool interfacesReadable = true, routesReadable = true;
    std::vector<InterfaceRecord> records = {
        {SocketAddress(kLan, 0), kMask24, kLanGateway, "00-1A-2B-3C-4D-5E", "LAN", "", false,
         false},
        {SocketAddress(kWlan, 0), kMask16, kWlanGateway, "", "WLAN", "", false, false},
        {SocketAddress(kLoopback, 0), kMask8, 0, "", "Loopback", "", false, false}};
    std::vector<AddressRow> addresses = {
        {kLan, kMask24, 1}, {kWlan, kMask16, 2}, {kLoopback, kMask8, 3}};
    std::vector<ForwardRow> forward = {
        {0, 0, kLanGateway, 1, kRouteIndirect, 1},
        {0, 0, kWlanGateway, 2, kRouteIndirect, 5},  // a second default route, costlier
        {Ipv4(192, 168, 1, 0), kMask24, kLan, 1, kRouteDirect, 1},
        {Ipv4(10, 0, 0, 5), kHostMask, kWlanGateway, 2, kRouteIndirect, 1},
        {Ipv4(10, 1, 0, 0), kMask16, kWlan, 2, kRouteDirect, 1},
        {Ipv4(10, 0, 0, 0), kMask8, kLanGateway, 1, kRouteIndirect, 1},
        {Ipv4(10, 0, 0, 0), kMask24, kWlanGateway, 2, kRouteIndirect, 1},
        {Ipv4(127, 0, 0, 0), kMask8, kLoopback, 3, kRouteDirect, 1},
        {Ipv4(172, 16, 0, 0), kMask16, kLanGateway, 1, kRouteIndirect, 1},
        {Ipv4(172, 17, 0, 0), kMask16, kLanGateway, 1, kRouteIndirect, 1},
        {Ipv4(203, 0, 113, 0), kMask24, Ipv4(10, 9, 9, 9), 2, kRouteIndirect, 1},  // no gateway
        {Ipv4(198, 51, 100, 0), kMask24, kLan, 1, 2, 1}};  // neither direct nor indirect
};

using NetworkInfoRoutes = testing::SocketLayerTest;

TEST_F(NetworkInfoRoutes, ListsRoutesNarrowestFirstWithoutRepeats) {
    FakeSource source;
    // A direct route lists each record of its address; 172.16/16 repeats 172.17/16: no entry.
    source.records.push_back(source.records[0]);
    source.records.back().name = "LAN alias";
    std::vector<RouteEntry> routes(2);
    std::vector<InterfaceRecord> records(5);
    ASSERT_EQ(GetRoutingTable(source, routes, &records), 10);
    // clang-format off
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t, std::string>> got, expected = {
        {kLan, kMask24, Ipv4(192, 168, 1, 0), "LAN"},
        {kLan, kMask24, Ipv4(192, 168, 1, 0), "LAN alias"},
        {kLan, kMask16, Ipv4(172, 17, 0, 0), "LAN"},
        {kLoopback, kMask8, Ipv4(127, 0, 0, 0), "Loopback"},
        {kWlan, kMask16, Ipv4(10, 1, 0, 0), "WLAN"}, {kWlan, kHostMask, Ipv4(10, 0, 0, 5), "WLAN"},
        {kWlan, kMask24, Ipv4(10, 0, 0, 0), "WLAN"}, {kLan, kMask8, Ipv4(10, 0, 0, 0), "LAN"},
        {kLan, 0, 0, "LAN"}, {kWlan, 0, 0, "WLAN"}};
    // clang-format on
    for (const RouteEntry& r : routes)
        got.emplace_back(r.localAddress, r.mask, r.destination, r.interfaceName);
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(records.size() == 4u && NothingReported());
}

TEST_F(NetworkInfoRoutes, ChoosesTheFirstMatchingRouteAndItsInterfaceRecord) {
    // clang-format off
    const std::tuple<uint32_t, int, uint32_t> cases[] = {
        {Ipv4(192, 168, 1, 77), 0, kMask24}, {Ipv4(10, 1, 200, 3), 1, kMask16},
        {kLoopback, 2, kMask8}, {Ipv4(8, 8, 8, 8), 0, 0}, {Ipv4(203, 0, 113, 9), 0, 0},
        {Ipv4(198, 51, 100, 9), 0, 0}, {Ipv4(10, 0, 0, 5), 1, kHostMask},
        {Ipv4(10, 0, 0, 9), 1, kMask24}, {Ipv4(10, 7, 0, 1), 0, kMask8}};
    // clang-format on
    FakeSource source;
    for (auto [destination, which, mask] : cases) {
        InterfaceRecord record;
        ASSERT_TRUE(GetLocalRoute(source, SocketAddress(destination, 80), record)) << destination;
        EXPECT_EQ(Fields(record, record.mask), Fields(source.records[which], mask)) << destination;
    }
    EXPECT_TRUE(NothingReported());
}

TEST_F(NetworkInfoRoutes, MissingRoutesAndUnreadableTables) {
    FakeSource source;
    source.forward.erase(source.forward.begin(), source.forward.begin() + 2);  // default routes
    InterfaceRecord record;
    record.name = "untouched";
    EXPECT_FALSE(GetLocalRoute(source, SocketAddress(Ipv4(8, 8, 8, 8), 0), record));
    EXPECT_EQ(record.name, "untouched");
    source.addresses.clear();  // rows without the address table give no routes
    std::vector<RouteEntry> routes;
    EXPECT_EQ(GetRoutingTable(source, routes, nullptr), 0);
    std::vector<InterfaceRecord> records(2);
    std::string host;
    EXPECT_TRUE(GetLocalHostEx(source, records, &host) == 5 && !host.empty());  // appends
    source.routesReadable = false;
    EXPECT_EQ(GetRoutingTable(source, routes, &records), 0);
    EXPECT_TRUE(records.size() == 3u && NothingReported());
    source.interfacesReadable = false;
    EXPECT_FALSE(GetLocalRoute(source, SocketAddress(kLan, 0), record));
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "GetLocalRoute error"));
    routes.resize(1);
    EXPECT_EQ(GetRoutingTable(source, routes, nullptr), 0);
    EXPECT_TRUE(routes.empty() && StartsWith(LastSocketErrorMessage(), "GetRoutingTable error"));
}

TEST(NetworkInfoRegistryCards, PairAddressesWithMasksAndRenameKnownRecords) {
    // The third address has no mask; the first is known under another name.
    NetworkCard card{{"192.168.5.5", "10.0.0.1", "172.16.0.1"},
                     {"255.255.255.0", "255.0.0.0"},
                     "Office",
                     "192.168.5.1",
                     true};
    const unsigned char bytes[] = {0xAA, 0x0B};
    std::vector<std::pair<uint32_t, std::string>> hardware = {
        {Ipv4(10, 0, 0, 1), FormatHardwareAddress(bytes, 2) + FormatHardwareAddress(bytes, 0)}};
    std::vector<InterfaceRecord> records = {
        {SocketAddress(Ipv4(192, 168, 5, 5), 0), kMask24, 0, "", "Intel", "", false, false}};
    AddCardRecords(records, card, hardware);
    // The same address with another mask is another record.
    AddCardRecords(records, {{"10.0.0.1"}, {"255.255.0.0"}, "Lab", "", true, true}, hardware);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(records[0].name == "Office" && records[0].previousName == "Intel");
    EXPECT_EQ(Fields(records[1], records[1].mask),
              std::tuple("Office"s, ""s, Ipv4(10, 0, 0, 1), uint16_t{0}, kMask8,
                         Ipv4(192, 168, 5, 1), "AA-0B"s, true, false));
    EXPECT_EQ(std::tuple(records[2].name, records[2].mask), std::tuple("Lab"s, kMask16));
}

}  // namespace
}  // namespace voxtrel
