// The tests' raw loopback client of the simulator (protocol messages over a plain socket, cut with
// MessageFramer; service requests kept apart from answers and acknowledged), and the fixture.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/bsd_socket.h"
#include "pbx/pbx_simulator.h"
#include "protocol/authenticate.h"
#include "protocol/call_control.h"
#include "protocol/message_framer.h"
#include "protocol/subscription.h"

namespace voxtrel::pbx::testing {

using std::chrono::milliseconds;

// Every receive waits at most this long (values above 3600 are microseconds); and the wait of a
// check that nothing arrives.
constexpr uint32_t kWait = 5'000'000;
constexpr uint32_t kQuietWait = 300'000;

// What an answer said, as the request that it answers reads it; fault code 0: a plain answer.
struct Reply {
    bool received = false;
    int32_t faultCode = 0;
    std::string faultText;
    uint64_t id = 0;
    std::unique_ptr<XmlRpcResponseMethod> answer;
};

// "callstatechanged 7 3", "dtmfdigitdetected 7 #", "process 1": a service request in one line.
std::string Describe(const XmlRpcRequestMethod& request);
PartyAddress Address(std::string_view text);

class PbxTestClient {
  public:
    bool Connect(uint16_t port);
    void Disconnect() { socket_.Close(); }
    bool SendText(std::string_view text);
    bool Send(const XmlRpcMethod& message);
    bool Acknowledge(const XmlRpcRequestMethod& request);
    // The next answer, reading past (and keeping) service requests.
    bool NextAnswer(std::string& answer, uint32_t wait = kWait);
    // The next service request, kept ones first; null when none came.
    std::unique_ptr<XmlRpcRequestMethod> NextRequest(uint32_t wait = kWait);
    // Describe of the next service request, or "nothing".
    std::string NextNotice(uint32_t wait = kWait);
    // The next answer (after sending the request) as the request's answer.
    Reply Call(const XmlRpcRequestMethod& request);
    Reply ReadReply(const XmlRpcRequestMethod& request, uint32_t wait = kWait);
    bool Authenticate(const std::string& user, const std::string& password);
    // A harmless request and its answer: everything sent before has been handled.
    bool Sync();
    // Reads and drops until the service closes the connection; false when it stays open.
    bool WaitClosed();
    // The next whole message as it came, past nothing kept; false on time-out or close.
    bool NextRaw(std::string& message, uint32_t wait = kWait);

    bool autoAcknowledge = true;
    // Every message received, in order: Describe of requests, "answer" for answers.
    std::vector<std::string> transcript;
    // Bytes received, and receives that ended inside a message.
    size_t receivedBytes = 0;
    size_t partialReceives = 0;

  private:
    void Keep(const std::string& message);

    BsdSocket socket_{false};
    MessageFramer framer_;
    bool closed_ = false;
    std::deque<std::unique_ptr<XmlRpcRequestMethod>> requests_;
    std::deque<std::string> answers_;
};

class PbxSimulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        options.timings = {milliseconds(20), milliseconds(40), milliseconds(30), milliseconds(30)};
    }
    void Start() {
        std::string error;
        ASSERT_TRUE(simulator.Start(options, &error)) << error;
    }
    std::unique_ptr<PbxTestClient> Connect() {
        auto client = std::make_unique<PbxTestClient>();
        EXPECT_TRUE(client->Connect(simulator.Port()));
        return client;
    }
    std::unique_ptr<PbxTestClient> Authenticated() {
        auto client = Connect();
        EXPECT_TRUE(client->Authenticate("demo", "demo"));
        return client;
    }
    std::string Command(const std::string& line) {
        std::string reply;
        simulator.Command(line, reply);
        return reply;
    }

    PbxOptions options;
    PbxSimulator simulator;
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

// A plain answer with the id, or a fault with the code.
::testing::AssertionResult Plain(const Reply& reply, uint64_t id);
::testing::AssertionResult Fault(const Reply& reply, int32_t code);
// The call's notifications until it reaches the state.
void WaitForState(PbxTestClient& client, uint64_t callId, int32_t state);

}  // namespace voxtrel::pbx::testing
