// The socket layer's reporter (texts, de-duplication, the show-errors rule), the time-out
// conversion and the empty address.
#include <gtest/gtest.h>

#include <string>

#include "net/bsd_socket.h"
#include "net/socket_timeout.h"
#include "socket_test_support.h"

namespace voxtrel {
namespace {

// Read while the program starts, before any test has touched the layer.
const std::string kStartMessage = LastSocketErrorMessage();
const int kStartCode = LastSocketErrorCode();
const bool kStartShowing = ShowSocketErrors();

class SocketReporterTest : public testing::SocketLayerTest {};

TEST_F(SocketReporterTest, TextsAndARepeatShownOnlyAfterAnotherMessage) {
    EXPECT_EQ(kStartMessage, "No errors.");
    EXPECT_EQ(kStartCode, 0);
    EXPECT_TRUE(kStartShowing);
    ::testing::internal::CaptureStderr();
    ReportSocketError("Listen", false);
    SetLastSocketErrorCode(10054);
    ReportSocketError("Receive", false);  // the stored code stays in force
    ReportSocketError("Receive", false);
    EXPECT_EQ(ReportSocketErrorCode("Send", 10060), "Send error #10060");
    EXPECT_EQ(LastSocketErrorCode(), 10060);
    ReportSocketErrorCode("Receive", 10054);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\nListen error\n\nReceive error #10054\n\nSend error #10060\n\nReceive error "
              "#10054\n");
}

TEST_F(SocketReporterTest, TheLastConstructedSocketDecidesShowingForAll) {
    BsdSocket loud(true);
    ::testing::internal::CaptureStderr();
    { BsdSocket quiet(false); }
    loud.SetBlocking(false);  // destroying the quiet socket does not turn showing back on
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(testing::StartsWith(LastSocketErrorMessage(), "Change mode for empty socket"));
    BsdSocket again(true);
    ::testing::internal::CaptureStderr();
    ReportSocketErrorCode("Second", 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\nSecond error\n");
}

TEST(SocketTimeout, ConvertsSecondsMicrosecondsAndNoLimit) {
    struct {
        uint32_t timeout;
        WaitTime wait;
    } cases[] = {{0, {false, 0, 0}},
                 {3600, {false, 3600, 0}},
                 {3601, {false, 0, 3601}},
                 {0xFFFFFFFEu, {false, 0, 0xFFFFFFFEu}},
                 {0xFFFFFFFFu, {true, 0, 0}}};
    for (const auto& c : cases) {
        WaitTime wait = TimeoutToWait(c.timeout);
        EXPECT_EQ(wait.unlimited, c.wait.unlimited) << c.timeout;
        EXPECT_EQ(wait.seconds, c.wait.seconds) << c.timeout;
        EXPECT_EQ(wait.microseconds, c.wait.microseconds) << c.timeout;
    }
}

TEST(SocketAddressRecord, EmptyOnlyWithoutAddressAndPort) {
    SocketAddress address(Ipv4(192, 168, 1, 20), 8080);
    EXPECT_FALSE(address.IsEmpty());
    EXPECT_FALSE(SocketAddress(0, 1).IsEmpty());
    EXPECT_FALSE(SocketAddress(Ipv4(10, 0, 0, 1), 0).IsEmpty());
    address.Reset();
    EXPECT_TRUE(address.IsEmpty());
    EXPECT_EQ(address.In().family, kAddressFamilyInet);
}

}  // namespace
}  // namespace voxtrel
