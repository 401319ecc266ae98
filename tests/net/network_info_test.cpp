// The route walk and route choice on a synthetic machine, the records made from registry cards,
// and the route choice against this machine's kernel.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "net/bsd_socket.h"
#include "net/network_info.h"
#include "net/socket_state.h"
#include "socket_test_support.h"

namespace voxtrel {
namespace {

using testing::StartsWith;

constexpr uint32_t kMask8 = Ipv4(255, 0, 0, 0), kMask16 = Ipv4(255, 255, 0, 0);
constexpr uint32_t kMask24 = Ipv4(255, 255, 255, 0), kHostMask = Ipv4(255, 255, 255, 255);
constexpr uint32_t kLan = Ipv4(192, 168, 1, 10), kWlan = Ipv4(10, 1, 0, 2);
constexpr uint32_t kLoopback = Ipv4(127, 0, 0, 1), kLanGateway = Ipv4(192, 168, 1, 1);
constexpr uint32_t kWlanGateway = Ipv4(10, 1, 0, 1);

InterfaceRecord Record(const char* name, uint32_t address, uint32_t mask, uint32_t gateway,
                       const char* hardware = "") {
    InterfaceRecord record;
    record.address.SetAddress(address);
    record.mask = mask;
    record.gateway = gateway;
    record.name = name;
    record.hardwareAddress = hardware;
    return record;
}

// A LAN card (default gateway), a WLAN card and loopback; the rows in no particular order, as the
// walk orders them itself.
class FakeSource : public NetworkInfoSource {
  public:
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
        Record("LAN", kLan, kMask24, kLanGateway, "00-1A-2B-3C-4D-5E"),
        Record("WLAN", kWlan, kMask16, kWlanGateway), Record("Loopback", kLoopback, kMask8, 0)};
    std::vector<AddressRow> addresses = {
        {kLan, kMask24, 1}, {kWlan, kMask16, 2}, {kLoopback, kMask8, 3}};
    std::vector<ForwardRow> forward = {
        {0, 0, kLanGateway, 1, kRouteIndirect, 1},
        {Ipv4(192, 168, 1, 0), kMask24, kLan, 1, kRouteDirect, 1},
        {Ipv4(10, 0, 0, 5), kHostMask, kWlanGateway, 2, kRouteIndirect, 1},
        {Ipv4(10, 1, 0, 0), kMask16, kWlan, 2, kRouteDirect, 1},
        {Ipv4(10, 0, 0, 0), kMask8, kLanGateway, 1, kRouteIndirect, 1},
        {Ipv4(10, 0, 0, 0), kMask24, kWlanGateway, 2, kRouteIndirect, 1},
        {Ipv4(127, 0, 0, 0), kMask8, kLoopback, 3, kRouteDirect, 1},
        {Ipv4(172, 16, 0, 0), kMask16, kLanGateway, 1, kRouteIndirect, 1},
        {Ipv4(172, 17, 0, 0), kMask16, kLanGateway, 1, kRouteIndirect, 1},
        {Ipv4(203, 0, 113, 0), kMask24, Ipv4(10, 9, 9, 9), 2, kRouteIndirect, 1},  // no gateway
        {Ipv4(198, 51, 100, 0), kMask24, kLan, 1, 2, 1},  // neither direct nor indirect
    };
};

using RouteWalkTest = testing::SocketLayerTest;

TEST_F(RouteWalkTest, ListsRoutesNarrowestFirstWithoutRepeats) {
    FakeSource source;
    std::vector<RouteEntry> routes(2);
    std::vector<InterfaceRecord> records(5);
    ASSERT_EQ(GetRoutingTable(source, routes, &records), 8);
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t, std::string>> got,
        expected = {{kLan, kMask24, Ipv4(192, 168, 1, 0), "LAN"},
                    // 172.16.0.0/16 leaves through the same interface with the same mask: no entry.
                    {kLan, kMask16, Ipv4(172, 17, 0, 0), "LAN"},
                    {kLoopback, kMask8, Ipv4(127, 0, 0, 0), "Loopback"},
                    {kWlan, kMask16, Ipv4(10, 1, 0, 0), "WLAN"},
                    {kWlan, kHostMask, Ipv4(10, 0, 0, 5), "WLAN"},
                    {kWlan, kMask24, Ipv4(10, 0, 0, 0), "WLAN"},
                    {kLan, kMask8, Ipv4(10, 0, 0, 0), "LAN"},
                    {kLan, 0, 0, "LAN"}};
    for (const RouteEntry& r : routes)
        got.emplace_back(r.localAddress, r.mask, r.destination, r.interfaceName);
    EXPECT_EQ(got, expected);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(NothingReported());
}

TEST_F(RouteWalkTest, ChoosesTheFirstMatchingRouteAndItsInterface) {
    const struct {
        uint32_t destination;
        const char* name;
        uint32_t local, mask;
    } cases[] = {
        {Ipv4(192, 168, 1, 77), "LAN", kLan, kMask24},
        {Ipv4(10, 1, 200, 3), "WLAN", kWlan, kMask16},
        {kLoopback, "Loopback", kLoopback, kMask8},
        {Ipv4(8, 8, 8, 8), "LAN", kLan, 0},
        {Ipv4(203, 0, 113, 9), "LAN", kLan, 0},
        {Ipv4(198, 51, 100, 9), "LAN", kLan, 0},
        {Ipv4(10, 0, 0, 5), "WLAN", kWlan, kHostMask},
        {Ipv4(10, 0, 0, 9), "WLAN", kWlan, kMask24},
        {Ipv4(10, 7, 0, 1), "LAN", kLan, kMask8},
    };
    FakeSource source;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.destination);
        InterfaceRecord record;
        ASSERT_TRUE(GetLocalRoute(source, SocketAddress(c.destination, 80), record));
        EXPECT_EQ(record.name, c.name);
        EXPECT_EQ(record.address.Address(), c.local);
        EXPECT_EQ(record.address.Port(), 0);
        EXPECT_EQ(record.mask, c.mask);
        for (const InterfaceRecord& known : source.records) {
            if (known.name == c.name) {
                EXPECT_EQ(std::pair(record.gateway, record.hardwareAddress),
                          std::pair(known.gateway, known.hardwareAddress));
            }
        }
    }
    // A direct route lists every record of its address.
    source.records.push_back(Record("LAN alias", kLan, kMask24, kLanGateway));
    std::vector<RouteEntry> routes;
    GetRoutingTable(source, routes, nullptr);
    EXPECT_EQ(routes.at(1).interfaceName, "LAN alias");
    EXPECT_EQ(routes.at(1).destination, Ipv4(192, 168, 1, 0));
    EXPECT_TRUE(NothingReported());
}

TEST_F(RouteWalkTest, MissingRoutesAndUnreadableTables) {
    FakeSource source;
    source.forward.erase(source.forward.begin());  // the default route
    InterfaceRecord record;
    record.name = "untouched";
    EXPECT_FALSE(GetLocalRoute(source, SocketAddress(Ipv4(8, 8, 8, 8), 0), record));
    EXPECT_EQ(record.name, "untouched");
    source.addresses.clear();  // rows without the address table give no routes
    std::vector<RouteEntry> routes;
    EXPECT_EQ(GetRoutingTable(source, routes, nullptr), 0);
    EXPECT_TRUE(NothingReported());

    std::vector<InterfaceRecord> records(2);
    std::string host;
    EXPECT_EQ(GetLocalHostEx(source, records, &host), 5);  // appends
    EXPECT_FALSE(host.empty());
    source.routesReadable = false;
    EXPECT_EQ(GetRoutingTable(source, routes, &records), 0);
    EXPECT_EQ(records.size(), 3u);
    EXPECT_TRUE(NothingReported());

    SetShowSocketErrors(false);
    source.interfacesReadable = false;
    EXPECT_FALSE(GetLocalRoute(source, SocketAddress(kLan, 0), record));
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "GetLocalRoute error"));
    ReportSocketError("Marker", false);
    routes.resize(1);
    EXPECT_EQ(GetRoutingTable(source, routes, nullptr), 0);
    EXPECT_TRUE(routes.empty());
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "GetRoutingTable error"));
}

TEST(RegistryCards, PairAddressesWithMasksAndRenameKnownRecords) {
    const unsigned char bytes[] = {0x00, 0x1a, 0xff};
    EXPECT_EQ(FormatHardwareAddress(bytes, 3), "00-1A-FF");
    EXPECT_EQ(FormatHardwareAddress(bytes, 0), "");
    // The third address has no mask.
    NetworkCard card{{"192.168.5.5", "10.0.0.1", "172.16.0.1"},
                     {"255.255.255.0", "255.0.0.0"},
                     "Office",
                     "192.168.5.1",
                     true};
    std::vector<std::pair<uint32_t, std::string>> hardware = {{Ipv4(10, 0, 0, 1), "AA-BB"}};
    std::vector<InterfaceRecord> records = {Record("Intel", Ipv4(192, 168, 5, 5), kMask24, 0)};
    AddCardRecords(records, card, hardware);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].name, "Office");
    EXPECT_EQ(records[0].previousName, "Intel");
    EXPECT_EQ(records[1].address.Address(), Ipv4(10, 0, 0, 1));
    EXPECT_EQ(records[1].mask, kMask8);
    EXPECT_EQ(records[1].gateway, Ipv4(192, 168, 5, 1));
    EXPECT_EQ(records[1].hardwareAddress, "AA-BB");
    EXPECT_TRUE(records[1].enabled);
    EXPECT_FALSE(records[1].connected);
    // The same address with another mask is another record.
    AddCardRecords(records, NetworkCard{{"10.0.0.1"}, {"255.255.0.0"}, "Lab", "", true, true},
                   hardware);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].name, "Office");
    EXPECT_EQ(records[2].name, "Lab");
}

// The kernel's source address towards a destination: a UDP socket connected there (which sends
// nothing) is bound by the kernel to the interface it would use.
bool KernelSource(uint32_t destination, uint32_t& source) {
    BsdSocket probe(false);
    if (!probe.CreateUDP() || !probe.ConnectEx(SocketAddress(destination, 9))) return false;
    SockAddrIn self;
    probe.GetSelfAddr(self);
    source = self.address;
    return true;
}

TEST(LiveRoute, DefaultAndGatewayNetworkResolveToTheKernelsInterface) {
    const uint32_t outside = Ipv4(198, 51, 100, 7);
    uint32_t kernelOutside = 0, kernelGateway = 0;
    if (!KernelSource(outside, kernelOutside)) GTEST_SKIP() << "this machine has no default route";
    InterfaceRecord viaDefault, gatewayNetwork;
    ASSERT_TRUE(BsdSocket::GetLocalRoute(SocketAddress(outside, 0), viaDefault));
    EXPECT_EQ(viaDefault.address.Address(), kernelOutside);
    ASSERT_NE(viaDefault.gateway, 0u);
    ASSERT_TRUE(KernelSource(viaDefault.gateway, kernelGateway));
    ASSERT_TRUE(BsdSocket::GetLocalRoute(SocketAddress(viaDefault.gateway, 0), gatewayNetwork));
    EXPECT_EQ(gatewayNetwork.address.Address(), kernelGateway);
    EXPECT_NE(gatewayNetwork.mask, 0u);
    EXPECT_EQ(gatewayNetwork.name, viaDefault.name);
}

}  // namespace
}  // namespace voxtrel
