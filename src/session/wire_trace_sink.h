// The receiver of the session's wire trace: every message sent and received, as it goes.
#pragma once

#include <chrono>
#include <string_view>

#include "protocol/wire_trace.h"

namespace voxtrel {

class WireTraceSink {
  public:
    virtual ~WireTraceSink() = default;
    // Runs on the session's worker thread, never on the host's: it must not call the control or
    // the session, and it must return quickly, since the connection waits for it meanwhile.
    // document is the message without its terminator, an authenticate request's password
    // already masked; it is valid only until the call returns.
    virtual void OnWireMessage(WireDirection direction, std::chrono::system_clock::time_point time,
                               std::string_view document) = 0;
};

}  // namespace voxtrel
