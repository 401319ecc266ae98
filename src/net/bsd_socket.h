// BsdSocket: one IPv4 TCP or UDP socket with blocking and non-blocking use, optional time-outs,
// options and address queries, plus the host, interface and route queries that need no socket.
// Nothing throws; failures go through ReportSocketError and show in the results.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/network_info.h"
#include "net/socket_address.h"
#include "net/socket_handle.h"
#include "net/socket_state.h"
#include "net/socket_timeout.h"

namespace voxtrel {

// Results of the data operations beside a count.
constexpr int kSocketTimedOut = -2;
constexpr int kSocketFailed = -3;
// Receive: connection closed or lost; Accept: nothing to accept.
constexpr int kSocketClosed = -1;

constexpr int kSocketStream = 1;    // SOCK_STREAM
constexpr int kSocketDatagram = 2;  // SOCK_DGRAM
constexpr int kProtocolTcp = 6;     // IPPROTO_TCP
constexpr int kProtocolUdp = 17;    // IPPROTO_UDP
constexpr uint32_t kBlockingMode = 1;

class BsdSocket {
  public:
    // Every construction sets the process-wide show-errors flag to showErrors.
    explicit BsdSocket(bool showErrors = true);
    virtual ~BsdSocket();
    BsdSocket(const BsdSocket&) = delete;
    BsdSocket& operator=(const BsdSocket&) = delete;

    // Server: binds address and listens. Client: binds localPort (network order) when it is not
    // 0, on localAddress or else on the interface of the route to address, then connects.
    virtual bool CreateTCP(bool server, const SocketAddress& address, uint16_t localPort = 0,
                           uint32_t localAddress = 0);
    // 1 with client holding the new connection, -1 nothing pending (non-blocking), -3 failure.
    virtual int Accept(BsdSocket& client);
    // A count, 0 would block (or empty socket), -2 time-out, -3 failure; Receive gives -1 for
    // a closed or lost connection.
    virtual int Send(const void* buffer, int length, uint32_t timeout, int flags);
    virtual int Receive(void* buffer, int length, uint32_t timeout, int flags);
    // Stops at the first Send that transfers nothing and returns the total sent until then.
    virtual int SendAll(const void* buffer, int length, uint32_t timeout);
    virtual bool CreateUDP(const SocketAddress* localAddress = nullptr);
    virtual void SetPeerAddr(const SockAddrIn& address);
    // Without a destination the datagram goes to the stored peer address.
    virtual int SendDatagram(const void* buffer, int length, const SocketAddress* destination,
                             uint32_t timeout, int flags);
    virtual int ReceiveDatagram(void* buffer, int length, SocketAddress* source, uint32_t timeout,
                                int flags);
    virtual bool CreateSocketEx(int domain, int type, int protocol);
    virtual bool BindEx(const SocketAddress& localAddress);
    virtual bool ListenEx(int backlog);
    // In non-blocking mode a connection still under way counts as success.
    virtual bool ConnectEx(const SocketAddress& address);
    virtual bool Close();
    // 1 blocking, anything else non-blocking.
    virtual bool ChangeMode(uint32_t mode);
    // The name outputs are left empty when no name is found.
    virtual const SocketAddress& PeerAddr(std::string* hostName = nullptr);
    virtual bool GetPeerAddr(SocketAddress& address, std::string* hostName = nullptr);
    virtual const SocketAddress& SelfAddr(std::string* hostName = nullptr);
    virtual bool GetSelfAddr(SockAddrIn& address, std::string* hostName = nullptr);
    virtual bool SetOption(int level, int name, const void* value, int length);
    // length is the room at value; the length the platform writes back is not returned.
    virtual bool GetOption(int level, int name, void* value, int length);
    // Keep-alive probes, so that a connection whose peer vanished without a word is noticed;
    // the platform chooses the option numbers. KeepAlive reads the option back.
    bool SetKeepAlive(bool on);
    bool KeepAlive(bool& on);
    virtual int GetType() const { return type_; }
    virtual int GetProtocol() const { return protocol_; }
    virtual uint16_t GetSelfPort() const { return localAddress_.Port(); }

    // The owner may wait or receive on the handle directly.
    SocketHandle Handle() const { return handle_; }
    uint32_t Mode() const { return mode_; }

    // Family 2, port 0 and the first address of name; cleared to zero on failure.
    static bool GetHostByName(const char* name, SocketAddress& address);
    // The host name of the record's address; false, name empty, when there is none.
    static bool GetHostByAddr(const SocketAddress& address, std::string& name);
    // Appends the local host's addresses; the number of records in the list, 0 on failure.
    static int GetLocalHost(std::vector<SocketAddress>& addresses, std::string* hostName = nullptr);

    static int GetLocalHostEx(std::vector<InterfaceRecord>& records,
                              std::string* hostName = nullptr);
    static int GetRoutingTable(std::vector<RouteEntry>& routes,
                               std::vector<InterfaceRecord>* records = nullptr);
    static bool GetLocalRoute(const SocketAddress& destination, InterfaceRecord& record);

  private:
    bool HasSocket() const { return handle_ != kInvalidSocket; }
    // Refuses a second creation; reports module when the platform gives no socket.
    bool Open(int domain, int type, int protocol, const char* module);
    // False, with the result for the caller in stop, for an empty socket (0) and for a blocking
    // wait that ran out (-2); non-blocking sockets do not wait.
    bool ReadyToTransfer(bool forWrite, uint32_t timeout, int& stop);
    // Binds the local address; on failure reports module and closes the socket.
    bool BindLocal(const char* module);
    // Binds localAddress and fills in the port that the system chose for port 0.
    bool BindAt(const SocketAddress& localAddress, const char* module);
    // Steps after a TCP connect: local address from the host's list, local port from the system.
    void CompleteLocalAddress();
    // The whole local address from getsockname while its port is still 0.
    void FillSelfPort();
    int SendResult(int sent, const char* module);
    int ReceiveResult(int received, int length, int flags, const char* module);

    NetworkUser networkUser_;
    SocketHandle handle_ = kInvalidSocket;
    SocketAddress localAddress_;
    SocketAddress peerAddress_;
    int type_ = -1;
    int protocol_ = -1;
    uint32_t mode_ = kBlockingMode;
};

}  // namespace voxtrel
