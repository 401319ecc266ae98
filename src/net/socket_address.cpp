// IPv4 socket address record: the leading 16 bytes of its buffer are a platform sockaddr_in.
#include "net/socket_address.h"

#include <cstring>

namespace voxtrel {

void SocketAddress::Reset() {
    bytes_.fill(0);
    Assign(SockAddrIn{});
}

void SocketAddress::Assign(const SockAddrIn& address) {
    std::memcpy(bytes_.data(), &address, sizeof address);
}

SockAddrIn SocketAddress::In() const {
    SockAddrIn address;
    std::memcpy(&address, bytes_.data(), sizeof address);
    return address;
}

uint32_t SocketAddress::Address() const {
    return In().address;
}

uint16_t SocketAddress::Port() const {
    return NetworkToHost16(In().port);
}

void SocketAddress::SetAddress(uint32_t address) {
    SockAddrIn in = In();
    in.address = address;
    Assign(in);
}

void SocketAddress::SetPort(uint16_t port) {
    SockAddrIn in = In();
    in.port = HostToNetwork16(port);
    Assign(in);
}

}  // namespace voxtrel
