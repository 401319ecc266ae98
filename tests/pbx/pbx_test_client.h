// The tests' raw loopback client of the simulator (messages cut with MessageFramer, service
// requests kept apart from answers and acknowledged), and the fixture that runs the simulator.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/bsd_socket.h"
#include "pbx/pbx_simulator.h"
#include "protocol/authenticate.h"
#include "protocol/call_control.h"
#include "protocol/message_framer.h"
#include "protocol/subscription.h"

namespace voxtrel::pbx::testing {

using std::chrono::milliseconds;

// Every read waits at most this long (values above 3600 are microseconds); and the wait of a
// check that nothing arrives.
constexpr uint32_t kWait = 5'000'000;
constexpr uint32_t kQuietWait = 300'000;

// An answer as the request that it answers reads it.
struct Reply {
    std::string brief = "nothing";  // "answer ID", "fault CODE" or "nothing"
    std::string faultText;
    std::unique_ptr<XmlRpcResponseMethod> answer;
};

// The written message, for Send.
std::string Doc(const XmlRpcMethod& message);
PartyAddress Address(std::string_view text);

class PbxTestClient {
  public:
    explicit PbxTestClient(uint16_t port);
    bool Send(std::string_view text);
    // The next whole message as it came, past nothing kept; false on time-out or close.
    bool Raw(std::string& message, uint32_t wait = kWait);
    // The answer to the request, reading past (and keeping) service requests.
    Reply Answer(const XmlRpcRequestMethod& request, uint32_t wait = kWait);
    Reply Call(const XmlRpcRequestMethod& request) {
        return Send(Doc(request)) ? Answer(request) : Reply{};
    }
    // The next service request, "callstatechanged 7 3", "dtmfdigitdetected 7 #",
    // "process 1 tel:555 tel:100 42" (from, to, original call), or "nothing".
    std::string Notice(uint32_t wait = kWait);
    // A harmless request and its answer: everything sent before has been handled.
    bool Sync();
    // Reads and drops until the service closes the connection; false when it stays open.
    bool WaitClosed();

    // Every message received, in order: Describe of requests, "answer" for answers.
    std::vector<std::string> transcript;
    // Bytes received, and receives that ended inside a message.
    size_t receivedBytes = 0;
    size_t partialReceives = 0;

  private:
    bool Read(bool answer, uint32_t wait);

    BsdSocket socket_{false};
    MessageFramer framer_;
    bool closed_ = false;
    std::deque<std::string> requests_;
    std::deque<std::string> answers_;
};

template <typename Request, typename... Args>
std::unique_ptr<Request> Make(Args&&... args) {
    auto request = std::make_unique<Request>();
    EXPECT_TRUE(request->SetParams(std::forward<Args>(args)...));
    return request;
}

inline std::unique_ptr<CreateCallMethod> CreateCall(uint64_t id, const std::string& to) {
    return Make<CreateCallMethod>(id, "pbx:200", Address(to));
}

class PbxSimulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        options.timings = {milliseconds(20), milliseconds(40), milliseconds(30), milliseconds(30)};
        // Lines logged on the owner's thread are marked; the log is read after Stop only.
        options.log = [this, owner = std::this_thread::get_id()](const std::string& line) {
            log += (std::this_thread::get_id() == owner ? "owner: " : "") + line + "\n";
        };
    }
    void Start() {
        std::string error;
        ASSERT_TRUE(simulator.Start(options, &error)) << error;
    }
    std::unique_ptr<PbxTestClient> Connect(bool authenticate = true) {
        auto client = std::make_unique<PbxTestClient>(simulator.Port());
        if (authenticate) {
            auto* answer = dynamic_cast<AuthenticateResponseMethod*>(
                client->Call(*Make<AuthenticateMethod>("demo", "demo")).answer.get());
            EXPECT_TRUE(answer != nullptr && answer->success->value);
        }
        return client;
    }
    std::string Command(const std::string& line) {
        std::string reply;
        simulator.Command(line, reply);
        return reply;
    }

    PbxOptions options;
    std::string log;
    PbxSimulator simulator;
};

}  // namespace voxtrel::pbx::testing
