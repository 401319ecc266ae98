// BsdSocket over loopback (TCP in blocking and non-blocking use, datagrams, time-outs, closed and
// reset connections, failures), the layer's reporter and the time-out conversion.
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

TEST_F(BsdSocketTest, BlockingTcpCarriesDataAndEndsClosedOrReset) {
    BsdSocket client, connection, client2, connection2, client3, connection3;
    ASSERT_NO_FATAL_FAILURE(Connect(client, connection));
    std::string name, fetchedName;
    SocketAddress fetched;
    EXPECT_EQ(connection.PeerAddr(&name).Port(), client.GetSelfPort());
    EXPECT_EQ(connection.GetSelfPort(), server_.GetSelfPort());
    ASSERT_TRUE(client.GetPeerAddr(fetched, &fetchedName));
    EXPECT_TRUE(fetched.Port() == server_.GetSelfPort() && fetchedName == name);
    EXPECT_EQ(client.SendAll("0123456789", 10, 5), 10);
    EXPECT_EQ(connection.Receive(text_, 7, 5, 0), (T{S::kDone, 7}));
    EXPECT_EQ(connection.Receive(text_, 7, 5, 0), (T{S::kDone, 3}));
    EXPECT_STREQ(text_, "7893456");
    ASSERT_TRUE(client.Close());
    EXPECT_EQ(connection.Receive(text_, 1, 5, 0), (T{S::kClosed, 0}));
    // Closing with data unread resets the connection: closed without blocking, else a failure.
    ASSERT_NO_FATAL_FAILURE(Connect(client2, connection2));
    ASSERT_NO_FATAL_FAILURE(Connect(client3, connection3));
    ASSERT_EQ(client2.Send("x", 1, 5, 0).count + client3.Send("x", 1, 5, 0).count, 2);
    ASSERT_TRUE(connection2.Close() && connection3.Close() && client2.SetBlocking(false));
    EXPECT_EQ(Soon([&] { return client2.Receive(text_, 1, 0, 0); }), (T{S::kClosed, 0}));
    EXPECT_TRUE(NothingReported());
    SetShowSocketErrors(false);
    EXPECT_EQ(client3.Receive(text_, 1, 5, 0), (T{S::kFailed, 0}));
    EXPECT_EQ(LastSocketErrorMessage(), "Receive error #" + std::to_string(client3.ErrorCode()));
    EXPECT_EQ(client3.ErrorMessage(), LastSocketErrorMessage());
    EXPECT_EQ(client2.ErrorMessage(), "No errors.");  // each socket keeps its own
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
    ASSERT_TRUE(client.SetBlocking(false));  // nothing to read is then no failure
    EXPECT_EQ(client.Receive(text_, 4, 5, 0), (T{S::kWouldBlock, 0}));
    ASSERT_TRUE(occupied.CreateUDP());
    EXPECT_EQ(server_.Accept(occupied), S::kFailed);
    EXPECT_TRUE(StartsWith(server_.ErrorMessage(), "Not empty socket for Accept error"));
    EXPECT_EQ(BsdSocket().Accept(connection), S::kNoSocket);
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Server not created error"));
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
    EXPECT_TRUE(std::string(text_) == "xy" && NothingReported());
    // Blocking waits time out (3601 is in microseconds, 0 a poll); non-blocking ones do not wait.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(first.Receive(text_, 1, 3601, 0), (T{S::kTimedOut, 0}));
    EXPECT_TRUE(StartsWith(::testing::internal::GetCapturedStderr(), "\nReceive timeout error"));
    EXPECT_EQ(first.ReceiveDatagram(text_, 1, nullptr, 0, 0).status, S::kTimedOut);
    ASSERT_TRUE(first.SetBlocking(false));
    EXPECT_EQ(first.Receive(text_, 1, kNoTimeLimit, 0).status, S::kWouldBlock);
}

TEST_F(BsdSocketTest, HostNamesAndFailedCallsThatLeaveTheSocketEmpty) {
    SocketAddress address;
    std::string name, host, selfName;
    std::vector<SocketAddress> locals(1);  // the list is appended to: one more at least
    ASSERT_TRUE(BsdSocket::GetHostByName("127.0.0.1", address));
    EXPECT_EQ(address.Address(), Ipv4(127, 0, 0, 1));
    EXPECT_TRUE(BsdSocket::GetHostByAddr(address, name) && !name.empty());
    int count = BsdSocket::GetLocalHost(locals, &host);
    server_.SelfAddr(&selfName);
    EXPECT_TRUE(count == static_cast<int>(locals.size()) && selfName == host && NothingReported());
    SetShowSocketErrors(false);
    address = SocketAddress(Ipv4(1, 2, 3, 4), 5);
    EXPECT_FALSE(BsdSocket::GetHostByName("no-such-host.invalid", address));
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "GetHostByName error") && address.IsEmpty());
    BsdSocket second, gone, client, blocking, fixed, socket(false);
    EXPECT_FALSE(!socket.Close() || socket.SetBlocking(false));
    EXPECT_TRUE(StartsWith(socket.ErrorMessage(), "Change mode for empty socket error"));
    EXPECT_EQ(socket.Send(text_, 1, 0, 0), (T{S::kNoSocket, 0}));
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Empty socket error"));
    EXPECT_FALSE(socket.GetOption(0, 0, text_, 4) || socket.GetPeerAddr(address));
    ASSERT_TRUE(socket.CreateUDP());
    EXPECT_FALSE(socket.CreateUDP() || socket.CreateTCP(true, Loopback()));
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Socket already created error"));
    ASSERT_TRUE(socket.SetBlocking(false) && socket.SetBlocking(false) && socket.Close());
    EXPECT_TRUE(socket.Handle() == kInvalidSocket && socket.Blocking());
    EXPECT_TRUE(socket.CreateUDP());  // empty again, so it may be created again
    // Failed calls report the platform error and close the socket.
    ASSERT_TRUE(server_.CreateTCP(true, Loopback()) && gone.CreateTCP(true, Loopback()));
    uint16_t closedPort = gone.GetSelfPort();  // no listener: refused
    ASSERT_TRUE(gone.Close());
    ASSERT_TRUE(blocking.CreateSocketEx(kAddressFamilyInet, kSocketStream, kProtocolTcp));
    std::tuple<BsdSocket&, bool, std::string> cases[] = {
        {second, second.CreateTCP(true, Loopback(server_.GetSelfPort())), "Bind"},
        {client, client.CreateTCP(false, Loopback(closedPort)), "Connect"},
        {blocking, blocking.ConnectEx(Loopback(closedPort)), "ConnectEx"}};
    for (const auto& [failed, created, module] : cases) {
        EXPECT_FALSE(created || failed.ErrorCode() == 0) << module;
        EXPECT_EQ(failed.ErrorMessage(), module + " error #" + std::to_string(failed.ErrorCode()));
        EXPECT_EQ(failed.Handle(), kInvalidSocket) << module;
    }
    // The free port serves as a client's fixed local port.
    ASSERT_TRUE(fixed.CreateTCP(false, Loopback(server_.GetSelfPort()), HostToNetwork16(closedPort),
                                Ipv4(127, 0, 0, 1)));
    SockAddrIn self;
    ASSERT_TRUE(fixed.GetSelfAddr(self));
    EXPECT_TRUE(self.address == Ipv4(127, 0, 0, 1) && NetworkToHost16(self.port) == closedPort);
}

TEST_F(BsdSocketTest, TextsARepeatShownOnlyAfterAnotherMessageAndTheShowingRule) {
    ::testing::internal::CaptureStderr();
    ReportSocketError("Listen", false);
    SetLastSocketErrorCode(7);
    ReportSocketError("Receive", false);  // the stored code stays in force
    ReportSocketError("Receive", false);
    EXPECT_EQ(ReportSocketErrorCode("Send", 8), "Send error #8");
    EXPECT_EQ(LastSocketErrorCode(), 8);
    ReportSocketErrorCode("Receive", 7);
    // The last constructed socket decides showing for all; destroying one changes nothing.
    BsdSocket loud(true);
    { BsdSocket quiet(false); }
    loud.SetBlocking(false);
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Change mode for empty socket"));
    BsdSocket again(true);
    ReportSocketErrorCode("Last", 0);
    EXPECT_EQ(
        ::testing::internal::GetCapturedStderr(),
        "\nListen error\n\nReceive error #7\n\nSend error #8\n\nReceive error #7\n\nLast error\n");
}

TEST(SocketTimeout, ConvertsSecondsMicrosecondsAndNoLimit) {
    auto wait = [](uint32_t timeout) {
        WaitTime w = TimeoutToWait(timeout);
        return std::tuple(w.unlimited, w.seconds, w.microseconds);
    };
    EXPECT_EQ(wait(0), std::tuple(false, 0u, 0u));
    EXPECT_EQ(wait(3600), std::tuple(false, 3600u, 0u));
    EXPECT_EQ(wait(3601), std::tuple(false, 0u, 3601u));
    EXPECT_EQ(wait(kNoTimeLimit - 1), std::tuple(false, 0u, kNoTimeLimit - 1));
    EXPECT_EQ(wait(kNoTimeLimit), std::tuple(true, 0u, 0u));
}

}  // namespace
}  // namespace voxtrel
