// IPv4 socket address record of the socket layer, and the byte-order helpers that the portable
// code uses instead of the platform's htons/ntohl family.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace voxtrel {

constexpr uint16_t HostToNetwork16(uint16_t value) {
    if constexpr (std::endian::native == std::endian::big)
        return value;
    return static_cast<uint16_t>((value >> 8) | (value << 8));
}
constexpr uint16_t NetworkToHost16(uint16_t value) {
    return HostToNetwork16(value);
}

constexpr uint32_t HostToNetwork32(uint32_t value) {
    if constexpr (std::endian::native == std::endian::big)
        return value;
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}
constexpr uint32_t NetworkToHost32(uint32_t value) {
    return HostToNetwork32(value);
}

// An address written as four numbers a.b.c.d, in network byte order.
constexpr uint32_t Ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return HostToNetwork32((uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d);
}

constexpr uint16_t kAddressFamilyInet = 2;

// The 16-byte IPv4 socket address as both supported platforms lay it out (sockaddr_in); the
// platform code checks the layout at compile time.
struct SockAddrIn {
    uint16_t family = kAddressFamilyInet;
    uint16_t port = 0;     // network byte order
    uint32_t address = 0;  // network byte order
    uint8_t zero[8] = {};
};
static_assert(sizeof(SockAddrIn) == 16);

class SocketAddress {
  public:
    // getsockname is always handed the whole buffer; every other call passes kPlatformLength.
    static constexpr int kBufferLength = 40;
    static constexpr int kPlatformLength = 16;

    SocketAddress() { Reset(); }
    SocketAddress(uint32_t address, uint16_t port) {
        Reset();
        SetAddress(address);
        SetPort(port);
    }

    // Family AF_INET, port 0, address 0.
    void Reset();
    // Copies the 16 bytes of a platform address; the rest of the buffer is left as it is.
    void Assign(const SockAddrIn& address);
    SockAddrIn In() const;

    uint32_t Address() const;  // network byte order
    uint16_t Port() const;     // host byte order
    void SetAddress(uint32_t address);
    void SetPort(uint16_t port);
    bool IsEmpty() const { return Port() == 0 && Address() == 0; }

    // The raw buffer for the platform calls that fill or read an address in place.
    unsigned char* Buffer() { return bytes_.data(); }
    const unsigned char* Buffer() const { return bytes_.data(); }

  private:
    std::array<unsigned char, kBufferLength> bytes_{};
};

}  // namespace voxtrel
