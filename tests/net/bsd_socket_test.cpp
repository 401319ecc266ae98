// BsdSocket over loopback: TCP in blocking and non-blocking use, datagrams, time-outs, the
// results of closed, reset and full connections, failures and their reports, the socket's life.
#include <numeric>
#include <tuple>
#include <vector>

#include "socket_test_support.h"

namespace voxtrel {
namespace {

using namespace voxtrel::testing;
using S = SocketStatus;
using T = SocketTransfer;

class BsdSocketTest : public SocketLayerTest {
  protected:
    // Listens on 127.0.0.1 without blocking (once) and accepts client's blocking connection.
    void Connect(BsdSocket& client, BsdSocket& connection) {
        ASSERT_TRUE(server_.Handle() != kInvalidSocket ||
                    (server_.CreateTCP(true, Loopback()) && server_.SetBlocking(false)));
        ASSERT_TRUE(client.CreateTCP(false, Loopback(server_.GetSelfPort())));
        ASSERT_EQ(Soon([&] { return server_.Accept(connection); }), S::kDone);
    }
    BsdSocket server_;
    char text_[8] = {};
};

TEST_F(BsdSocketTest, BlockingTcpCarriesDataAndReportsOrderlyClose) {
    BsdSocket client, connection;
    ASSERT_NO_FATAL_FAILURE(Connect(client, connection));
    EXPECT_EQ(client.SelfAddr().Address(), Ipv4(127, 0, 0, 1));
    std::string name, fetchedName;
    SocketAddress fetched;
    EXPECT_EQ(connection.PeerAddr(&name).Port(), client.GetSelfPort());
    EXPECT_EQ(connection.GetSelfPort(), server_.GetSelfPort());
    ASSERT_TRUE(client.GetPeerAddr(fetched, &fetchedName));
    EXPECT_TRUE(fetched.Port() == server_.GetSelfPort() && fetchedName == name);
    std::vector<char> sent(16000), received(16000);
    std::iota(sent.begin(), sent.end(), char{3});
    EXPECT_EQ(client.SendAll(sent.data(), 16000, 5), 16000);
    for (int total = 0, got = 1; total < 16000 && got > 0; total += got)
        got = connection.Receive(received.data() + total, 16000 - total, 5, 0).count;
    EXPECT_EQ(received, sent);
    ASSERT_TRUE(client.Close());
    EXPECT_EQ(connection.Receive(text_, 1, 5, 0), (T{S::kClosed, 0}));
    EXPECT_TRUE(NothingReported());
}

TEST_F(BsdSocketTest, NonBlockingConnectAcceptAndTransfers) {
    BsdSocket client, connection, occupied;
    ASSERT_TRUE(server_.CreateTCP(true, Loopback()) && server_.SetBlocking(false));
    EXPECT_EQ(server_.Accept(connection), S::kWouldBlock);
    ASSERT_TRUE(client.CreateSocketEx(kAddressFamilyInet, kSocketStream, kProtocolTcp));
    ASSERT_TRUE(client.SetBlocking(false) && !client.Blocking());
    EXPECT_TRUE(client.ConnectEx(Loopback(server_.GetSelfPort())));  // under way
    ASSERT_EQ(Soon([&] { return server_.Accept(connection); }), S::kDone);
    ASSERT_TRUE(client.SetBlocking(true));  // a blocking send waits for the connection
    EXPECT_EQ(client.Send("ping", 4, 5, 0), (T{S::kDone, 4}));
    EXPECT_EQ(connection.Receive(text_, 4, 5, 0), (T{S::kDone, 4}));
    EXPECT_STREQ(text_, "ping");
    // Without blocking, nothing to read and no room to write are no failures.
    ASSERT_TRUE(client.SetBlocking(false));
    EXPECT_EQ(client.Receive(text_, 4, 5, 0), (T{S::kWouldBlock, 0}));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Fill(client), (T{S::kWouldBlock, 0}));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(NothingReported());
    ASSERT_TRUE(occupied.CreateUDP());
    EXPECT_EQ(server_.Accept(occupied), S::kFailed);
    EXPECT_TRUE(StartsWith(server_.ErrorMessage(), "Not empty socket for Accept error"));
    EXPECT_EQ(BsdSocket().Accept(connection), S::kNoSocket);
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Server not created error"));
}

TEST_F(BsdSocketTest, ResetIsClosedWhenNonBlockingAndAReportedFailureWhenBlocking) {
    BsdSocket client, connection, client2, connection2;
    ASSERT_NO_FATAL_FAILURE(Connect(client, connection));
    ASSERT_NO_FATAL_FAILURE(Connect(client2, connection2));
    ASSERT_TRUE(SetAbortiveClose(connection) && connection.Close() && client.SetBlocking(false));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Soon([&] { return client.Receive(text_, 1, 0, 0); }), (T{S::kClosed, 0}));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(NothingReported());
    ASSERT_TRUE(SetAbortiveClose(connection2) && connection2.Close());
    SetShowSocketErrors(false);
    EXPECT_EQ(client2.Receive(text_, 1, 5, 0), (T{S::kFailed, 0}));
    EXPECT_NE(client2.ErrorCode(), 0);
    EXPECT_EQ(LastSocketErrorMessage(), "Receive error #" + std::to_string(client2.ErrorCode()));
    EXPECT_EQ(client2.ErrorMessage(), LastSocketErrorMessage());
    EXPECT_EQ(client.ErrorMessage(), "No errors.");  // each socket keeps its own
}

TEST_F(BsdSocketTest, DatagramsAndTimeOuts) {
    SocketAddress any = Loopback(), source;
    BsdSocket first, second;
    ASSERT_TRUE(first.CreateUDP(&any) && second.CreateUDP(&any));
    EXPECT_EQ(first.SendDatagram("abc", 3, &second.SelfAddr(), 5, 0), (T{S::kDone, 3}));
    EXPECT_EQ(second.ReceiveDatagram(text_, 8, &source, 5, 0), (T{S::kDone, 3}));
    EXPECT_STREQ(text_, "abc");
    EXPECT_TRUE(source.Port() == first.GetSelfPort() && source.Address() == Ipv4(127, 0, 0, 1));
    second.SetPeerAddr(source.In());
    EXPECT_EQ(second.SendDatagram("xy", 3, nullptr, 5, 0), (T{S::kDone, 3}));
    EXPECT_EQ(first.ReceiveDatagram(text_, 8, nullptr, 5, 0), (T{S::kDone, 3}));
    EXPECT_STREQ(text_, "xy");
    EXPECT_TRUE(NothingReported());
    // Blocking waits time out (3601 is in microseconds, 0 a poll); non-blocking ones do not wait.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(first.Receive(text_, 1, 3601, 0), (T{S::kTimedOut, 0}));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\n" + LastSocketErrorMessage() + "\n");
    EXPECT_TRUE(StartsWith(first.ErrorMessage(), "Receive timeout error"));
    EXPECT_EQ(first.ReceiveDatagram(text_, 1, nullptr, 0, 0).status, S::kTimedOut);
    ASSERT_TRUE(first.SetBlocking(false));
    EXPECT_EQ(first.Receive(text_, 1, kNoTimeLimit, 0).status, S::kWouldBlock);
    // The session's wake-up socket: non-blocking and connected to itself.
    ASSERT_TRUE(second.SetBlocking(false) && second.ConnectEx(second.SelfAddr()));
    EXPECT_EQ(second.Send("w", 1, 0, 0), (T{S::kDone, 1}));
    EXPECT_EQ(Soon([&] { return second.Receive(text_, 1, 0, 0); }), (T{S::kDone, 1}));
    EXPECT_EQ(text_[0], 'w');
    EXPECT_EQ(second.Receive(text_, 1, 0, 0).status, S::kWouldBlock);  // drained
}

TEST_F(BsdSocketTest, EmptySocketsAndTheirLife) {
    BsdSocket socket(false);
    SocketAddress peer;
    EXPECT_FALSE(!socket.Close() || socket.SetBlocking(false));
    EXPECT_TRUE(StartsWith(socket.ErrorMessage(), "Change mode for empty socket error"));
    EXPECT_EQ(socket.Send(text_, 1, 0, 0), (T{S::kNoSocket, 0}));
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Empty socket error"));
    EXPECT_FALSE(socket.GetOption(0, 0, text_, 4) || socket.GetPeerAddr(peer));
    ASSERT_TRUE(socket.CreateUDP());
    EXPECT_FALSE(socket.CreateUDP() || socket.CreateTCP(true, Loopback()));
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Socket already created error"));
    ASSERT_TRUE(socket.SetBlocking(false) && socket.SetBlocking(false) && socket.Close());
    EXPECT_TRUE(socket.Handle() == kInvalidSocket && socket.Blocking());
    EXPECT_TRUE(socket.CreateUDP());  // empty again, so it may be created again
}

TEST_F(BsdSocketTest, FailedCallsReportThePlatformErrorAndLeaveTheSocketEmpty) {
    BsdSocket second, gone, client, blocking, fixed;
    SetShowSocketErrors(false);
    ASSERT_TRUE(server_.CreateTCP(true, Loopback()) && gone.CreateTCP(true, Loopback()));
    uint16_t closedPort = gone.GetSelfPort();  // no listener: refused
    ASSERT_TRUE(gone.Close());
    ASSERT_TRUE(blocking.CreateSocketEx(kAddressFamilyInet, kSocketStream, kProtocolTcp));
    std::tuple<BsdSocket&, bool, std::string> cases[] = {
        {second, second.CreateTCP(true, Loopback(server_.GetSelfPort())), "Bind"},
        {client, client.CreateTCP(false, Loopback(closedPort)), "Connect"},
        {blocking, blocking.ConnectEx(Loopback(closedPort)), "ConnectEx"}};
    for (const auto& [socket, created, module] : cases) {
        EXPECT_FALSE(created || socket.ErrorCode() == 0) << module;
        EXPECT_EQ(socket.ErrorMessage(), module + " error #" + std::to_string(socket.ErrorCode()));
        EXPECT_EQ(socket.Handle(), kInvalidSocket) << module;
    }
    EXPECT_EQ(LastSocketErrorMessage(), blocking.ErrorMessage());
    // The free port serves as a client's fixed local port.
    ASSERT_TRUE(fixed.CreateTCP(false, Loopback(server_.GetSelfPort()), HostToNetwork16(closedPort),
                                Ipv4(127, 0, 0, 1)));
    SockAddrIn self;
    ASSERT_TRUE(fixed.GetSelfAddr(self));
    EXPECT_TRUE(self.address == Ipv4(127, 0, 0, 1) && NetworkToHost16(self.port) == closedPort);
}

TEST_F(BsdSocketTest, HostNamesAndAddresses) {
    SocketAddress address;
    std::string name, host, selfName;
    std::vector<SocketAddress> locals(1);  // the list is appended to: one more at least
    ASSERT_TRUE(BsdSocket::GetHostByName("127.0.0.1", address));
    EXPECT_EQ(address.Address(), Ipv4(127, 0, 0, 1));
    EXPECT_TRUE(BsdSocket::GetHostByAddr(address, name) && !name.empty());
    int count = BsdSocket::GetLocalHost(locals, &host);
    EXPECT_EQ(count, static_cast<int>(locals.size()));
    server_.SelfAddr(&selfName);
    EXPECT_TRUE(selfName == host && NothingReported());
    SetShowSocketErrors(false);
    address = SocketAddress(Ipv4(1, 2, 3, 4), 5);
    EXPECT_FALSE(BsdSocket::GetHostByName("no-such-host.invalid", address));
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "GetHostByName error"));
    EXPECT_TRUE(address.IsEmpty());
}

}  // namespace
}  // namespace voxtrel
