// Helpers of the socket tests: bounded retries around non-blocking calls and the reporter's state
// around a test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <type_traits>

#include "net/bsd_socket.h"

namespace voxtrel::testing {

inline SocketAddress Loopback(uint16_t port = 0) {
    return SocketAddress(Ipv4(127, 0, 0, 1), port);
}
inline bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Starts each test with showing on and a last message that no operation produces, so that the
// de-duplication of an earlier test's report cannot hide one of this test.
class SocketLayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetShowSocketErrors(false);
        ReportSocketErrorCode("Test start", 0);
        SetShowSocketErrors(true);
    }
    static bool NothingReported() { return LastSocketErrorMessage() == "Test start error"; }
};

// Repeats a non-blocking Accept or transfer while it would block, for about five seconds.
template <typename Call>
auto Soon(Call call) {
    auto result = call();
    auto status = [](auto r) {
        if constexpr (std::is_same_v<decltype(r), SocketStatus>) {
            return r;
        } else {
            return r.status;
        }
    };
    for (int i = 0; i < 500 && status(result) == SocketStatus::kWouldBlock; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        result = call();
    }
    return result;
}

}  // namespace voxtrel::testing
