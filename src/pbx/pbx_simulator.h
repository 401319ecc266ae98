// The call-processing service simulator on a thread of its own, embeddable in any process (tests,
// the demo); `voxtrel pbx` runs it behind a console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pbx/call_model.h"
#include "protocol/message_framer.h"

namespace voxtrel::pbx {

struct PbxUser {
    std::string name;
    std::string password;
};

struct PbxOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 0;  // 0: a free port
    // None: the one user demo with password demo.
    std::vector<PbxUser> users;
    // Connections beyond it are closed as soon as they are accepted.
    size_t maxConnections = 64;
    // The longest unterminated input a connection may leave waiting.
    size_t maxMessageBytes = MessageFramer::kDefaultLimit;
    // Unsent output beyond it drops the connection: a reader that falls that far behind is gone.
    size_t maxOutputBytes = size_t{1} << 20;
    size_t maxCalls = CallModel::kDefaultMaxCalls;
    PbxTimings timings;
    // One line per event (connections, requests, notifications, answers), called on the
    // simulator's thread; empty: nothing is reported.
    std::function<void(const std::string&)> log;
};

class PbxSimulator {
  public:
    PbxSimulator();
    // Stops the simulator.
    ~PbxSimulator();
    PbxSimulator(const PbxSimulator&) = delete;
    PbxSimulator& operator=(const PbxSimulator&) = delete;

    // Listens, then serves on a new thread. False, with the reason in error, when the address
    // does not resolve or bind, or when the simulator runs already.
    bool Start(const PbxOptions& options, std::string* error = nullptr);
    // Closes every connection and ends the thread.
    void Stop();
    bool Running() const { return loop_ != nullptr; }

    // The bound address: dotted host and real port. Valid while running.
    const std::string& Host() const { return host_; }
    uint16_t Port() const { return port_; }

    // Runs one console command on the simulator's thread and waits for its one-line reply, at
    // most kCommandWaitSeconds. Any thread may call while the simulator runs; Start and Stop
    // belong to the owner's thread. False when the command failed; the reply then
    // starts with "error: ".
    bool Command(const std::string& line, std::string& reply);

    static constexpr int kCommandWaitSeconds = 10;

  private:
    // The service, its poller, its thread and the queue of console commands.
    struct Loop;

    std::unique_ptr<Loop> loop_;
    std::string host_;
    uint16_t port_ = 0;
};

// The console commands and what they print: the part of the simulator's help about them.
std::string DescribeCommands();
// The service's fault codes and answers: the part of the help about the protocol.
std::string DescribeAnswers();

}  // namespace voxtrel::pbx
