// The portable logic of BsdSocket: states, result codes and error reports; every system call
// goes through net/net_platform.h.
#include "net/bsd_socket.h"

#include "net/net_platform.h"
#include "net/network_info.h"

namespace voxtrel {

namespace {

constexpr int kListenBacklog = 5;

}  // namespace

BsdSocket::BsdSocket(bool showErrors) {
    SetShowSocketErrors(showErrors);
}

BsdSocket::~BsdSocket() {
    Close();
}

bool BsdSocket::CreateTCP(bool server, const SocketAddress& address, uint16_t localPort,
                          uint32_t localAddress) {
    if (!Open(kAddressFamilyInet, kSocketStream, kProtocolTcp, "Initialize TCP protocol"))
        return false;
    if (server) {
        localAddress_ = address;
        if (!BindLocal("Bind")) return false;
        if (platform::Listen(handle_, kListenBacklog) != 0) {
            Report("Listen", true);
            Close();
            return false;
        }
    } else {
        if (localPort != 0) {
            uint32_t local = localAddress;
            if (local == 0) {
                InterfaceRecord route;
                if (!GetLocalRoute(*MakeNetworkInfoSource(), address, route)) {
                    Report("Resolve route to server", true);
                    Close();
                    return false;
                }
                local = route.address.Address();
            }
            localAddress_ = SocketAddress(local, NetworkToHost16(localPort));
            if (!BindLocal("Bind")) return false;
        }
        peerAddress_ = address;
        if (platform::Connect(handle_, peerAddress_.Buffer(), SocketAddress::kPlatformLength) !=
            0) {
            Report("Connect", true);
            Close();
            return false;
        }
    }
    CompleteLocalAddress();
    return true;
}

SocketStatus BsdSocket::Accept(BsdSocket& client) {
    if (!HasSocket()) {
        Report("Server not created", true);
        return SocketStatus::kNoSocket;
    }
    if (client.HasSocket()) {
        Report("Not empty socket for Accept", true);
        return SocketStatus::kFailed;
    }
    int length = SocketAddress::kPlatformLength;
    SocketHandle accepted = platform::Accept(handle_, client.peerAddress_.Buffer(), &length);
    SocketStatus status = SocketStatus::kDone;
    if (accepted == kInvalidSocket) {
        int error = platform::LastError();
        NoteError(error);
        if (!blocking_) {
            if (platform::IsWouldBlock(error)) return SocketStatus::kWouldBlock;
            Report("Accept", false);
            return SocketStatus::kFailed;
        }
        // An interrupted wait is not a failure of the server; the client stays empty.
        if (!platform::IsInterrupted(error)) {
            Report("Accept", false);
            return SocketStatus::kFailed;
        }
        status = SocketStatus::kInterrupted;
    } else {
        client.handle_ = accepted;
    }
    client.type_ = type_;
    client.protocol_ = protocol_;
    client.localAddress_ = localAddress_;
    return status;
}

SocketTransfer BsdSocket::Send(const void* buffer, int length, uint32_t timeout, int flags) {
    SocketTransfer stop;
    if (!ReadyToTransfer(true, timeout, stop)) return stop;
    return SendResult(platform::Send(handle_, buffer, length, flags), "Send");
}

SocketTransfer BsdSocket::Receive(void* buffer, int length, uint32_t timeout, int flags) {
    SocketTransfer stop;
    if (!ReadyToTransfer(false, timeout, stop)) return stop;
    return ReceiveResult(platform::Receive(handle_, buffer, length, flags), length, flags,
                         "Receive");
}

int BsdSocket::SendAll(const void* buffer, int length, uint32_t timeout) {
    const char* bytes = static_cast<const char*>(buffer);
    int total = 0;
    while (total < length) {
        SocketTransfer sent = Send(bytes + total, length - total, timeout, 0);
        if (sent.status != SocketStatus::kDone || sent.count == 0) break;
        total += sent.count;
    }
    return total;
}

bool BsdSocket::CreateUDP(const SocketAddress* localAddress) {
    if (!Open(kAddressFamilyInet, kSocketDatagram, kProtocolUdp, "Initialize UDP protocol"))
        return false;
    if (localAddress == nullptr) return true;
    return BindAt(*localAddress, "Bind");
}

void BsdSocket::SetPeerAddr(const SockAddrIn& address) {
    peerAddress_.Assign(address);
}

SocketTransfer BsdSocket::SendDatagram(const void* buffer, int length,
                                       const SocketAddress* destination, uint32_t timeout,
                                       int flags) {
    SocketTransfer stop;
    if (!ReadyToTransfer(true, timeout, stop)) return stop;
    const SocketAddress& to = destination != nullptr ? *destination : peerAddress_;
    int sent = platform::SendTo(handle_, buffer, length, flags, to.Buffer(),
                                SocketAddress::kPlatformLength);
    return SendResult(sent, "SendDatagram");
}

SocketTransfer BsdSocket::ReceiveDatagram(void* buffer, int length, SocketAddress* source,
                                          uint32_t timeout, int flags) {
    SocketTransfer stop;
    if (!ReadyToTransfer(false, timeout, stop)) return stop;
    SocketAddress unused;
    SocketAddress& from = source != nullptr ? *source : unused;
    int fromLength = SocketAddress::kPlatformLength;
    int received =
        platform::ReceiveFrom(handle_, buffer, length, flags, from.Buffer(), &fromLength);
    return ReceiveResult(received, length, flags, "ReceiveDatagram");
}

bool BsdSocket::CreateSocketEx(int domain, int type, int protocol) {
    return Open(domain, type, protocol, "CreateSocketEx");
}

bool BsdSocket::BindEx(const SocketAddress& localAddress) {
    return BindAt(localAddress, "BindEx");
}

bool BsdSocket::ListenEx(int backlog) {
    if (platform::Listen(handle_, backlog) != 0) {
        Report("ListenEx", true);
        Close();
        return false;
    }
    return true;
}

bool BsdSocket::ConnectEx(const SocketAddress& address) {
    if (platform::Connect(handle_, address.Buffer(), SocketAddress::kPlatformLength) != 0) {
        NoteError(platform::LastError());
        // Non-blocking: the connection is under way (or its failure shows at the first use).
        if (blocking_) {
            Report("ConnectEx", false);
            Close();
            return false;
        }
    }
    CompleteLocalAddress();
    return true;
}

bool BsdSocket::Close() {
    if (!HasSocket()) return true;
    if (platform::CloseSocket(handle_) != 0) return false;
    handle_ = kInvalidSocket;
    blocking_ = true;
    return true;
}

bool BsdSocket::SetBlocking(bool blocking) {
    if (!HasSocket()) {
        Report("Change mode for empty socket", true);
        return false;
    }
    if (blocking == blocking_) return true;
    blocking_ = blocking;
    if (platform::SetNonBlocking(handle_, !blocking) != 0) {
        Report("Change mode", true);
        return false;
    }
    return true;
}

const SocketAddress& BsdSocket::PeerAddr(std::string* hostName) {
    if (peerAddress_.IsEmpty()) GetPeerAddr(peerAddress_, nullptr);
    if (hostName != nullptr) GetHostByAddr(peerAddress_, *hostName);
    return peerAddress_;
}

bool BsdSocket::GetPeerAddr(SocketAddress& address, std::string* hostName) {
    if (!HasSocket()) {
        Report("Empty socket", true);
        return false;
    }
    int length = SocketAddress::kPlatformLength;
    if (platform::GetPeerName(handle_, address.Buffer(), &length) != 0) {
        Report("GetPeerAddr", true);
        return false;
    }
    if (hostName != nullptr) GetHostByAddr(address, *hostName);
    return true;
}

const SocketAddress& BsdSocket::SelfAddr(std::string* hostName) {
    if (hostName != nullptr && !platform::LocalHostName(*hostName)) hostName->clear();
    return localAddress_;
}

bool BsdSocket::GetSelfAddr(SockAddrIn& address, std::string* hostName) {
    address = localAddress_.In();
    if (hostName != nullptr && !platform::LocalHostName(*hostName)) hostName->clear();
    return true;
}

bool BsdSocket::SetOption(int level, int name, const void* value, int length) {
    if (!HasSocket()) {
        Report("Empty socket", true);
        return false;
    }
    return platform::SetSockOpt(handle_, level, name, value, length) == 0;
}

bool BsdSocket::GetOption(int level, int name, void* value, int length) {
    if (!HasSocket()) {
        Report("Empty socket", true);
        return false;
    }
    return platform::GetSockOpt(handle_, level, name, value, &length) == 0;
}

bool BsdSocket::SetKeepAlive(bool on) {
    if (!HasSocket()) {
        Report("Empty socket", true);
        return false;
    }
    return platform::SetKeepAlive(handle_, on) == 0;
}

bool BsdSocket::KeepAlive(bool& on) {
    on = false;
    if (!HasSocket()) {
        Report("Empty socket", true);
        return false;
    }
    return platform::GetKeepAlive(handle_, on) == 0;
}

bool BsdSocket::GetHostByName(const char* name, SocketAddress& address) {
    NetworkUser user;
    std::vector<uint32_t> found;
    if (name == nullptr || !platform::ResolveHost(name, found) || found.empty()) {
        SockAddrIn zero;
        zero.family = 0;
        address.Assign(zero);
        ReportSocketError("GetHostByName", true);
        return false;
    }
    address = SocketAddress(found.front(), 0);
    return true;
}

bool BsdSocket::GetHostByAddr(const SocketAddress& address, std::string& name) {
    NetworkUser user;
    if (!platform::HostNameOf(address.Address(), name)) {
        name.clear();
        ReportSocketError("GetHostByAddr", true);
        return false;
    }
    return true;
}

int BsdSocket::GetLocalHost(std::vector<SocketAddress>& addresses, std::string* hostName) {
    NetworkUser user;
    std::string host;
    if (!platform::LocalHostName(host)) {
        ReportSocketError("GetLocalHost", true);
        return 0;
    }
    if (hostName != nullptr) *hostName = host;
    std::vector<uint32_t> found;
    if (!platform::ResolveHost(host.c_str(), found)) {
        ReportSocketError("GetLocalHost", true);
        return 0;
    }
    for (uint32_t address : found)
        addresses.emplace_back(address, 0);
    return static_cast<int>(addresses.size());
}

bool BsdSocket::Open(int domain, int type, int protocol, const char* module) {
    if (HasSocket()) {
        Report("Socket already created", true);
        return false;
    }
    type_ = type;
    protocol_ = protocol;
    handle_ = platform::OpenSocket(domain, type, protocol);
    if (!HasSocket()) {
        Report(module, true);
        return false;
    }
    return true;
}

bool BsdSocket::ReadyToTransfer(bool forWrite, uint32_t timeout, SocketTransfer& stop) {
    if (!HasSocket()) {
        Report("Empty socket", true);
        stop.status = SocketStatus::kNoSocket;
        return false;
    }
    if (!blocking_) return true;
    // A failed wait is not a time-out: the operation goes on and reports its own failure.
    if (platform::WaitReady(handle_, forWrite, TimeoutToWait(timeout)) == 0) {
        Report(forWrite ? "Send timeout" : "Receive timeout", true);
        stop.status = SocketStatus::kTimedOut;
        return false;
    }
    return true;
}

bool BsdSocket::BindLocal(const char* module) {
    if (platform::Bind(handle_, localAddress_.Buffer(), SocketAddress::kPlatformLength) != 0) {
        Report(module, true);
        Close();
        return false;
    }
    return true;
}

bool BsdSocket::BindAt(const SocketAddress& localAddress, const char* module) {
    localAddress_ = localAddress;
    if (!BindLocal(module)) return false;
    FillSelfPort();
    return true;
}

void BsdSocket::CompleteLocalAddress() {
    if (localAddress_.Address() == 0) {
        std::vector<SocketAddress> addresses;
        if (GetLocalHost(addresses, nullptr) > 0) localAddress_ = addresses.front();
    }
    FillSelfPort();
}

void BsdSocket::FillSelfPort() {
    // Port 0 lets the system choose; the record shows what it chose.
    if (localAddress_.Port() != 0) return;
    int length = SocketAddress::kBufferLength;
    if (platform::GetSockName(handle_, localAddress_.Buffer(), &length) != 0)
        Report("Get self port", true);
}

SocketTransfer BsdSocket::SendResult(int sent, const char* module) {
    if (sent >= 0) return {SocketStatus::kDone, sent};
    int error = platform::LastError();
    NoteError(error);
    if (!blocking_ && platform::IsWouldBlock(error)) return {SocketStatus::kWouldBlock, 0};
    Report(module, false);
    return {SocketStatus::kFailed, 0};
}

SocketTransfer BsdSocket::ReceiveResult(int received, int length, int flags, const char* module) {
    if (received > 0) return {SocketStatus::kDone, received};
    if (received == 0) return {SocketStatus::kClosed, 0};  // orderly close by the peer
    int error = platform::LastError();
    NoteError(error);
    // A datagram longer than the buffer still delivered length bytes, unless only peeked at.
    bool truncated = platform::IsMessageTooLong(error) && (flags & platform::PeekFlag()) == 0;
    if (!blocking_) {
        if (platform::IsWouldBlock(error)) return {SocketStatus::kWouldBlock, 0};
        if (truncated) return {SocketStatus::kDone, length};
        if (platform::IsConnectionLost(error)) return {SocketStatus::kClosed, 0};
    } else if (truncated) {
        return {SocketStatus::kDone, length};
    }
    Report(module, false);
    return {SocketStatus::kFailed, 0};
}

void BsdSocket::Report(const char* module, bool takePlatformError) {
    error_.Report(module, takePlatformError);
}

}  // namespace voxtrel
