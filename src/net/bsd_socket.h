// BsdSocket: one IPv4 TCP or UDP socket with blocking and non-blocking use, optional time-outs,
// options and address queries, plus the host, interface and route queries that need no socket.
// Nothing throws; failures go through ReportSocketError and show in the results.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/socket_address.h"
#include "net/socket_handle.h"
#include "net/socket_state.h"
#include "net/socket_timeout.h"

namespace voxtrel {

// What a socket operation came to. Each value means one thing, so that callers can switch on it.
enum class SocketStatus {
    kDone,         // the operation happened; a transfer may still have moved no bytes
    kWouldBlock,   // non-blocking: nothing to do now (no data, no room, nothing to accept)
    kTimedOut,     // a blocking wait ran out
    kClosed,       // the peer closed the connection in order, or it was lost
    kFailed,       // reported failure
    kNoSocket,     // the operation found no socket (reported)
    kInterrupted,  // a blocking Accept was interrupted: nothing accepted, no failure
};

// The result of a data operation: its status and, when done, the bytes it moved.
struct SocketTransfer {
    SocketStatus status = SocketStatus::kDone;
    int count = 0;
    bool operator==(const SocketTransfer&) const = default;
};

constexpr int kSocketStream = 1;    // SOCK_STREAM
constexpr int kSocketDatagram = 2;  // SOCK_DGRAM
constexpr int kProtocolTcp = 6;     // IPPROTO_TCP
constexpr int kProtocolUdp = 17;    // IPPROTO_UDP

class BsdSocket {
  public:
    // Every construction sets the process-wide show-errors flag to showErrors.
    explicit BsdSocket(bool showErrors = true);
    ~BsdSocket();
    BsdSocket(const BsdSocket&) = delete;
    BsdSocket& operator=(const BsdSocket&) = delete;

    // Server: binds address and listens. Client: binds localPort (network order) when it is not
    // 0, on localAddress or else on the interface of the route to address, then connects.
    bool CreateTCP(bool server, const SocketAddress& address, uint16_t localPort = 0,
                   uint32_t localAddress = 0);
    // kDone with client holding the new connection, kWouldBlock when nothing is pending
    // (non-blocking), kInterrupted (blocking), kNoSocket or kFailed.
    SocketStatus Accept(BsdSocket& client);
    // Blocking sockets wait up to timeout first (kTimedOut). Receive gives kClosed when the peer
    // closed in order, and for a lost connection only without blocking: a blocking receive
    // reports a lost connection as kFailed.
    SocketTransfer Send(const void* buffer, int length, uint32_t timeout, int flags);
    SocketTransfer Receive(void* buffer, int length, uint32_t timeout, int flags);
    // Stops at the first Send that transfers nothing and returns the total sent until then.
    int SendAll(const void* buffer, int length, uint32_t timeout);
    bool CreateUDP(const SocketAddress* localAddress = nullptr);
    void SetPeerAddr(const SockAddrIn& address);
    // Without a destination the datagram goes to the stored peer address.
    SocketTransfer SendDatagram(const void* buffer, int length, const SocketAddress* destination,
                                uint32_t timeout, int flags);
    SocketTransfer ReceiveDatagram(void* buffer, int length, SocketAddress* source,
                                   uint32_t timeout, int flags);
    bool CreateSocketEx(int domain, int type, int protocol);
    bool BindEx(const SocketAddress& localAddress);
    bool ListenEx(int backlog);
    // In non-blocking mode a connection still under way counts as success.
    bool ConnectEx(const SocketAddress& address);
    bool Close();
    // Sockets start blocking, and Close makes them blocking again.
    bool SetBlocking(bool blocking);
    // The name outputs are left empty when no name is found.
    const SocketAddress& PeerAddr(std::string* hostName = nullptr);
    bool GetPeerAddr(SocketAddress& address, std::string* hostName = nullptr);
    const SocketAddress& SelfAddr(std::string* hostName = nullptr);
    bool GetSelfAddr(SockAddrIn& address, std::string* hostName = nullptr);
    bool SetOption(int level, int name, const void* value, int length);
    // length is the room at value; the length the platform writes back is not returned.
    bool GetOption(int level, int name, void* value, int length);
    // Keep-alive probes, so that a connection whose peer vanished without a word is noticed;
    // the platform chooses the option numbers. KeepAlive reads the option back.
    bool SetKeepAlive(bool on);
    bool KeepAlive(bool& on);
    int GetType() const { return type_; }
    int GetProtocol() const { return protocol_; }
    uint16_t GetSelfPort() const { return localAddress_.Port(); }

    // The owner may wait or receive on the handle directly.
    SocketHandle Handle() const { return handle_; }
    bool Blocking() const { return blocking_; }
    // This socket's last error code and report, beside the process-wide ones of socket_state.h.
    int ErrorCode() const { return error_.Code(); }
    std::string ErrorMessage() const { return error_.Message(); }

    // Family kAddressFamilyInet, port 0 and the first address of name; cleared to zero on failure.
    static bool GetHostByName(const char* name, SocketAddress& address);
    // The host name of the record's address; false, name empty, when there is none.
    static bool GetHostByAddr(const SocketAddress& address, std::string& name);
    // Appends the local host's addresses; the number of records in the list, 0 on failure.
    static int GetLocalHost(std::vector<SocketAddress>& addresses, std::string* hostName = nullptr);

  private:
    bool HasSocket() const { return handle_ != kInvalidSocket; }
    // Refuses a second creation; reports module when the platform gives no socket.
    bool Open(int domain, int type, int protocol, const char* module);
    // False, with the result for the caller in stop, for an empty socket and for a blocking
    // wait that ran out; non-blocking sockets do not wait.
    bool ReadyToTransfer(bool forWrite, uint32_t timeout, SocketTransfer& stop);
    // Binds the local address; on failure reports module and closes the socket.
    bool BindLocal(const char* module);
    // Binds localAddress and fills in the port that the system chose for port 0.
    bool BindAt(const SocketAddress& localAddress, const char* module);
    // Steps after a TCP connect: local address from the host's list, local port from the system.
    void CompleteLocalAddress();
    // The whole local address from getsockname while its port is still 0.
    void FillSelfPort();
    SocketTransfer SendResult(int sent, const char* module);
    SocketTransfer ReceiveResult(int received, int length, int flags, const char* module);
    // Reports through the process-wide reporter and keeps the error as this socket's own.
    void Report(const char* module, bool takePlatformError);
    void NoteError(int code) { error_.SetCode(code); }

    NetworkUser networkUser_;
    SocketHandle handle_ = kInvalidSocket;
    SocketAddress localAddress_;
    SocketAddress peerAddress_;
    int type_ = -1;
    int protocol_ = -1;
    bool blocking_ = true;
    SocketError error_;
};

}  // namespace voxtrel
