// The portable helpers of the socket tests: bounded retries around non-blocking operations.
#include "socket_test_support.h"

#include <chrono>
#include <thread>

namespace voxtrel::testing {

namespace {

constexpr int kTries = 500;
constexpr auto kPause = std::chrono::milliseconds(10);
constexpr uint32_t kWaitSeconds = 5;

}  // namespace

bool SetSmallBuffers(BsdSocket& socket) {
    int size = 4096;
    return socket.SetOption(kSocketLevel, kSendBufferOption, &size, sizeof size) &&
           socket.SetOption(kSocketLevel, kReceiveBufferOption, &size, sizeof size);
}

int AcceptSoon(BsdSocket& server, BsdSocket& client) {
    int result = kSocketClosed;
    for (int i = 0; i < kTries && result == kSocketClosed; ++i) {
        result = server.Accept(client);
        if (result == kSocketClosed)
            std::this_thread::sleep_for(kPause);
    }
    return result;
}

int ReceiveAll(BsdSocket& socket, char* buffer, int length) {
    int total = 0;
    while (total < length) {
        int received = socket.Receive(buffer + total, length - total, kWaitSeconds, 0);
        if (received <= 0)
            break;
        total += received;
    }
    return total;
}

int ReceiveSoon(BsdSocket& socket, char* buffer, int length) {
    int result = 0;
    for (int i = 0; i < kTries && result == 0; ++i) {
        result = socket.Receive(buffer, length, 0, 0);
        if (result == 0)
            std::this_thread::sleep_for(kPause);
    }
    return result;
}

}  // namespace voxtrel::testing
