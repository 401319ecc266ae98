// The socket layer's reporter (texts, de-duplication, the show-errors rule), the time-out
// conversion and the socket address record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/bsd_socket.h"
#include "net/socket_address.h"
#include "net/socket_state.h"
#include "net/socket_timeout.h"
#include "socket_test_support.h"

namespace voxtrel {
namespace {

using testing::SocketLayerTest;

// Read while the program starts, before any test has touched the layer.
const std::string kStartMessage = LastSocketErrorMessage();
const int kStartCode = LastSocketErrorCode();
const bool kStartShowing = ShowSocketErrors();

TEST(SocketReporter, StartsWithoutErrorsAndShowing) {
    EXPECT_EQ(kStartMessage, "No errors.");
    EXPECT_EQ(kStartCode, 0);
    EXPECT_TRUE(kStartShowing);
}

class SocketReporterTest : public SocketLayerTest {};

TEST_F(SocketReporterTest, TextNamesTheModuleAndAnyErrorCode) {
    ReportSocketError("Listen", false);
    EXPECT_EQ(LastSocketErrorMessage(), "Listen error");
    SetLastSocketErrorCode(10060);
    ReportSocketError("Connect", false);
    EXPECT_EQ(LastSocketErrorMessage(), "Connect error #10060");
    EXPECT_EQ(LastSocketErrorCode(), 10060);
    // Without taking the platform error the stored code stays in force.
    ReportSocketError("Send", false);
    EXPECT_EQ(LastSocketErrorMessage(), "Send error #10060");
}

TEST_F(SocketReporterTest, ShowsARepeatedMessageOnceAndAgainAfterAnother) {
    SetLastSocketErrorCode(10054);
    ::testing::internal::CaptureStderr();
    ReportSocketError("Receive", false);
    ReportSocketError("Receive", false);
    ReportSocketError("Send", false);
    ReportSocketError("Receive", false);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\nReceive error #10054\n\nSend error #10054\n\nReceive error #10054\n");
}

TEST_F(SocketReporterTest, TheLastConstructedSocketDecidesShowingForAll) {
    SetLastSocketErrorCode(0);
    BsdSocket loud(true);
    ::testing::internal::CaptureStderr();
    {
        BsdSocket quiet(false);
        ReportSocketError("First", false);
    }
    // Destroying the quiet socket does not turn showing back on.
    loud.ChangeMode(0);
    std::string silent = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(silent, "");
    EXPECT_TRUE(
        testing::StartsWith(LastSocketErrorMessage(), "Change mode for empty socket error"));
    EXPECT_FALSE(ShowSocketErrors());

    BsdSocket again(true);
    SetLastSocketErrorCode(0);
    ::testing::internal::CaptureStderr();
    ReportSocketError("Second", false);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\nSecond error\n");
}

TEST(SocketTimeout, ConvertsSecondsMicrosecondsAndNoLimit) {
    WaitTime poll = TimeoutToWait(0);
    EXPECT_FALSE(poll.unlimited);
    EXPECT_EQ(poll.seconds, 0u);
    EXPECT_EQ(poll.microseconds, 0u);

    WaitTime hour = TimeoutToWait(3600);
    EXPECT_FALSE(hour.unlimited);
    EXPECT_EQ(hour.seconds, 3600u);
    EXPECT_EQ(hour.microseconds, 0u);

    WaitTime shortWait = TimeoutToWait(3601);
    EXPECT_FALSE(shortWait.unlimited);
    EXPECT_EQ(shortWait.seconds, 0u);
    EXPECT_EQ(shortWait.microseconds, 3601u);

    EXPECT_TRUE(TimeoutToWait(0xFFFFFFFFu).unlimited);
    EXPECT_FALSE(TimeoutToWait(0xFFFFFFFEu).unlimited);
}

TEST(SocketAddressRecord, StartsEmptyInetAndKeepsNetworkOrder) {
    SocketAddress address;
    EXPECT_TRUE(address.IsEmpty());
    EXPECT_EQ(address.In().family, kAddressFamilyInet);

    address = SocketAddress(Ipv4(192, 168, 1, 20), 8080);
    EXPECT_FALSE(address.IsEmpty());
    EXPECT_EQ(address.Port(), 8080);
    const unsigned char* bytes = address.Buffer();
    EXPECT_EQ(bytes[2], 0x1F);  // 8080 = 0x1F90, high byte first
    EXPECT_EQ(bytes[3], 0x90);
    EXPECT_EQ(bytes[4], 192);
    EXPECT_EQ(bytes[7], 20);
    EXPECT_FALSE(SocketAddress(0, 1).IsEmpty());
    EXPECT_FALSE(SocketAddress(Ipv4(10, 0, 0, 1), 0).IsEmpty());

    address.Reset();
    EXPECT_TRUE(address.IsEmpty());
    EXPECT_EQ(address.In().family, kAddressFamilyInet);
}

TEST(SocketAddressRecord, CopiesAllFortyBytesButAssignsSixteen) {
    SocketAddress original(Ipv4(10, 1, 2, 3), 53);
    original.Buffer()[39] = 0x5A;
    SocketAddress copy = original;
    EXPECT_EQ(copy.Buffer()[39], 0x5A);
    EXPECT_EQ(copy.Address(), Ipv4(10, 1, 2, 3));

    SocketAddress assigned;
    assigned.Assign(original.In());
    EXPECT_EQ(assigned.Buffer()[39], 0);
    EXPECT_EQ(assigned.Port(), 53);
    EXPECT_EQ(std::memcmp(assigned.Buffer(), original.Buffer(), 16), 0);
}

}  // namespace
}  // namespace voxtrel
