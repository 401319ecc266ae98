// Wakes the session's worker out of its wait on the connection: a handle that polls readable
// once woken, until the worker consumes the wake-up. One implementation per platform.
#pragma once

#include <memory>

#include "net/socket_handle.h"

namespace voxtrel {

class WakeChannel {
  public:
    // Null, with the platform error reported, when the system gives no channel.
    static std::unique_ptr<WakeChannel> Create();
    virtual ~WakeChannel() = default;

    // Any thread. Wakes that come before the worker consumes the last one add nothing, so a
    // burst never fills the channel; none is lost.
    virtual void Wake() = 0;
    // The worker, once the handle polled readable and before it looks at what it was woken
    // for: a Wake from then on wakes it again.
    virtual void Consume() = 0;
    virtual SocketHandle Handle() const = 0;
};

}  // namespace voxtrel
