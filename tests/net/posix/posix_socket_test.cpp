// What only POSIX can test: descriptors that sockets leave behind, the platform error in reports
// (set here by hand), and the parsing of the kernel's routing table.
#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "net/posix/kernel_routes.h"
#include "open_descriptors.h"
#include "socket_test_support.h"

namespace voxtrel {
namespace {

using testing::Loopback;

TEST(SocketDescriptors, NoneLeftBehindAndReportsCarryThePlatformError) {
    int before = OpenDescriptors();
    {
        BsdSocket server, client, connection, datagram, empty[6];
        SetShowSocketErrors(false);
        ASSERT_TRUE(server.CreateTCP(true, Loopback()));
        ASSERT_TRUE(client.CreateTCP(false, Loopback(server.GetSelfPort())));
        ASSERT_EQ(server.Accept(connection), SocketStatus::kDone);
        EXPECT_FALSE(datagram.CreateUDP() && datagram.ListenEx(5));  // no listening for UDP
        EXPECT_EQ(OpenDescriptors(), before + 3);
        char byte = 0;
        int read = 0, off = 0;
        bool on = true;
        SocketAddress peer;
        EXPECT_TRUE(client.SetKeepAlive(true) &&
                    client.GetOption(SOL_SOCKET, SO_KEEPALIVE, &read, sizeof read) && read == 1);
        EXPECT_TRUE(client.SetOption(SOL_SOCKET, SO_KEEPALIVE, &off, sizeof off) &&
                    client.KeepAlive(on) && !on);
        // A full connection without blocking is no failure; with blocking, the send times out.
        std::vector<char> chunk(65536, 'z');
        SocketTransfer sent;
        ASSERT_TRUE(client.SetBlocking(false));
        for (int i = 0; i < 100000 && sent.status == SocketStatus::kDone; ++i)
            sent = client.Send(chunk.data(), 65536, 5, 0);
        EXPECT_TRUE(sent.status == SocketStatus::kWouldBlock && client.ErrorCode() != 0 &&
                    client.ErrorMessage() == "No errors.");
        ASSERT_TRUE(client.SetBlocking(true));
        // The error of the calling thread, not the socket's last one, goes into these reports.
        errno = EPIPE;
        EXPECT_EQ(client.Send(&byte, 1, 3601, 0).status, SocketStatus::kTimedOut);
        EXPECT_EQ(client.ErrorMessage(), "Send timeout error #" + std::to_string(EPIPE));
        errno = EBADF;
        EXPECT_EQ(client.Receive(&byte, 1, 3601, 0).status, SocketStatus::kTimedOut);
        EXPECT_EQ(client.ErrorMessage(), "Receive timeout error #" + std::to_string(EBADF));
        errno = EBADF;  // and Accept into a socket in use
        EXPECT_EQ(server.Accept(connection), SocketStatus::kFailed);
        EXPECT_EQ(server.ErrorMessage(), "Not empty socket for Accept error #9");
        EXPECT_FALSE(empty[0].GetPeerAddr(peer) || empty[1].GetOption(0, 0, &byte, 1) ||
                     empty[2].SetOption(0, 0, &byte, 1) || empty[3].SetKeepAlive(true) ||
                     empty[4].KeepAlive(on) || empty[5].Send(&byte, 1, 0, 0).count != 0);
        for (BsdSocket& socket : empty)
            EXPECT_EQ(socket.ErrorMessage(), "Empty socket error #" + std::to_string(EBADF));
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(KernelRoutes, ReadsRowsInNetworkOrder) {
    std::vector<KernelRoute> routes, none;
    ASSERT_TRUE(ParseKernelRoutes(
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n\n",
        routes));
    ASSERT_EQ(routes.size(), 2u);
    EXPECT_TRUE(routes[0].device == "eth0" && routes[0].flags == 3 && routes[0].metric == 100);
    EXPECT_EQ(routes[0].gateway, Ipv4(192, 0, 2, 1));
    EXPECT_EQ(routes[1].destination, Ipv4(192, 0, 2, 0));
    EXPECT_EQ(routes[1].mask, Ipv4(255, 255, 255, 0));
    EXPECT_FALSE(ParseKernelRoutes("not a routing table\n", none) || !none.empty());
}

}  // namespace
}  // namespace voxtrel
