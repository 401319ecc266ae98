// The socket layer's reporter (texts, de-duplication, the show-errors rule) and the time-out
// conversion.
#include "net/socket_timeout.h"
#include "socket_test_support.h"

namespace voxtrel {
namespace {

// Read while the program starts, before any test has touched the layer.
const bool kFreshLayer =
    LastSocketErrorMessage() == "No errors." && LastSocketErrorCode() == 0 && ShowSocketErrors();

class SocketReporterTest : public testing::SocketLayerTest {};

TEST_F(SocketReporterTest, TextsAndARepeatShownOnlyAfterAnotherMessage) {
    EXPECT_TRUE(kFreshLayer);
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
    auto wait = [](uint32_t timeout) {
        WaitTime w = TimeoutToWait(timeout);
        return std::to_string(w.unlimited) + " " + std::to_string(w.seconds) + " " +
               std::to_string(w.microseconds);
    };
    EXPECT_EQ(wait(0), "0 0 0");
    EXPECT_EQ(wait(3600), "0 3600 0");
    EXPECT_EQ(wait(3601), "0 0 3601");
    EXPECT_EQ(wait(kNoTimeLimit - 1), "0 0 4294967294");
    EXPECT_EQ(wait(kNoTimeLimit), "1 0 0");
}

}  // namespace
}  // namespace voxtrel
