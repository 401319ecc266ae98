// Winsock levels and values of the socket options that the tests set.
#include <winsock2.h>

#include "socket_test_support.h"

namespace voxtrel::testing {

const int kSocketLevel = SOL_SOCKET;
const int kSendBufferOption = SO_SNDBUF;
const int kReceiveBufferOption = SO_RCVBUF;

bool SetAbortiveClose(BsdSocket& socket) {
    linger value{1, 0};
    return socket.SetOption(SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

}  // namespace voxtrel::testing
