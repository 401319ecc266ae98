// Several-socket wait with Winsock's select; a session watches at most two sockets.
#include <winsock2.h>

#include "net/socket_wait.h"

namespace voxtrel {

void WaitSockets(SocketWaitEntry* entries, size_t count, int timeoutMs) {
    fd_set readSet;
    fd_set writeSet;
    fd_set failSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&failSet);
    bool any = false;
    for (size_t i = 0; i < count; ++i) {
        SocketWaitEntry& entry = entries[i];
        entry.readable = entry.writable = false;
        if (entry.handle == kInvalidSocket || (!entry.wantRead && !entry.wantWrite)) continue;
        SOCKET socket = static_cast<SOCKET>(entry.handle);
        if (entry.wantRead) FD_SET(socket, &readSet);
        if (entry.wantWrite) FD_SET(socket, &writeSet);
        // A failed connect shows only in the exception set on Windows.
        FD_SET(socket, &failSet);
        any = true;
    }
    if (!any) {
        if (timeoutMs > 0) Sleep(static_cast<DWORD>(timeoutMs));
        return;
    }
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int ready = select(0, &readSet, &writeSet, &failSet, timeoutMs < 0 ? nullptr : &limit);
    if (ready <= 0) return;
    for (size_t i = 0; i < count; ++i) {
        SocketWaitEntry& entry = entries[i];
        if (entry.handle == kInvalidSocket) continue;
        SOCKET socket = static_cast<SOCKET>(entry.handle);
        bool failed = FD_ISSET(socket, &failSet) != 0;
        entry.readable = entry.wantRead && (FD_ISSET(socket, &readSet) != 0 || failed);
        entry.writable = entry.wantWrite && (FD_ISSET(socket, &writeSet) != 0 || failed);
    }
}

}  // namespace voxtrel
