// Helpers of the socket tests: the few socket options that the tests set through BsdSocket, whose
// levels and values differ between platforms, and the reporter's state around a test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "net/bsd_socket.h"
#include "net/socket_address.h"

namespace voxtrel::testing {

// SOL_SOCKET, SO_SNDBUF and SO_RCVBUF of the platform.
extern const int kSocketLevel;
extern const int kSendBufferOption;
extern const int kReceiveBufferOption;

// SO_LINGER on with 0 seconds: Close then resets the connection instead of closing it.
bool SetAbortiveClose(BsdSocket& socket);
// Small send and receive buffers, so that a few kilobytes fill a connection.
bool SetSmallBuffers(BsdSocket& socket);

inline SocketAddress Loopback(uint16_t port = 0) {
    return SocketAddress(Ipv4(127, 0, 0, 1), port);
}

inline bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Starts each test with showing on and a last message that no operation produces, so that the
// de-duplication of an earlier test's report cannot hide one of this test.
class SocketLayerTest : public ::testing::Test {
  protected:
    static constexpr const char* kMarker = "Test start";

    void SetUp() override {
        SetShowSocketErrors(false);
        SetLastSocketErrorCode(0);
        ReportSocketError(kMarker, false);
        SetShowSocketErrors(true);
    }

    static bool NothingReported() { return LastSocketErrorMessage() == "Test start error"; }
};

// Accepts within about five seconds on a non-blocking server: 1, or the last Accept result.
int AcceptSoon(BsdSocket& server, BsdSocket& client);
// Receives until length bytes arrived or a call gives no bytes; the total received.
int ReceiveAll(BsdSocket& socket, char* buffer, int length);
// Repeats a non-blocking Receive while it gives 0 (nothing yet), for about five seconds.
int ReceiveSoon(BsdSocket& socket, char* buffer, int length);

}  // namespace voxtrel::testing
