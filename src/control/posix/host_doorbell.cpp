// The POSIX doorbell: a non-blocking pipe whose read end polls readable while rung, so that a
// host can add it to its own event loop.
#include "control/host_doorbell.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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
        const char byte = 1;
        // A full pipe is rung already.
        ssize_t ignored = write(write_, &byte, 1);
        (void)ignored;
    }

    bool Wait(int timeoutMs) override {
        pollfd entry{read_, POLLIN, 0};
        int ready;
        do {
            ready = poll(&entry, 1, timeoutMs);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) return false;
        char drain[64];
        while (read(read_, drain, sizeof drain) > 0) {
        }
        return true;
    }

    int Descriptor() const override { return read_; }

  private:
    int read_;
    int write_;
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
