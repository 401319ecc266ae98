// The socket options that the tests set, with the POSIX levels and values.
#include <sys/socket.h>

#include "socket_test_support.h"

namespace voxtrel::testing {

bool SetAbortiveClose(BsdSocket& socket) {
    linger value{1, 0};
    return socket.SetOption(SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

bool SetSmallBuffers(BsdSocket& socket) {
    int size = 4096, read = 0;
    return socket.SetOption(SOL_SOCKET, SO_SNDBUF, &size, sizeof size) &&
           socket.SetOption(SOL_SOCKET, SO_RCVBUF, &size, sizeof size) &&
           socket.GetOption(SOL_SOCKET, SO_RCVBUF, &read, sizeof read) && read > 0;
}

}  // namespace voxtrel::testing
