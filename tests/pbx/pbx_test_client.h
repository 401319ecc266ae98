// The tests' raw loopback client of the simulator (service requests kept apart from answers and
// acknowledged), and the fixture that runs the simulator.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <thread>

#include "net/bsd_socket.h"
#include "pbx/method_behavior.h"
#include "pbx/pbx_simulator.h"
#include "protocol/authenticate.h"
#include "protocol/call_control.h"
#include "protocol/call_notifications.h"
#include "protocol/call_offer.h"
#include "protocol/fault_response.h"
#include "protocol/subscription.h"

namespace voxtrel::pbx::testing {

using std::chrono::milliseconds;

// The wait of every read (above 3600: microseconds), and of a check that nothing arrives.
constexpr uint32_t kWait = 5'000'000;
constexpr uint32_t kQuietWait = 300'000;

inline std::string Doc(const XmlRpcMethod& message) {
    std::string text;
    EXPECT_TRUE(message.Write(text));
    return text;
}

inline PartyAddress Address(std::string_view text) {
    PartyAddress address;
    ResetPartyAddress(address);
    ParsePartyAddress(text, address);
    return address;
}

// A message in one line: "callstatechanged 7 3", "process 1 tel:555 tel:100 42" (from, to,
// original call id or -), "mailarrived 9" for a request; "answer ID" or "fault CODE" for an answer.
inline std::string Describe(const std::string& message) {
    std::unique_ptr<XmlRpcRequestMethod> request = ParseRequest(message);
    FaultResponseMethod answer(0);
    if (!request && !answer.ReadDocument(message)) return "unreadable";
    const XmlRpcMethod& read = request ? static_cast<XmlRpcMethod&>(*request) : answer;
    std::string text = std::string(request ? ShortMethodName(read.methodType) : "answer") + " " +
                       FormatId(read.GetId());
    if (const auto* state = dynamic_cast<const CallStateChangedMethod*>(&read))
        return text + " " + std::to_string(state->dataParam->value);
    if (const auto* offer = dynamic_cast<const CallArrivedMethod*>(&read)) {
        for (const char* name : {"From", "To", "OrigCallID"}) {
            auto* value = GetMemberAs<XmlRpcValueString>(*offer->dataParam, name, kXmlRpcString);
            text += " " + (value ? value->value : "-");
        }
    }
    if (!answer.faultStruct) return text;
    auto* code = GetMemberAs<XmlRpcValueInt>(*answer.faultStruct, "faultCode", kXmlRpcInt);
    return "fault " + (code ? std::to_string(code->value) : "?");
}

template <typename Request, typename... Args>
std::unique_ptr<Request> Make(Args&&... args) {
    auto request = std::make_unique<Request>();
    EXPECT_TRUE(request->SetParams(std::forward<Args>(args)...));
    return request;
}

inline std::unique_ptr<CreateCallMethod> CreateCall(uint64_t id, const std::string& to) {
    return Make<CreateCallMethod>(id, "pbx:200", Address(to));
}

class PbxTestClient {
  public:
    explicit PbxTestClient(uint16_t port) {
        EXPECT_TRUE(socket_.CreateTCP(false, SocketAddress(Ipv4(127, 0, 0, 1), port)));
    }
    bool Send(std::string_view text) {
        int length = static_cast<int>(text.size());
        return socket_.SendAll(text.data(), length, kWait) == length;
    }
    // The next whole message as it came, past nothing kept; false on time-out or close.
    bool Raw(std::string& message, uint32_t wait = kWait) {
        char buffer[16 * 1024];
        while (!framer_.Next(message)) {
            if (closed_) return false;
            SocketTransfer result = socket_.Receive(buffer, sizeof buffer, wait, 0);
            if (result.status == SocketStatus::kTimedOut) return false;
            if ((closed_ = result.count <= 0)) return false;
            std::string_view received(buffer, static_cast<size_t>(result.count));
            receivedBytes += received.size();
            // Whatever the framer's limit says: a flood is counted, not judged, here.
            framer_.Append(received.data(), received.size());
            if (!received.ends_with(kMessageTerminator)) ++partialReceives;
        }
        return true;
    }
    // Describe of the next answer, or of the next service request, reading past (and keeping)
    // the other kind; "nothing" on time-out or close.
    std::string Answer(uint32_t wait = kWait) { return Next(answers_, wait); }
    std::string Notice(uint32_t wait = kWait) { return Next(requests_, wait); }
    std::string Call(const XmlRpcRequestMethod& request) {
        return Send(Doc(request)) ? Answer() : "nothing";
    }
    // A harmless request and its answer: everything sent before has been handled. An answer
    // read before would be taken for the sync's own.
    bool Sync() {
        return answers_.empty() && Call(*Make<IncomingCallHandlingMethod>("sync", 0)) == "answer 0";
    }
    // Reads until the service closes the connection; false when it stays open.
    bool WaitClosed() {
        for (std::string message; Raw(message);) {
        }
        return closed_;
    }
    // Bytes received, and receives that ended inside a message.
    size_t receivedBytes = 0;
    size_t partialReceives = 0;

  private:
    std::string Next(std::deque<std::string>& queue, uint32_t wait) {
        std::string message;
        while (queue.empty()) {
            if (!Raw(message, wait)) return "nothing";
            std::unique_ptr<XmlRpcRequestMethod> request = ParseRequest(message);
            (request ? requests_ : answers_).push_back(Describe(message));
            if (!request || request->methodType == kProcess) continue;
            XmlRpcResponseMethod acknowledgement(request->methodType);
            acknowledgement.SetId(request->GetId());
            Send(Doc(acknowledgement));
        }
        std::string next = std::move(queue.front());
        queue.pop_front();
        return next;
    }

    BsdSocket socket_{false};
    MessageFramer framer_;
    bool closed_ = false;
    std::deque<std::string> requests_, answers_;
};

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
    // Authenticated unless told otherwise; a failed authenticate shows in the faults that follow.
    std::unique_ptr<PbxTestClient> Connect(bool authenticate = true) {
        auto client = std::make_unique<PbxTestClient>(simulator.Port());
        if (authenticate) client->Call(*Make<AuthenticateMethod>("demo", "demo"));
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
