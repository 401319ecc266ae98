// What the simulator needs from the platform beyond the socket layer: a poller that waits on
// many sockets at once and can be woken, and two socket options. One implementation per platform.
#pragma once

#include <memory>
#include <vector>

#include "net/socket_handle.h"

namespace voxtrel::pbx {

struct PollEntry {
    SocketHandle handle = kInvalidSocket;
    bool wantRead = false;
    bool wantWrite = false;
    // Results of the last Wait.
    bool readable = false;
    bool writable = false;
    // Error or hang-up: the next read or write tells which.
    bool broken = false;
};

class Poller {
  public:
    // Null when the platform gives no wake-up channel.
    static std::unique_ptr<Poller> Create();
    virtual ~Poller() = default;

    // Any thread, also a signal handler: the current or next Wait returns at once.
    virtual void Wake() = 0;
    // Waits up to timeoutMs (negative: until something happens) and fills the results; a
    // wake-up is consumed. The number of entries with a result, or -1 on failure.
    virtual int Wait(std::vector<PollEntry>& entries, int timeoutMs) = 0;
};

// Sends small messages at once instead of collecting them into fewer segments.
bool SetNoDelay(SocketHandle handle);
// Lets a restarted service bind its port again while old connections linger in TIME_WAIT.
bool AllowAddressReuse(SocketHandle handle);

}  // namespace voxtrel::pbx
