// The fixture of the simulator's suites: a simulator with quick call timings, raw clients of
// it, and checks of the answers they read.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "pbx/pbx_simulator.h"
#include "pbx_test_client.h"
#include "protocol/call_control.h"

namespace voxtrel::pbx::testing {

using std::chrono::milliseconds;

class PbxSimulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        options.timings.ring = milliseconds(20);
        options.timings.answer = milliseconds(40);
        options.timings.transfer = milliseconds(30);
        options.timings.play = milliseconds(30);
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
inline std::unique_ptr<Request> Make(Args&&... args) {
    auto request = std::make_unique<Request>();
    EXPECT_TRUE(request->SetParams(std::forward<Args>(args)...));
    return request;
}

inline std::unique_ptr<CreateCallMethod> CreateCall(uint64_t id, const std::string& to) {
    return Make<CreateCallMethod>(id, "pbx:200", Address(to));
}

// A plain answer with the id.
inline ::testing::AssertionResult Plain(const Reply& reply, uint64_t id) {
    if (!reply.received) return ::testing::AssertionFailure() << "no answer";
    if (reply.fault) {
        return ::testing::AssertionFailure()
               << "fault " << reply.faultCode << " " << reply.faultText;
    }
    if (reply.id != id) return ::testing::AssertionFailure() << "id " << reply.id;
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult Fault(const Reply& reply, int32_t code) {
    if (!reply.received) return ::testing::AssertionFailure() << "no answer";
    if (!reply.fault) return ::testing::AssertionFailure() << "plain answer " << reply.id;
    if (reply.faultCode != code) {
        return ::testing::AssertionFailure()
               << "fault " << reply.faultCode << " " << reply.faultText;
    }
    return ::testing::AssertionSuccess();
}

// The call's notifications until it reaches the state.
inline void WaitForState(PbxTestClient& client, uint64_t callId, int32_t state) {
    std::string expected =
        "callstatechanged " + std::to_string(callId) + " " + std::to_string(state);
    for (int i = 0; i < 10; ++i) {
        std::string notice = client.NextNotice();
        if (notice == expected) return;
        ASSERT_NE(notice, "nothing") << "waiting for " << expected;
    }
    FAIL() << "no " << expected;
}

}  // namespace voxtrel::pbx::testing
