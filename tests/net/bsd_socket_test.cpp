// BsdSocket over loopback: TCP in blocking and non-blocking use, the UDP wake-up socket,
// time-outs, the result codes of closed, reset and full connections, and the socket's life.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/bsd_socket.h"
#include "net/socket_address.h"
#include "net/socket_state.h"
#include "socket_test_support.h"

namespace voxtrel {
namespace {

using testing::AcceptSoon;
using testing::Loopback;
using testing::ReceiveAll;
using testing::ReceiveSoon;
using testing::StartsWith;

constexpr uint32_t kFiveSeconds = 5;
constexpr uint32_t kNonBlocking = 0;

class BsdSocketTest : public testing::SocketLayerTest {
  protected:
    // A listening server on 127.0.0.1 and a blocking client connected to it, accepted.
    void Connect(BsdSocket& server, BsdSocket& client, BsdSocket& connection) {
        ASSERT_TRUE(server.CreateTCP(true, Loopback()));
        ASSERT_TRUE(client.CreateTCP(false, Loopback(server.GetSelfPort())));
        ASSERT_TRUE(server.ChangeMode(kNonBlocking));
        ASSERT_EQ(AcceptSoon(server, connection), 1);
    }
};

TEST_F(BsdSocketTest, BlockingTcpCarriesDataAndReportsOrderlyClose) {
    BsdSocket server, client, connection;
    ASSERT_TRUE(server.CreateTCP(true, Loopback()));
    EXPECT_EQ(server.GetType(), kSocketStream);
    EXPECT_EQ(server.GetProtocol(), kProtocolTcp);
    uint16_t port = server.GetSelfPort();
    ASSERT_NE(port, 0);

    ASSERT_TRUE(client.CreateTCP(false, Loopback(port)));
    EXPECT_EQ(client.PeerAddr().Port(), port);
    EXPECT_EQ(client.SelfAddr().Address(), Ipv4(127, 0, 0, 1));
    EXPECT_NE(client.GetSelfPort(), 0);

    ASSERT_EQ(server.Accept(connection), 1);
    EXPECT_EQ(connection.GetType(), kSocketStream);
    EXPECT_EQ(connection.GetProtocol(), kProtocolTcp);
    EXPECT_EQ(connection.PeerAddr().Port(), client.GetSelfPort());
    EXPECT_EQ(connection.GetSelfPort(), port);

    std::vector<char> sent(16000);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>(i * 7 + 3);
    int length = static_cast<int>(sent.size());
    EXPECT_EQ(client.SendAll(sent.data(), length, kFiveSeconds), length);
    std::vector<char> received(sent.size());
    EXPECT_EQ(ReceiveAll(connection, received.data(), length), length);
    EXPECT_EQ(received, sent);

    ASSERT_TRUE(client.Close());
    char byte;
    EXPECT_EQ(connection.Receive(&byte, 1, kFiveSeconds, 0), kSocketClosed);
    EXPECT_TRUE(NothingReported());
}

TEST_F(BsdSocketTest, NonBlockingConnectSucceedsWhileUnderWay) {
    BsdSocket server, client, connection;
    ASSERT_TRUE(server.CreateTCP(true, Loopback()));
    ASSERT_TRUE(server.ChangeMode(kNonBlocking));
    ASSERT_TRUE(client.CreateSocketEx(kAddressFamilyInet, kSocketStream, kProtocolTcp));
    ASSERT_TRUE(client.ChangeMode(kNonBlocking));
    EXPECT_TRUE(client.ConnectEx(Loopback(server.GetSelfPort())));
    EXPECT_EQ(client.Mode(), kNonBlocking);
    ASSERT_EQ(AcceptSoon(server, connection), 1);

    // A blocking send waits until the connection can take data.
    ASSERT_TRUE(client.ChangeMode(kBlockingMode));
    EXPECT_EQ(client.Send("ping", 4, kFiveSeconds, 0), 4);
    char text[4];
    EXPECT_EQ(ReceiveAll(connection, text, 4), 4);
    EXPECT_EQ(std::string(text, 4), "ping");
    EXPECT_EQ(client.GetSelfPort(), connection.PeerAddr().Port());

    // Nothing pending: a non-blocking receive gives 0 and reports nothing.
    ASSERT_TRUE(client.ChangeMode(kNonBlocking));
    EXPECT_EQ(client.Receive(text, sizeof text, kFiveSeconds, 0), 0);
    EXPECT_TRUE(NothingReported());
}

TEST_F(BsdSocketTest, AcceptResults) {
    BsdSocket none, server, waiting, client, occupied;
    SetShowSocketErrors(false);
    EXPECT_EQ(none.Accept(waiting), kSocketFailed);
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Server not created error"));

    ASSERT_TRUE(server.CreateTCP(true, Loopback()));
    ASSERT_TRUE(server.ChangeMode(kNonBlocking));
    ReportSocketError("Marker", false);
    std::string marker = LastSocketErrorMessage();
    EXPECT_EQ(server.Accept(waiting), kSocketClosed);  // nothing pending, nothing reported
    EXPECT_EQ(waiting.Handle(), kInvalidSocket);
    EXPECT_EQ(LastSocketErrorMessage(), marker);

    ASSERT_TRUE(occupied.CreateUDP());
    ASSERT_TRUE(client.CreateTCP(false, Loopback(server.GetSelfPort())));
    EXPECT_EQ(server.Accept(occupied), kSocketFailed);
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Not empty socket for Accept error"));
    EXPECT_EQ(occupied.GetType(), kSocketDatagram);
}

TEST_F(BsdSocketTest, NonBlockingSendOnAFullConnectionGivesZeroWithoutReport) {
    BsdSocket server, client, connection;
    ASSERT_NO_FATAL_FAILURE(Connect(server, client, connection));
    ASSERT_TRUE(testing::SetSmallBuffers(client));
    ASSERT_TRUE(testing::SetSmallBuffers(connection));
    int size = 0;
    EXPECT_TRUE(
        client.GetOption(testing::kSocketLevel, testing::kReceiveBufferOption, &size, sizeof size));
    EXPECT_GT(size, 0);
    ASSERT_TRUE(client.ChangeMode(kNonBlocking));

    std::vector<char> chunk(4096, 'z');
    ::testing::internal::CaptureStderr();
    int result = 1;
    long long total = 0;
    for (int i = 0; i < 100000 && result > 0; ++i) {
        result = client.Send(chunk.data(), static_cast<int>(chunk.size()), kFiveSeconds, 0);
        total += result > 0 ? result : 0;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(result, 0);
    EXPECT_GT(total, 0);
    EXPECT_TRUE(NothingReported());
}

TEST_F(BsdSocketTest, ResetConnection) {
    BsdSocket server, client, connection;
    ASSERT_NO_FATAL_FAILURE(Connect(server, client, connection));
    ASSERT_TRUE(testing::SetAbortiveClose(connection));
    ASSERT_TRUE(connection.Close());

    // Non-blocking: -1 and no report.
    ASSERT_TRUE(client.ChangeMode(kNonBlocking));
    ::testing::internal::CaptureStderr();
    char byte;
    EXPECT_EQ(ReceiveSoon(client, &byte, 1), kSocketClosed);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(NothingReported());

    // Blocking: a reset is a reported failure that names the platform error.
    BsdSocket client2, connection2;
    ASSERT_TRUE(client2.CreateTCP(false, Loopback(server.GetSelfPort())));
    ASSERT_EQ(AcceptSoon(server, connection2), 1);
    ASSERT_TRUE(testing::SetAbortiveClose(connection2));
    ASSERT_TRUE(connection2.Close());
    SetShowSocketErrors(false);
    int result = client2.Receive(&byte, 1, kFiveSeconds, 0);
    EXPECT_EQ(result, kSocketFailed);
    EXPECT_NE(LastSocketErrorCode(), 0);
    EXPECT_EQ(LastSocketErrorMessage(), "Receive error #" + std::to_string(LastSocketErrorCode()));
}

TEST_F(BsdSocketTest, UdpWakeUpSocketReachesItself) {
    // As a session makes it: bound to 127.0.0.1 port 0, non-blocking, connected to itself.
    BsdSocket wake(true);
    SocketAddress local = Loopback();
    ASSERT_TRUE(wake.CreateUDP(&local));
    EXPECT_EQ(wake.GetType(), kSocketDatagram);
    EXPECT_EQ(wake.GetProtocol(), kProtocolUdp);
    ASSERT_NE(wake.GetSelfPort(), 0);
    ASSERT_TRUE(wake.ChangeMode(kNonBlocking));
    ASSERT_TRUE(wake.ConnectEx(wake.SelfAddr()));

    char byte = 1;
    EXPECT_EQ(wake.Send(&byte, 1, 0, 0), 1);
    byte = 0;
    EXPECT_EQ(ReceiveSoon(wake, &byte, 1), 1);
    EXPECT_EQ(byte, 1);
    EXPECT_EQ(wake.Receive(&byte, 1, 0, 0), 0);  // drained
    EXPECT_TRUE(NothingReported());
}

TEST_F(BsdSocketTest, DatagramsGoToTheGivenOrStoredPeer) {
    SocketAddress any = Loopback();
    BsdSocket first, second;
    ASSERT_TRUE(first.CreateUDP(&any));
    ASSERT_TRUE(second.CreateUDP(&any));

    EXPECT_EQ(first.SendDatagram("abc", 3, &second.SelfAddr(), kFiveSeconds, 0), 3);
    char text[8];
    SocketAddress source;
    EXPECT_EQ(second.ReceiveDatagram(text, sizeof text, &source, kFiveSeconds, 0), 3);
    EXPECT_EQ(std::string(text, 3), "abc");
    EXPECT_EQ(source.Port(), first.GetSelfPort());
    EXPECT_EQ(source.Address(), Ipv4(127, 0, 0, 1));

    second.SetPeerAddr(source.In());
    EXPECT_EQ(second.SendDatagram("xy", 2, nullptr, kFiveSeconds, 0), 2);
    EXPECT_EQ(first.ReceiveDatagram(text, sizeof text, nullptr, kFiveSeconds, 0), 2);
    EXPECT_EQ(std::string(text, 2), "xy");
    EXPECT_TRUE(NothingReported());
}

TEST_F(BsdSocketTest, BlockingWaitsTimeOutAndNonBlockingOnesDoNot) {
    SocketAddress local = Loopback();
    BsdSocket idle;
    ASSERT_TRUE(idle.CreateUDP(&local));
    char byte;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(idle.Receive(&byte, 1, 3601, 0), kSocketTimedOut);  // 3601 microseconds
    std::string shown = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Receive timeout error"));
    std::string expected = LastSocketErrorMessage();
    expected.insert(0, 1, '\n').push_back('\n');
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(idle.ReceiveDatagram(&byte, 1, nullptr, 0, 0), kSocketTimedOut);  // a poll

    ASSERT_TRUE(idle.ChangeMode(kNonBlocking));
    EXPECT_EQ(idle.Receive(&byte, 1, kNoTimeLimit, 0), 0);
}

TEST_F(BsdSocketTest, EmptySocketsAndTheirLife) {
    BsdSocket socket(false);
    EXPECT_EQ(socket.Handle(), kInvalidSocket);
    EXPECT_EQ(socket.GetType(), -1);
    EXPECT_EQ(socket.GetProtocol(), -1);
    EXPECT_EQ(socket.Mode(), kBlockingMode);
    EXPECT_TRUE(socket.Close());

    EXPECT_FALSE(socket.ChangeMode(kNonBlocking));
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Change mode for empty socket error"));
    char byte = 0;
    EXPECT_EQ(socket.Send(&byte, 1, 0, 0), 0);
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Empty socket error"));
    EXPECT_EQ(socket.Receive(&byte, 1, 0, 0), 0);
    int value = 0;
    EXPECT_FALSE(socket.GetOption(testing::kSocketLevel, testing::kReceiveBufferOption, &value,
                                  sizeof value));
    SocketAddress peer;
    EXPECT_FALSE(socket.GetPeerAddr(peer));

    ASSERT_TRUE(socket.CreateUDP());
    EXPECT_FALSE(socket.CreateUDP());
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "Socket already created error"));
    EXPECT_FALSE(socket.CreateTCP(true, Loopback()));
    EXPECT_FALSE(socket.CreateSocketEx(kAddressFamilyInet, kSocketStream, kProtocolTcp));

    ASSERT_TRUE(socket.ChangeMode(kNonBlocking));
    EXPECT_TRUE(socket.ChangeMode(kNonBlocking));
    EXPECT_TRUE(socket.Close());
    EXPECT_EQ(socket.Handle(), kInvalidSocket);
    EXPECT_EQ(socket.Mode(), kBlockingMode);
    EXPECT_TRUE(socket.CreateUDP());  // empty again, so it may be created again
}

TEST_F(BsdSocketTest, FailedCallsReportThePlatformError) {
    SetShowSocketErrors(false);
    BsdSocket server, second, gone, client;
    ASSERT_TRUE(server.CreateTCP(true, Loopback()));
    EXPECT_FALSE(second.CreateTCP(true, Loopback(server.GetSelfPort())));
    EXPECT_NE(LastSocketErrorCode(), 0);
    EXPECT_EQ(LastSocketErrorMessage(), "Bind error #" + std::to_string(LastSocketErrorCode()));
    EXPECT_EQ(second.Handle(), kInvalidSocket);

    // A port with no listener refuses the connection.
    ASSERT_TRUE(gone.CreateTCP(true, Loopback()));
    uint16_t closedPort = gone.GetSelfPort();
    ASSERT_TRUE(gone.Close());
    EXPECT_FALSE(client.CreateTCP(false, Loopback(closedPort)));
    EXPECT_EQ(LastSocketErrorMessage(), "Connect error #" + std::to_string(LastSocketErrorCode()));
    EXPECT_EQ(client.Handle(), kInvalidSocket);

    BsdSocket blocking;
    ASSERT_TRUE(blocking.CreateSocketEx(kAddressFamilyInet, kSocketStream, kProtocolTcp));
    EXPECT_FALSE(blocking.ConnectEx(Loopback(closedPort)));
    EXPECT_EQ(LastSocketErrorMessage(),
              "ConnectEx error #" + std::to_string(LastSocketErrorCode()));
    EXPECT_EQ(blocking.Handle(), kInvalidSocket);
}

TEST_F(BsdSocketTest, ClientBindsAFixedLocalPort) {
    BsdSocket server, client, probe;
    ASSERT_TRUE(server.CreateTCP(true, Loopback()));
    // A free port: one the system gave out and took back.
    ASSERT_TRUE(probe.CreateTCP(true, Loopback()));
    uint16_t port = probe.GetSelfPort();
    ASSERT_TRUE(probe.Close());

    ASSERT_TRUE(client.CreateTCP(false, Loopback(server.GetSelfPort()), HostToNetwork16(port),
                                 Ipv4(127, 0, 0, 1)));
    EXPECT_EQ(client.GetSelfPort(), port);
    SockAddrIn self;
    ASSERT_TRUE(client.GetSelfAddr(self));
    EXPECT_EQ(self.address, Ipv4(127, 0, 0, 1));
    EXPECT_EQ(NetworkToHost16(self.port), port);
    EXPECT_TRUE(NothingReported());
}

TEST_F(BsdSocketTest, HostNamesAndAddresses) {
    SocketAddress address;
    ASSERT_TRUE(BsdSocket::GetHostByName("127.0.0.1", address));
    EXPECT_EQ(address.Address(), Ipv4(127, 0, 0, 1));
    EXPECT_EQ(address.Port(), 0);
    EXPECT_EQ(address.In().family, kAddressFamilyInet);

    std::string name;
    EXPECT_TRUE(BsdSocket::GetHostByAddr(address, name));
    EXPECT_FALSE(name.empty());

    std::vector<SocketAddress> locals(1);  // the list is appended to
    std::string host;
    int count = BsdSocket::GetLocalHost(locals, &host);
    EXPECT_GE(count, 2);
    EXPECT_EQ(count, static_cast<int>(locals.size()));
    EXPECT_FALSE(host.empty());
    std::string selfName;
    BsdSocket socket;
    socket.SelfAddr(&selfName);
    EXPECT_EQ(selfName, host);
    EXPECT_TRUE(NothingReported());

    SetShowSocketErrors(false);
    address = SocketAddress(Ipv4(1, 2, 3, 4), 5);
    EXPECT_FALSE(BsdSocket::GetHostByName("no-such-host.invalid", address));
    EXPECT_TRUE(StartsWith(LastSocketErrorMessage(), "GetHostByName error"));
    EXPECT_EQ(address.Address(), 0u);
    EXPECT_EQ(address.Port(), 0);
}

TEST_F(BsdSocketTest, PeerNamesOfAConnection) {
    BsdSocket server, client, connection;
    ASSERT_NO_FATAL_FAILURE(Connect(server, client, connection));
    std::string name;
    const SocketAddress& peer = connection.PeerAddr(&name);
    EXPECT_EQ(peer.Address(), Ipv4(127, 0, 0, 1));
    EXPECT_FALSE(name.empty());

    SocketAddress fetched;
    std::string fetchedName = "stale";
    ASSERT_TRUE(client.GetPeerAddr(fetched, &fetchedName));
    EXPECT_EQ(fetched.Port(), server.GetSelfPort());
    EXPECT_EQ(fetchedName, name);
    EXPECT_TRUE(NothingReported());
}

}  // namespace
}  // namespace voxtrel
