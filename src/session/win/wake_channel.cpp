// The Windows wake-up channel: a datagram to a UDP socket of its own on the loopback, since
// Winsock waits on sockets only. The system may drop a datagram, so a wake-up left pending for
// long is sent again.
#include <atomic>
#include <chrono>
#include <cstdint>

#include "net/bsd_socket.h"
#include "session/wake_channel.h"

namespace voxtrel {

namespace {

// How long a wake-up may stay pending before Wake sends another datagram.
constexpr int64_t kWakeResendMs = 50;

class DatagramWakeChannel final : public WakeChannel {
  public:
    bool Open() {
        SocketAddress loopback(Ipv4(127, 0, 0, 1), 0);
        SockAddrIn self;
        if (!socket_.CreateUDP(&loopback) || !socket_.SetBlocking(false) ||
            !socket_.GetSelfAddr(self)) {
            return false;
        }
        socket_.SetPeerAddr(self);
        return true;
    }

    void Wake() override {
        int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
        // A datagram is on its way already. Should the system have lost it, the worker would
        // sleep for good: extra datagrams cost a pass each.
        if (pending_.exchange(true) && now - lastSent_.load() < kWakeResendMs) return;
        lastSent_ = now;
        const char zero = 0;
        // A datagram the system would not take wakes nobody: the next Wake tries again.
        if (socket_.SendDatagram(&zero, 1, nullptr, 0, 0).count <= 0) pending_ = false;
    }

    void Consume() override {
        char byte;
        socket_.ReceiveDatagram(&byte, 1, nullptr, 0, 0);
        pending_ = false;
    }

    SocketHandle Handle() const override { return socket_.Handle(); }

  private:
    BsdSocket socket_{true};
    std::atomic<bool> pending_{false};
    std::atomic<int64_t> lastSent_{0};
};

}  // namespace

std::unique_ptr<WakeChannel> WakeChannel::Create() {
    auto channel = std::make_unique<DatagramWakeChannel>();
    if (!channel->Open()) {
        ReportSocketError("Session wake-up socket", true);
        return nullptr;
    }
    return channel;
}

}  // namespace voxtrel
