// Windows system calls of the socket layer: Winsock 1.1, select for the time-out waits, the
// Winsock error numbers, and the console or a message box for error reports.

// winsock2.h comes first: windows.h would otherwise bring in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "net/net_platform.h"
#include "net/socket_address.h"

namespace voxtrel::platform {

static_assert(sizeof(sockaddr_in) == sizeof(SockAddrIn));
static_assert(offsetof(sockaddr_in, sin_family) == offsetof(SockAddrIn, family));
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(SockAddrIn, port));
static_assert(offsetof(sockaddr_in, sin_addr) == offsetof(SockAddrIn, address));
static_assert(AF_INET == kAddressFamilyInet);
static_assert(MSG_PEEK == 2);
static_assert(static_cast<SocketHandle>(INVALID_SOCKET) == kInvalidSocket);

namespace {

constexpr WORD kWinsockVersion = 0x0101;
constexpr int kSelectCount = 64;
constexpr DWORD kTextRoom = 128;

SOCKET Native(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

SocketHandle Portable(SOCKET socket) {
    return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(socket);
}

}  // namespace

bool StartNetworking() {
    WSADATA data;
    return WSAStartup(kWinsockVersion, &data) == 0;
}

void StopNetworking() {
    WSACleanup();
}

int LastError() {
    return WSAGetLastError();
}

bool IsWouldBlock(int error) {
    return error == WSAEWOULDBLOCK;
}

bool IsMessageTooLong(int error) {
    return error == WSAEMSGSIZE;
}

bool IsConnectionLost(int error) {
    switch (error) {
        case WSAENETDOWN:
        case WSAENETRESET:
        case WSAECONNABORTED:
        case WSAECONNRESET:
        case WSAENOTCONN:
        case WSAETIMEDOUT:
            return true;
        default:
            return false;
    }
}

bool IsInterrupted(int error) {
    return error == WSAEINTR;
}

int PeekFlag() {
    return MSG_PEEK;
}

SocketHandle OpenSocket(int domain, int type, int protocol) {
    return Portable(::socket(domain, type, protocol));
}

int CloseSocket(SocketHandle socket) {
    return ::closesocket(Native(socket));
}

int Bind(SocketHandle socket, const void* address, int length) {
    return ::bind(Native(socket), static_cast<const sockaddr*>(address), length);
}

int Listen(SocketHandle socket, int backlog) {
    return ::listen(Native(socket), backlog);
}

int Connect(SocketHandle socket, const void* address, int length) {
    return ::connect(Native(socket), static_cast<const sockaddr*>(address), length);
}

SocketHandle Accept(SocketHandle socket, void* address, int* length) {
    SOCKET accepted = ::accept(Native(socket), static_cast<sockaddr*>(address), length);
    if (accepted != INVALID_SOCKET) {
        // Winsock hands on the listener's non-blocking mode; the new socket's owner starts in
        // blocking mode, as on POSIX.
        u_long blocking = 0;
        ::ioctlsocket(accepted, FIONBIO, &blocking);
    }
    return Portable(accepted);
}

int Send(SocketHandle socket, const void* buffer, int length, int flags) {
    return ::send(Native(socket), static_cast<const char*>(buffer), length, flags);
}

int SendTo(SocketHandle socket, const void* buffer, int length, int flags, const void* address,
           int addressLength) {
    return ::sendto(Native(socket), static_cast<const char*>(buffer), length, flags,
                    static_cast<const sockaddr*>(address), addressLength);
}

int Receive(SocketHandle socket, void* buffer, int length, int flags) {
    return ::recv(Native(socket), static_cast<char*>(buffer), length, flags);
}

int ReceiveFrom(SocketHandle socket, void* buffer, int length, int flags, void* address,
                int* addressLength) {
    return ::recvfrom(Native(socket), static_cast<char*>(buffer), length, flags,
                      static_cast<sockaddr*>(address), addressLength);
}

int GetSockName(SocketHandle socket, void* address, int* length) {
    return ::getsockname(Native(socket), static_cast<sockaddr*>(address), length);
}

int GetPeerName(SocketHandle socket, void* address, int* length) {
    return ::getpeername(Native(socket), static_cast<sockaddr*>(address), length);
}

int SetNonBlocking(SocketHandle socket, bool nonBlocking) {
    u_long argument = nonBlocking ? 1 : 0;
    return ::ioctlsocket(Native(socket), FIONBIO, &argument) == 0 ? 0 : -1;
}

int SetSockOpt(SocketHandle socket, int level, int name, const void* value, int length) {
    return ::setsockopt(Native(socket), level, name, static_cast<const char*>(value), length);
}

int GetSockOpt(SocketHandle socket, int level, int name, void* value, int* length) {
    return ::getsockopt(Native(socket), level, name, static_cast<char*>(value), length);
}

int SetKeepAlive(SocketHandle socket, bool on) {
    BOOL value = on ? TRUE : FALSE;
    return ::setsockopt(Native(socket), SOL_SOCKET, SO_KEEPALIVE,
                        reinterpret_cast<const char*>(&value), sizeof value);
}

int GetKeepAlive(SocketHandle socket, bool& on) {
    BOOL value = FALSE;
    int size = sizeof value;
    int result = ::getsockopt(Native(socket), SOL_SOCKET, SO_KEEPALIVE,
                              reinterpret_cast<char*>(&value), &size);
    on = result == 0 && value != FALSE;
    return result;
}

int WaitReady(SocketHandle socket, bool forWrite, const WaitTime& wait) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(Native(socket), &set);
    timeval limit;
    limit.tv_sec = static_cast<long>(wait.seconds);
    limit.tv_usec = static_cast<long>(wait.microseconds);
    int ready = ::select(kSelectCount, forWrite ? nullptr : &set, forWrite ? &set : nullptr,
                         nullptr, wait.unlimited ? nullptr : &limit);
    if (ready == SOCKET_ERROR) return -1;
    return ready == 0 ? 0 : 1;
}

bool ResolveHost(const char* name, std::vector<uint32_t>& addresses) {
    const hostent* host = ::gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4) return false;
    for (char** entry = host->h_addr_list; *entry != nullptr; ++entry) {
        uint32_t address;
        std::memcpy(&address, *entry, sizeof address);
        addresses.push_back(address);
    }
    return true;
}

bool HostNameOf(uint32_t address, std::string& name) {
    in_addr in;
    in.s_addr = address;
    const hostent* host = ::gethostbyaddr(reinterpret_cast<const char*>(&in), 4, AF_INET);
    if (host == nullptr || host->h_name == nullptr) return false;
    name = host->h_name;
    return true;
}

bool LocalHostName(std::string& name) {
    char host[kTextRoom];
    if (::gethostname(host, sizeof host) != 0) return false;
    host[sizeof host - 1] = 0;
    name = host;
    return true;
}

uint32_t ParseAddress(const char* text) {
    return ::inet_addr(text);
}

bool ShowInMessageBox(const char* message) {
    char console[kTextRoom];
    if (GetConsoleTitleA(console, kTextRoom) != 0) return false;
    char path[kTextRoom];
    DWORD length = GetModuleFileNameA(nullptr, path, kTextRoom);
    path[length < kTextRoom ? length : kTextRoom - 1] = 0;
    const char* slash = std::strrchr(path, '\\');
    std::string title = "BsdSocket Error in module \"";
    title += slash != nullptr ? slash + 1 : path;
    title += '"';
    MessageBoxA(nullptr, message, title.c_str(), MB_ICONHAND | MB_TASKMODAL);
    return true;
}

}  // namespace voxtrel::platform
