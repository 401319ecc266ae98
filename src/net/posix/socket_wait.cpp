// Several-socket wait with poll, so that descriptors of any number can be watched.
#include <poll.h>

#include <cerrno>

#include "net/socket_wait.h"

namespace voxtrel {

void WaitSockets(SocketWaitEntry* entries, size_t count, int timeoutMs) {
    // A session watches two sockets: the arrays live on the stack, not on the heap, each pass.
    constexpr size_t kMostWatched = 16;
    pollfd watched[kMostWatched];
    size_t owners[kMostWatched];
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        SocketWaitEntry& entry = entries[i];
        entry.readable = entry.writable = false;
        if (entry.handle == kInvalidSocket || (!entry.wantRead && !entry.wantWrite)) continue;
        if (used == kMostWatched) break;
        short events =
            static_cast<short>((entry.wantRead ? POLLIN : 0) | (entry.wantWrite ? POLLOUT : 0));
        watched[used] = pollfd{static_cast<int>(entry.handle), events, 0};
        owners[used++] = i;
    }
    int ready;
    do {
        ready = ::poll(watched, used, timeoutMs < 0 ? -1 : timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return;
    for (size_t k = 0; k < used; ++k) {
        SocketWaitEntry& entry = entries[owners[k]];
        short got = watched[k].revents;
        bool failed = (got & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        entry.readable = entry.wantRead && ((got & POLLIN) != 0 || failed);
        entry.writable = entry.wantWrite && ((got & POLLOUT) != 0 || failed);
    }
}

}  // namespace voxtrel
