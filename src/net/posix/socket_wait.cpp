// Several-socket wait with poll, so that descriptors of any number can be watched.
#include <poll.h>

#include <cerrno>
#include <vector>

#include "net/socket_wait.h"

namespace voxtrel {

void WaitSockets(SocketWaitEntry* entries, size_t count, int timeoutMs) {
    std::vector<pollfd> watched;
    std::vector<size_t> owners;
    for (size_t i = 0; i < count; ++i) {
        SocketWaitEntry& entry = entries[i];
        entry.readable = entry.writable = false;
        if (entry.handle == kInvalidSocket || (!entry.wantRead && !entry.wantWrite)) continue;
        short events =
            static_cast<short>((entry.wantRead ? POLLIN : 0) | (entry.wantWrite ? POLLOUT : 0));
        watched.push_back(pollfd{static_cast<int>(entry.handle), events, 0});
        owners.push_back(i);
    }
    int ready;
    do {
        ready = ::poll(watched.data(), watched.size(), timeoutMs < 0 ? -1 : timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return;
    for (size_t k = 0; k < watched.size(); ++k) {
        SocketWaitEntry& entry = entries[owners[k]];
        short got = watched[k].revents;
        bool failed = (got & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        entry.readable = entry.wantRead && ((got & POLLIN) != 0 || failed);
        entry.writable = entry.wantWrite && ((got & POLLOUT) != 0 || failed);
    }
}

}  // namespace voxtrel
