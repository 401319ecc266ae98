// Waits on several sockets at once for readability or writability, with an optional limit: the
// worker of a session waits this way on its connection and its wake-up socket together.
#pragma once

#include <cstddef>

#include "net/socket_handle.h"

namespace voxtrel {

struct SocketWaitEntry {
    SocketHandle handle = kInvalidSocket;
    bool wantRead = false;
    bool wantWrite = false;
    // Set by the wait. A socket whose peer hung up or that failed reads as readable, so that
    // the next receive finds out.
    bool readable = false;
    bool writable = false;
};

// Returns when an entry is ready, when timeoutMs passes (a negative limit waits without one), or
// on failure; entries without a socket or without a wish are passed over.
void WaitSockets(SocketWaitEntry* entries, size_t count, int timeoutMs);

}  // namespace voxtrel
