// The POSIX console: poll() over standard input and a self-pipe that the SIGINT and SIGTERM
// handlers write to.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "console.h"

namespace voxtrel::tools {

namespace {

// A line longer than this is cut into pieces of this length.
constexpr size_t kMaxLine = 64 * 1024;
constexpr int kWaitMs = 1000;

volatile sig_atomic_t gStopWriteEnd = -1;

extern "C" void OnStopSignal(int) {
    int saved = errno;
    char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(gStopWriteEnd, &byte, 1);
    errno = saved;
}

class PosixConsole : public Console {
  public:
    PosixConsole(int readEnd, int writeEnd) : readEnd_(readEnd), writeEnd_(writeEnd) {}
    ~PosixConsole() override {
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        gStopWriteEnd = -1;
        ::close(readEnd_);
        ::close(writeEnd_);
    }

    Event Next(std::string& line) override {
        for (;;) {
            if (TakeLine(line)) return Event::kLine;
            if (inputEnded_ && !endReported_) {
                if (!pending_.empty()) {
                    line.swap(pending_);
                    pending_.clear();
                    return Event::kLine;
                }
                endReported_ = true;
                return Event::kEndOfInput;
            }
            pollfd fds[2] = {{readEnd_, POLLIN, 0}, {inputEnded_ ? -1 : 0, POLLIN, 0}};
            int ready = ::poll(fds, 2, kWaitMs);
            if (ready < 0 && errno != EINTR) return Event::kStop;
            if (ready <= 0) continue;
            if (fds[0].revents != 0) return Event::kStop;
            if (fds[1].revents != 0) ReadInput();
        }
    }

  private:
    bool TakeLine(std::string& line) {
        size_t end = pending_.find('\n');
        if (end == std::string::npos) {
            if (pending_.size() < kMaxLine) return false;
            end = kMaxLine;
            line.assign(pending_, 0, end);
            pending_.erase(0, end);
            return true;
        }
        line.assign(pending_, 0, end);
        pending_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }

    void ReadInput() {
        char bytes[4096];
        ssize_t count = ::read(0, bytes, sizeof bytes);
        if (count > 0) {
            pending_.append(bytes, static_cast<size_t>(count));
        } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
            inputEnded_ = true;
        }
    }

    int readEnd_;
    int writeEnd_;
    std::string pending_;
    bool inputEnded_ = false;
    bool endReported_ = false;
};

}  // namespace

std::unique_ptr<Console> Console::Open() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    gStopWriteEnd = ends[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // A reader that went away must not end the process in the middle of a line.
    ::signal(SIGPIPE, SIG_IGN);
    if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        gStopWriteEnd = -1;
        return nullptr;
    }
    return std::make_unique<PosixConsole>(ends[0], ends[1]);
}

}  // namespace voxtrel::tools
