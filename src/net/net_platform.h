// The system calls that the socket layer needs, declared once here and implemented once per
// platform (net/posix, net/win); the portable code reaches the system only through these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/socket_handle.h"
#include "net/socket_timeout.h"

namespace voxtrel {

namespace platform {

// Network start-up for the first user and clean-up after the last (Winsock); false when the
// start-up failed, in which case no clean-up is due.
bool StartNetworking();
void StopNetworking();

// The error of the last failed call of this thread, as the platform numbers it.
int LastError();
bool IsWouldBlock(int error);
bool IsMessageTooLong(int error);
// Network down or reset, connection aborted, reset or not connected, timed out.
bool IsConnectionLost(int error);
bool IsInterrupted(int error);
int PeekFlag();

// Each returns the platform call's own result; failures set LastError().
SocketHandle OpenSocket(int domain, int type, int protocol);
int CloseSocket(SocketHandle socket);
int Bind(SocketHandle socket, const void* address, int length);
int Listen(SocketHandle socket, int backlog);
int Connect(SocketHandle socket, const void* address, int length);
SocketHandle Accept(SocketHandle socket, void* address, int* length);
int Send(SocketHandle socket, const void* buffer, int length, int flags);
int SendTo(SocketHandle socket, const void* buffer, int length, int flags, const void* address,
           int addressLength);
int Receive(SocketHandle socket, void* buffer, int length, int flags);
int ReceiveFrom(SocketHandle socket, void* buffer, int length, int flags, void* address,
                int* addressLength);
int GetSockName(SocketHandle socket, void* address, int* length);
int GetPeerName(SocketHandle socket, void* address, int* length);
int SetNonBlocking(SocketHandle socket, bool nonBlocking);
int SetSockOpt(SocketHandle socket, int level, int name, const void* value, int length);
int GetSockOpt(SocketHandle socket, int level, int name, void* value, int* length);
// Keep-alive probes on a connected stream socket, with the platform's own option numbers: 0 on
// success, as setsockopt gives it; reading gives -1 when the option cannot be read.
int SetKeepAlive(SocketHandle socket, bool on);
int GetKeepAlive(SocketHandle socket, bool& on);

// Waits until the socket can be written (forWrite) or read: 1 ready, 0 time-out, -1 failure.
int WaitReady(SocketHandle socket, bool forWrite, const WaitTime& wait);

// The IPv4 addresses (network order) of a host name or dotted address, in resolver order.
bool ResolveHost(const char* name, std::vector<uint32_t>& addresses);
// The host name registered for an address (network order).
bool HostNameOf(uint32_t address, std::string& name);
bool LocalHostName(std::string& name);
// The platform's inet_addr: 0xFFFFFFFF for a text that is no address.
uint32_t ParseAddress(const char* text);

// Shows an error report in a message box when the process has no console; false, showing
// nothing, when it has one (then the report goes to standard error).
bool ShowInMessageBox(const char* message);

}  // namespace platform
}  // namespace voxtrel
