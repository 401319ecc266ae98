// The POSIX platform layer of the simulator: poll() over the sockets plus the read end of a
// non-blocking pipe that Wake writes to (safe inside a signal handler), and setsockopt.
#include "pbx/pbx_platform.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace voxtrel::pbx {

namespace {

class PipePoller : public Poller {
  public:
    PipePoller(int readEnd, int writeEnd) : readEnd_(readEnd), writeEnd_(writeEnd) {}
    ~PipePoller() override {
        ::close(readEnd_);
        ::close(writeEnd_);
    }

    void Wake() override {
        char byte = 1;
        // A full pipe already holds a pending wake-up.
        [[maybe_unused]] ssize_t written = ::write(writeEnd_, &byte, 1);
    }

    int Wait(std::vector<PollEntry>& entries, int timeoutMs) override {
        fds_.clear();
        fds_.push_back({readEnd_, POLLIN, 0});
        for (PollEntry& entry : entries) {
            short events = 0;
            if (entry.wantRead) events |= POLLIN;
            if (entry.wantWrite) events |= POLLOUT;
            fds_.push_back({static_cast<int>(entry.handle), events, 0});
            entry.readable = entry.writable = entry.broken = false;
        }
        int ready = ::poll(fds_.data(), fds_.size(), timeoutMs);
        if (ready < 0) return errno == EINTR ? 0 : -1;
        if (fds_[0].revents != 0) Drain();
        int results = 0;
        for (size_t i = 0; i < entries.size(); ++i) {
            short revents = fds_[i + 1].revents;
            PollEntry& entry = entries[i];
            entry.readable = (revents & POLLIN) != 0;
            entry.writable = (revents & POLLOUT) != 0;
            entry.broken = (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
            if (revents != 0) ++results;
        }
        return results;
    }

  private:
    void Drain() {
        char bytes[64];
        while (::read(readEnd_, bytes, sizeof bytes) > 0) {
        }
    }

    int readEnd_;
    int writeEnd_;
    std::vector<pollfd> fds_;
};

}  // namespace

std::unique_ptr<Poller> Poller::Create() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    return std::make_unique<PipePoller>(ends[0], ends[1]);
}

bool SetNoDelay(SocketHandle handle) {
    int on = 1;
    return ::setsockopt(static_cast<int>(handle), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool AllowAddressReuse(SocketHandle handle) {
    int on = 1;
    return ::setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

}  // namespace voxtrel::pbx
