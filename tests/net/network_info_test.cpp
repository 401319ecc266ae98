// The route walk and route choice on synthetic interface and routing tables, the records made
// from registry cards, and a check of the route choice against this machine's kernel.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "net/bsd_socket.h"
#include "net/network_info.h"
#include "net/socket_state.h"
#include "socket_test_support.h"

namespace voxtrel {
namespace {

using testing::StartsWith;

constexpr uint32_t kMask8 = Ipv4(255, 0, 0, 0);
constexpr uint32_t kMask16 = Ipv4(255, 255, 0, 0);
constexpr uint32_t kMask24 = Ipv4(255, 255, 255, 0);
constexpr uint32_t kHostMask = Ipv4(255, 255, 255, 255);

InterfaceRecord Record(const char* name, uint32_t address, uint32_t mask, uint32_t gateway,
                       const char* hardware = "") {
    InterfaceRecord record;
    record.address.SetAddress(address);
    record.mask = mask;
    record.gateway = gateway;
    record.name = name;
    record.hardwareAddress = hardware;
    record.enabled = record.connected = true;
    return record;
}

class FakeSource : public NetworkInfoSource {
  public:
    bool LocalInterfaces(std::vector<InterfaceRecord>& out) override {
        if (!interfacesReadable) return false;
        out.insert(out.end(), records.begin(), records.end());
        return true;
    }
    bool RoutingRows(std::vector<ForwardRow>& outForward,
                     std::vector<AddressRow>& outAddresses) override {
        if (!routesReadable) return false;
        outForward = forward;
        outAddresses = addresses;
        return true;
    }

    bool interfacesReadable = true;
    bool routesReadable = true;
    std::vector<InterfaceRecord> records;
    std::vector<ForwardRow> forward;
    std::vector<AddressRow> addresses;
};

// A machine with a LAN card (default gateway 192.168.1.1), a WLAN card and loopback. The forward
// rows are in no particular order: the walk orders them itself.
class RouteWalkTest : public testing::SocketLayerTest {
  protected:
    void SetUp() override {
        testing::SocketLayerTest::SetUp();
        const uint32_t lan = Ipv4(192, 168, 1, 10), wlan = Ipv4(10, 1, 0, 2);
        const uint32_t loopback = Ipv4(127, 0, 0, 1);
        source.records = {
            Record("LAN", lan, kMask24, Ipv4(192, 168, 1, 1), "00-1A-2B-3C-4D-5E"),
            Record("WLAN", wlan, kMask16, Ipv4(10, 1, 0, 1)),
            Record("Loopback", loopback, kMask8, 0),
        };
        source.addresses = {{lan, kMask24, 1}, {wlan, kMask16, 2}, {loopback, kMask8, 3}};
        source.forward = {
            {0, 0, Ipv4(192, 168, 1, 1), 1, kRouteIndirect, 1},
            {Ipv4(192, 168, 1, 0), kMask24, lan, 1, kRouteDirect, 1},
            {Ipv4(10, 0, 0, 5), kHostMask, Ipv4(10, 1, 0, 1), 2, kRouteIndirect, 1},
            {Ipv4(10, 1, 0, 0), kMask16, wlan, 2, kRouteDirect, 1},
            {Ipv4(10, 0, 0, 0), kMask8, Ipv4(192, 168, 1, 1), 1, kRouteIndirect, 1},
            {Ipv4(127, 0, 0, 0), kMask8, loopback, 3, kRouteDirect, 1},
            {Ipv4(172, 16, 0, 0), kMask16, Ipv4(192, 168, 1, 1), 1, kRouteIndirect, 1},
            {Ipv4(172, 17, 0, 0), kMask16, Ipv4(192, 168, 1, 1), 1, kRouteIndirect, 1},
            // No interface has this gateway: the route is not used.
            {Ipv4(203, 0, 113, 0), kMask24, Ipv4(10, 9, 9, 9), 2, kRouteIndirect, 1},
            // Neither direct nor indirect: not used.
            {Ipv4(198, 51, 100, 0), kMask24, lan, 1, 2, 1},
        };
    }

    bool Route(uint32_t destination, InterfaceRecord& record) {
        return GetLocalRoute(source, SocketAddress(destination, 80), record);
    }

    FakeSource source;
};

TEST_F(RouteWalkTest, ListsRoutesByDescendingDestinationWithoutRepeats) {
    std::vector<RouteEntry> routes(2);
    std::vector<InterfaceRecord> records(5);
    ASSERT_EQ(GetRoutingTable(source, routes, &records), 7);
    struct Expected {
        uint32_t local, mask, destination;
        const char* name;
    };
    const Expected expected[] = {
        {Ipv4(192, 168, 1, 10), kMask24, Ipv4(192, 168, 1, 0), "LAN"},
        // 172.16.0.0/16 leaves through the same interface with the same mask: no entry.
        {Ipv4(192, 168, 1, 10), kMask16, Ipv4(172, 17, 0, 0), "LAN"},
        {Ipv4(127, 0, 0, 1), kMask8, Ipv4(127, 0, 0, 0), "Loopback"},
        {Ipv4(10, 1, 0, 2), kMask16, Ipv4(10, 1, 0, 0), "WLAN"},
        {Ipv4(10, 1, 0, 2), kHostMask, Ipv4(10, 0, 0, 5), "WLAN"},
        {Ipv4(192, 168, 1, 10), kMask8, Ipv4(10, 0, 0, 0), "LAN"},
        {Ipv4(192, 168, 1, 10), 0, 0, "LAN"},
    };
    for (size_t i = 0; i < routes.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(routes[i].localAddress, expected[i].local);
        EXPECT_EQ(routes[i].mask, expected[i].mask);
        EXPECT_EQ(routes[i].destination, expected[i].destination);
        EXPECT_EQ(routes[i].interfaceName, expected[i].name);
    }
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].name, "LAN");
    EXPECT_TRUE(NothingReported());
}

TEST_F(RouteWalkTest, DirectlyAttachedNetworkUsesItsInterface) {
    InterfaceRecord record;
    ASSERT_TRUE(Route(Ipv4(192, 168, 1, 77), record));
    EXPECT_EQ(record.address.Address(), Ipv4(192, 168, 1, 10));
    EXPECT_EQ(record.address.Port(), 0);
    EXPECT_EQ(record.mask, kMask24);
    EXPECT_EQ(record.name, "LAN");
    EXPECT_EQ(record.gateway, Ipv4(192, 168, 1, 1));
    EXPECT_EQ(record.hardwareAddress, "00-1A-2B-3C-4D-5E");

    ASSERT_TRUE(Route(Ipv4(10, 1, 200, 3), record));
    EXPECT_EQ(record.name, "WLAN");
    EXPECT_EQ(record.hardwareAddress, "");
    ASSERT_TRUE(Route(Ipv4(127, 0, 0, 1), record));
    EXPECT_EQ(record.name, "Loopback");
}

TEST_F(RouteWalkTest, OtherDestinationsTakeTheDefaultRoute) {
    InterfaceRecord record;
    ASSERT_TRUE(Route(Ipv4(8, 8, 8, 8), record));
    EXPECT_EQ(record.address.Address(), Ipv4(192, 168, 1, 10));
    EXPECT_EQ(record.mask, 0u);
    EXPECT_EQ(record.name, "LAN");
    // The unusable routes fall back to the default route as well.
    ASSERT_TRUE(Route(Ipv4(203, 0, 113, 9), record));
    EXPECT_EQ(record.name, "LAN");
    ASSERT_TRUE(Route(Ipv4(198, 51, 100, 9), record));
    EXPECT_EQ(record.mask, 0u);
}

TEST_F(RouteWalkTest, HostRouteBeatsTheNetworkRoute) {
    InterfaceRecord record;
    ASSERT_TRUE(Route(Ipv4(10, 0, 0, 5), record));
    EXPECT_EQ(record.name, "WLAN");
    EXPECT_EQ(record.mask, kHostMask);
    ASSERT_TRUE(Route(Ipv4(10, 0, 0, 6), record));
    EXPECT_EQ(record.name, "LAN");
    EXPECT_EQ(record.mask, kMask8);
}

TEST_F(RouteWalkTest, LongerMaskOnTheSameNetworkComesFirst) {
    source.forward.push_back({Ipv4(10, 0, 0, 0), kMask24, Ipv4(10, 1, 0, 1), 2, kRouteIndirect});
    InterfaceRecord record;
    ASSERT_TRUE(Route(Ipv4(10, 0, 0, 9), record));
    EXPECT_EQ(record.name, "WLAN");
    ASSERT_TRUE(Route(Ipv4(10, 7, 0, 1), record));
    EXPECT_EQ(record.name, "LAN");
}

TEST_F(RouteWalkTest, NoCoveringRouteGivesFalseWithoutReport) {
    source.forward.erase(source.forward.begin());  // the default route
    InterfaceRecord record;
    record.name = "untouched";
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(Route(Ipv4(8, 8, 8, 8), record));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(record.name, "untouched");
    EXPECT_TRUE(NothingReported());
}

TEST_F(RouteWalkTest, UnreadableInterfacesGiveFalseWithReports) {
    source.interfacesReadable = false;
    InterfaceRecord record;
    SetShowSocketErrors(false);
    EXPECT_FALSE(Route(Ipv4(192, 168, 1, 77), record));
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "GetLocalRoute error"));

    ReportSocketError("Marker", false);
    std::vector<RouteEntry> routes(1);
    EXPECT_EQ(GetRoutingTable(source, routes, nullptr), 0);
    EXPECT_TRUE(routes.empty());
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "GetRoutingTable error"));
}

TEST_F(RouteWalkTest, UnreadableRoutesGiveNoRoutes) {
    source.routesReadable = false;
    std::vector<RouteEntry> routes;
    std::vector<InterfaceRecord> records;
    EXPECT_EQ(GetRoutingTable(source, routes, &records), 0);
    EXPECT_EQ(records.size(), 3u);
    EXPECT_TRUE(NothingReported());
    SetShowSocketErrors(false);
    InterfaceRecord record;
    EXPECT_FALSE(Route(Ipv4(192, 168, 1, 77), record));
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "GetLocalRoute error"));
}

TEST_F(RouteWalkTest, DirectRouteListsEveryRecordOfItsAddress) {
    InterfaceRecord alias = source.records[0];
    alias.name = "LAN alias";
    source.records.push_back(alias);
    std::vector<RouteEntry> routes;
    GetRoutingTable(source, routes, nullptr);
    ASSERT_GE(routes.size(), 2u);
    EXPECT_EQ(routes[0].interfaceName, "LAN");
    EXPECT_EQ(routes[1].interfaceName, "LAN alias");
    EXPECT_EQ(routes[1].destination, Ipv4(192, 168, 1, 0));
}

TEST_F(RouteWalkTest, IndirectRoutesNeedAnAddressRow) {
    source.addresses.clear();
    std::vector<RouteEntry> routes;
    EXPECT_EQ(GetRoutingTable(source, routes, nullptr), 0);
}

TEST_F(RouteWalkTest, LocalHostExAppendsAndNamesTheHost) {
    std::vector<InterfaceRecord> records(2);
    std::string host;
    EXPECT_EQ(GetLocalHostEx(source, records, &host), 5);
    EXPECT_EQ(records[2].name, "LAN");
    EXPECT_FALSE(host.empty());
    source.interfacesReadable = false;
    EXPECT_EQ(GetLocalHostEx(source, records, &host), 0);
    EXPECT_TRUE(NothingReported());
}

TEST(HardwareAddress, UpperCasePairsJoinedByDashes) {
    const unsigned char six[] = {0x00, 0x1a, 0x2b, 0xff, 0x04, 0x5c};
    EXPECT_EQ(FormatHardwareAddress(six, 6), "00-1A-2B-FF-04-5C");
    EXPECT_EQ(FormatHardwareAddress(six, 1), "00");
    EXPECT_EQ(FormatHardwareAddress(six, 0), "");
}

TEST(RegistryCards, PairsAddressesWithMasksAndRenamesKnownRecords) {
    NetworkCard card;
    card.addresses = {"192.168.5.5", "10.0.0.1", "172.16.0.1"};
    card.masks = {"255.255.255.0", "255.0.0.0"};  // the third address has no mask
    card.name = "Office";
    card.gateway = "192.168.5.1";
    card.enabled = true;
    std::vector<std::pair<uint32_t, std::string>> hardware = {
        {Ipv4(10, 0, 0, 1), "AA-BB-CC-DD-EE-FF"}};

    std::vector<InterfaceRecord> records;
    records.push_back(Record("Intel adapter", Ipv4(192, 168, 5, 5), kMask24, 0));
    AddCardRecords(records, card, hardware);

    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].name, "Office");
    EXPECT_EQ(records[0].previousName, "Intel adapter");
    EXPECT_EQ(records[1].address.Address(), Ipv4(10, 0, 0, 1));
    EXPECT_EQ(records[1].mask, kMask8);
    EXPECT_EQ(records[1].gateway, Ipv4(192, 168, 5, 1));
    EXPECT_EQ(records[1].name, "Office");
    EXPECT_EQ(records[1].hardwareAddress, "AA-BB-CC-DD-EE-FF");
    EXPECT_TRUE(records[1].enabled);
    EXPECT_FALSE(records[1].connected);

    // The same address with another mask is another record.
    NetworkCard other;
    other.addresses = {"10.0.0.1"};
    other.masks = {"255.255.0.0"};
    other.name = "Lab";
    AddCardRecords(records, other, hardware);
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

TEST(LiveRoute, DefaultGatewayNetworkResolvesToTheKernelsInterface) {
    const uint32_t outside = Ipv4(198, 51, 100, 7);
    uint32_t kernelOutside = 0;
    if (!KernelSource(outside, kernelOutside)) GTEST_SKIP() << "this machine has no default route";
    BsdSocket loud(true);

    InterfaceRecord viaDefault;
    ASSERT_TRUE(BsdSocket::GetLocalRoute(SocketAddress(outside, 0), viaDefault));
    EXPECT_EQ(viaDefault.address.Address(), kernelOutside);
    EXPECT_FALSE(viaDefault.name.empty());
    ASSERT_NE(viaDefault.gateway, 0u);

    uint32_t kernelGateway = 0;
    ASSERT_TRUE(KernelSource(viaDefault.gateway, kernelGateway));
    InterfaceRecord gatewayNetwork;
    ASSERT_TRUE(BsdSocket::GetLocalRoute(SocketAddress(viaDefault.gateway, 0), gatewayNetwork));
    EXPECT_EQ(gatewayNetwork.address.Address(), kernelGateway);
    EXPECT_NE(gatewayNetwork.mask, 0u);
    EXPECT_EQ(gatewayNetwork.name, viaDefault.name);
}

}  // namespace
}  // namespace voxtrel
