// What only POSIX can test: time-out waits on descriptors numbered above FD_SETSIZE, the
// parsing of the kernel's routing table, and the Linux interface list.
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "net/bsd_socket.h"
#include "net/posix/kernel_routes.h"
#include "socket_test_support.h"

namespace voxtrel {
namespace {

using testing::Loopback;

constexpr int kHighDescriptor = FD_SETSIZE + 76;

// Occupies every free descriptor below kHighDescriptor, so that the next socket gets a number
// above FD_SETSIZE; the destructor frees them again.
class LowDescriptors {
  public:
    bool Fill() {
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
            return false;
        if (limit.rlim_cur <= static_cast<rlim_t>(kHighDescriptor) + 8) {
            if (limit.rlim_max != RLIM_INFINITY &&
                limit.rlim_max <= static_cast<rlim_t>(kHighDescriptor) + 8)
                return false;
            limit.rlim_cur = static_cast<rlim_t>(kHighDescriptor) + 64;
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
                return false;
        }
        for (;;) {
            int fd = dup(STDIN_FILENO);
            if (fd < 0)
                return false;
            if (fd >= kHighDescriptor) {
                close(fd);
                return true;
            }
            held_.push_back(fd);
        }
    }
    ~LowDescriptors() {
        for (int fd : held_)
            close(fd);
    }

  private:
    std::vector<int> held_;
};

TEST(HighDescriptor, TimeOutWaitsWorkAboveFdSetSize) {
    LowDescriptors low;
    if (!low.Fill())
        GTEST_SKIP() << "cannot open descriptors above " << FD_SETSIZE;
    SocketAddress local = Loopback();
    BsdSocket socket(false);
    ASSERT_TRUE(socket.CreateUDP(&local));
    ASSERT_GE(socket.Handle(), FD_SETSIZE);

    char byte = 7;
    EXPECT_EQ(socket.Receive(&byte, 1, 3601, 0), kSocketTimedOut);
    EXPECT_EQ(socket.SendDatagram(&byte, 1, &socket.SelfAddr(), 5, 0), 1);
    byte = 0;
    EXPECT_EQ(socket.Receive(&byte, 1, 5, 0), 1);
    EXPECT_EQ(byte, 7);
}

TEST(KernelRoutes, ReadsRowsInNetworkOrder) {
    const std::string text =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "\n";
    std::vector<KernelRoute> routes;
    ASSERT_TRUE(ParseKernelRoutes(text, routes));
    ASSERT_EQ(routes.size(), 2u);
    EXPECT_EQ(routes[0].device, "eth0");
    EXPECT_EQ(routes[0].destination, 0u);
    EXPECT_EQ(routes[0].gateway, Ipv4(192, 0, 2, 1));
    EXPECT_EQ(routes[0].flags, 3u);
    EXPECT_EQ(routes[0].metric, 100u);
    EXPECT_EQ(routes[1].destination, Ipv4(192, 0, 2, 0));
    EXPECT_EQ(routes[1].mask, Ipv4(255, 255, 255, 0));

    std::vector<KernelRoute> none;
    EXPECT_FALSE(ParseKernelRoutes("not a routing table\n", none));
    EXPECT_TRUE(none.empty());
}

TEST(LinuxInterfaces, LoopbackIsListedAndRouted) {
    std::vector<InterfaceRecord> records;
    std::string host;
    ASSERT_GT(BsdSocket::GetLocalHostEx(records, &host), 0);
    EXPECT_FALSE(host.empty());
    const InterfaceRecord* loopback = nullptr;
    const std::regex hardware("([0-9A-F]{2}-)*[0-9A-F]{2}");
    for (const InterfaceRecord& record : records) {
        if (record.address.Address() == Ipv4(127, 0, 0, 1))
            loopback = &record;
        if (!record.hardwareAddress.empty()) {
            EXPECT_TRUE(std::regex_match(record.hardwareAddress, hardware))
                << record.hardwareAddress;
        }
        EXPECT_FALSE(record.name.empty());
    }
    ASSERT_NE(loopback, nullptr);
    EXPECT_EQ(loopback->mask, Ipv4(255, 0, 0, 0));
    EXPECT_EQ(loopback->hardwareAddress, "");
    EXPECT_TRUE(loopback->enabled);

    InterfaceRecord route;
    ASSERT_TRUE(BsdSocket::GetLocalRoute(Loopback(), route));
    EXPECT_EQ(route.address.Address(), Ipv4(127, 0, 0, 1));
    EXPECT_EQ(route.name, loopback->name);
}

}  // namespace
}  // namespace voxtrel
