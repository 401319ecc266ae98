// The POSIX wake-up channel: an eventfd, whose counter a write cannot fail to raise, so one
// write per wake-up is enough and none goes missing.
#include "session/wake_channel.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "net/socket_state.h"

namespace voxtrel {

namespace {

class EventWakeChannel final : public WakeChannel {
  public:
    explicit EventWakeChannel(int descriptor) : descriptor_(descriptor) {}
    ~EventWakeChannel() override { close(descriptor_); }

    void Wake() override {
        if (pending_.exchange(true)) return;
        const uint64_t one = 1;
        ssize_t written;
        do {
            written = write(descriptor_, &one, sizeof one);
        } while (written < 0 && errno == EINTR);
    }

    void Consume() override {
        uint64_t count;
        ssize_t ignored = read(descriptor_, &count, sizeof count);
        (void)ignored;
        pending_ = false;
    }

    SocketHandle Handle() const override { return descriptor_; }

  private:
    int descriptor_;
    std::atomic<bool> pending_{false};
};

}  // namespace

std::unique_ptr<WakeChannel> WakeChannel::Create() {
    // Like the making of any socket, the making of the channel turns the showing of socket
    // errors on.
    SetShowSocketErrors(true);
    int descriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (descriptor < 0) {
        ReportSocketError("Session wake-up socket", true);
        return nullptr;
    }
    return std::make_unique<EventWakeChannel>(descriptor);
}

}  // namespace voxtrel
