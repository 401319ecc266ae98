// The time-out argument of the socket's data operations and the wait it stands for.
#pragma once

#include <cstdint>

namespace voxtrel {

// A time-out of the data operations turned into a wait: kNoTimeLimit waits without limit,
// values up to kMaxTimeoutSeconds are whole seconds, larger ones are microseconds.
constexpr uint32_t kNoTimeLimit = 0xFFFFFFFFu;
constexpr uint32_t kMaxTimeoutSeconds = 3600;

struct WaitTime {
    bool unlimited = false;
    uint32_t seconds = 0;
    uint32_t microseconds = 0;
};

constexpr WaitTime TimeoutToWait(uint32_t timeout) {
    if (timeout == kNoTimeLimit)
        return WaitTime{true, 0, 0};
    if (timeout <= kMaxTimeoutSeconds)
        return WaitTime{false, timeout, 0};
    return WaitTime{false, 0, timeout};
}

}  // namespace voxtrel
