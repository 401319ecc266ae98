// The POSIX doorbell: a non-blocking pipe whose read end polls readable while rung, so that a
// host can add it to its own event loop.
#include "control/host_doorbell.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace voxtrel {

namespace {

class PipeDoorbell : public HostDoorbell {
  public:
    PipeDoorbell(int readEnd, int writeEnd) : read_(readEnd), write_(writeEnd) {}
    ~PipeDoorbell() override {
        close(read_);
        close(write_);
    }

    void Ring() override {
        // One byte stands for every ring until Wait consumes it: a busy host costs no calls of
        // the system, and the pipe never fills.
        if (rung_.exchange(true)) return;
        const char byte = 1;
        // A byte the pipe did not take rings nobody: the next Ring tries again.
        if (write(write_, &byte, 1) != 1) rung_ = false;
    }

    bool Wait(int timeoutMs) override {
        // The pipe holds at most the one byte of the ring, so a look is one read at most.
        if (timeoutMs == 0) return rung_.load() && Consume();
        pollfd entry{read_, POLLIN, 0};
        int ready;
        do {
            ready = poll(&entry, 1, timeoutMs);
        } while (ready < 0 && errno == EINTR);
        return ready > 0 && Consume();
    }

    int Descriptor() const override { return read_; }
    bool PumpsMessages() const override { return false; }

  private:
    // Takes the ring's byte; false when it has not arrived yet, and the doorbell stays rung.
    bool Consume() {
        char drain[64];
        if (read(read_, drain, sizeof drain) <= 0) return false;
        // Cleared once the pipe is empty: a ring that came while it was emptied added no byte,
        // and its event is handled after this Wait.
        rung_ = false;
        return true;
    }

    int read_;
    int write_;
    std::atomic<bool> rung_{false};
};

bool MakeNonBlocking(int descriptor) {
    int flags = fcntl(descriptor, F_GETFL);
    return flags >= 0 && fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == 0 &&
           fcntl(descriptor, F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace

std::unique_ptr<HostDoorbell> HostDoorbell::Create(std::function<void()>) {
    int ends[2];
    if (pipe(ends) != 0) return nullptr;
    if (!MakeNonBlocking(ends[0]) || !MakeNonBlocking(ends[1])) {
        close(ends[0]);
        close(ends[1]);
        return nullptr;
    }
    return std::make_unique<PipeDoorbell>(ends[0], ends[1]);
}

}  // namespace voxtrel
