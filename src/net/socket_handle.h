// The socket handle as the portable code holds it: wide enough for a POSIX descriptor and for a
// Winsock SOCKET, with -1 (INVALID_SOCKET on Windows) for "no socket".
#pragma once

#include <cstdint>

namespace voxtrel {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

}  // namespace voxtrel
