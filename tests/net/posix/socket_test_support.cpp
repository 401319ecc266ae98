// The socket option that the tests set, with the POSIX level and value.
#include <sys/socket.h>

#include "socket_test_support.h"

namespace voxtrel::testing {

bool SetAbortiveClose(BsdSocket& socket) {
    linger value{1, 0}, read{0, 1};
    return socket.SetOption(SOL_SOCKET, SO_LINGER, &value, sizeof value) &&
           socket.GetOption(SOL_SOCKET, SO_LINGER, &read, sizeof read) && read.l_onoff != 0;
}

}  // namespace voxtrel::testing
