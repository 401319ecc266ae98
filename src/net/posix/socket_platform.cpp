// POSIX system calls of the socket layer: BSD sockets, poll for the time-out waits (so that any
// descriptor number works), fcntl for the blocking mode, errno as the platform error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "net/net_platform.h"
#include "net/socket_address.h"

namespace voxtrel::platform {

static_assert(sizeof(sockaddr_in) == sizeof(SockAddrIn));
static_assert(offsetof(sockaddr_in, sin_family) == offsetof(SockAddrIn, family));
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(SockAddrIn, port));
static_assert(offsetof(sockaddr_in, sin_addr) == offsetof(SockAddrIn, address));
static_assert(AF_INET == kAddressFamilyInet);
static_assert(MSG_PEEK == 2);

namespace {

constexpr size_t kHostNameRoom = 128;

int Descriptor(SocketHandle socket) {
    return static_cast<int>(socket);
}

// A peer that has gone must give EPIPE, not end the process with SIGPIPE.
int NoSignal(int flags) {
    return flags | MSG_NOSIGNAL;
}

}  // namespace

bool StartNetworking() {
    return true;
}

void StopNetworking() {}

int LastError() {
    return errno;
}

bool IsWouldBlock(int error) {
    return error == EWOULDBLOCK || error == EAGAIN;
}

bool IsMessageTooLong(int error) {
    return error == EMSGSIZE;
}

bool IsConnectionLost(int error) {
    switch (error) {
        case ENETDOWN:
        case ENETRESET:
        case ECONNABORTED:
        case ECONNRESET:
        case ENOTCONN:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

bool IsInterrupted(int error) {
    return error == EINTR;
}

int PeekFlag() {
    return MSG_PEEK;
}

SocketHandle OpenSocket(int domain, int type, int protocol) {
    // Not inherited by programs that the host process starts.
    int fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
    return fd < 0 ? kInvalidSocket : fd;
}

int CloseSocket(SocketHandle socket) {
    return ::close(Descriptor(socket));
}

int Bind(SocketHandle socket, const void* address, int length) {
    return ::bind(Descriptor(socket), static_cast<const sockaddr*>(address),
                  static_cast<socklen_t>(length));
}

int Listen(SocketHandle socket, int backlog) {
    return ::listen(Descriptor(socket), backlog);
}

int Connect(SocketHandle socket, const void* address, int length) {
    return ::connect(Descriptor(socket), static_cast<const sockaddr*>(address),
                     static_cast<socklen_t>(length));
}

SocketHandle Accept(SocketHandle socket, void* address, int* length) {
    socklen_t size = static_cast<socklen_t>(*length);
    int fd = ::accept4(Descriptor(socket), static_cast<sockaddr*>(address), &size, SOCK_CLOEXEC);
    *length = static_cast<int>(size);
    return fd < 0 ? kInvalidSocket : fd;
}

int Send(SocketHandle socket, const void* buffer, int length, int flags) {
    return static_cast<int>(
        ::send(Descriptor(socket), buffer, static_cast<size_t>(length), NoSignal(flags)));
}

int SendTo(SocketHandle socket, const void* buffer, int length, int flags, const void* address,
           int addressLength) {
    return static_cast<int>(::sendto(Descriptor(socket), buffer, static_cast<size_t>(length),
                                     NoSignal(flags), static_cast<const sockaddr*>(address),
                                     static_cast<socklen_t>(addressLength)));
}

int Receive(SocketHandle socket, void* buffer, int length, int flags) {
    return static_cast<int>(::recv(Descriptor(socket), buffer, static_cast<size_t>(length), flags));
}

int ReceiveFrom(SocketHandle socket, void* buffer, int length, int flags, void* address,
                int* addressLength) {
    socklen_t size = static_cast<socklen_t>(*addressLength);
    int received =
        static_cast<int>(::recvfrom(Descriptor(socket), buffer, static_cast<size_t>(length), flags,
                                    static_cast<sockaddr*>(address), &size));
    *addressLength = static_cast<int>(size);
    return received;
}

int GetSockName(SocketHandle socket, void* address, int* length) {
    socklen_t size = static_cast<socklen_t>(*length);
    int result = ::getsockname(Descriptor(socket), static_cast<sockaddr*>(address), &size);
    *length = static_cast<int>(size);
    return result;
}

int GetPeerName(SocketHandle socket, void* address, int* length) {
    socklen_t size = static_cast<socklen_t>(*length);
    int result = ::getpeername(Descriptor(socket), static_cast<sockaddr*>(address), &size);
    *length = static_cast<int>(size);
    return result;
}

int SetNonBlocking(SocketHandle socket, bool nonBlocking) {
    int flags = ::fcntl(Descriptor(socket), F_GETFL);
    if (flags < 0) return -1;
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(Descriptor(socket), F_SETFL, flags) < 0 ? -1 : 0;
}

int SetSockOpt(SocketHandle socket, int level, int name, const void* value, int length) {
    return ::setsockopt(Descriptor(socket), level, name, value, static_cast<socklen_t>(length));
}

int GetSockOpt(SocketHandle socket, int level, int name, void* value, int* length) {
    socklen_t size = static_cast<socklen_t>(*length);
    int result = ::getsockopt(Descriptor(socket), level, name, value, &size);
    *length = static_cast<int>(size);
    return result;
}

int SetKeepAlive(SocketHandle socket, bool on) {
    int value = on ? 1 : 0;
    return ::setsockopt(Descriptor(socket), SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value);
}

int GetKeepAlive(SocketHandle socket, bool& on) {
    int value = 0;
    socklen_t size = sizeof value;
    int result = ::getsockopt(Descriptor(socket), SOL_SOCKET, SO_KEEPALIVE, &value, &size);
    on = result == 0 && value != 0;
    return result;
}

int WaitReady(SocketHandle socket, bool forWrite, const WaitTime& wait) {
    pollfd entry{Descriptor(socket), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    int milliseconds = -1;
    if (!wait.unlimited) {
        // poll counts milliseconds: microseconds round up so that a short wait never polls.
        long long total = static_cast<long long>(wait.seconds) * 1000 +
                          (static_cast<long long>(wait.microseconds) + 999) / 1000;
        milliseconds = static_cast<int>(total);
    }
    int ready = ::poll(&entry, 1, milliseconds);
    if (ready < 0) return -1;
    return ready == 0 ? 0 : 1;
}

bool ResolveHost(const char* name, std::vector<uint32_t>& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one answer per address, not one per socket type
    addrinfo* found = nullptr;
    int result = ::getaddrinfo(name, nullptr, &hints, &found);
    if (result != 0) {
        // Only a system failure has an errno of its own; a name that is not found has none.
        if (result != EAI_SYSTEM) errno = 0;
        return false;
    }
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr)
            addresses.push_back(
                reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
    }
    ::freeaddrinfo(found);
    return true;
}

bool HostNameOf(uint32_t address, std::string& name) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = address;
    char host[NI_MAXHOST];
    int result = ::getnameinfo(reinterpret_cast<const sockaddr*>(&in), sizeof in, host, sizeof host,
                               nullptr, 0, NI_NAMEREQD);
    if (result != 0) {
        if (result != EAI_SYSTEM) errno = 0;
        return false;
    }
    name = host;
    return true;
}

bool LocalHostName(std::string& name) {
    char host[kHostNameRoom];
    if (::gethostname(host, sizeof host) != 0) return false;
    host[sizeof host - 1] = 0;
    name = host;
    return true;
}

uint32_t ParseAddress(const char* text) {
    return ::inet_addr(text);
}

bool ShowInMessageBox(const char*) {
    return false;
}

}  // namespace voxtrel::platform
