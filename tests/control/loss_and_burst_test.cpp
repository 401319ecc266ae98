// The control where deployments hurt: reconnecting while a lost connection is being reported, and
// a Connect that gives up just as the service answers. (Bursts of answers from event handlers are
// the soak's burst phase.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "../session/fake_peer.h"
#include "control/voxtrel_ctrl.h"
#include "protocol/xmlrpc_method.h"
#include "recording_events.h"
#include "session/call_service_client.h"

namespace voxtrel {
namespace {

using namespace voxtrel::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Where the host calls Connect again after the service closed a connection with two requests
// outstanding.
enum class ReconnectFrom {
    FirstRequestFailed,
    SecondRequestFailed,
    Disconnected,
    NoPumping,
    AfterTheReport
};

// The host sees one RequestFailed 102 per outstanding request, then Disconnected, exactly once;
// Connect answers within a moment, and a successful one comes after the whole report.
void LoseTwoRequestsAndReconnect(ReconnectFrom from) {
    const Events loss = {"RequestFailed 5 102 Connection closed remotely",
                         "RequestFailed 6 102 Connection closed remotely", "Disconnected"};
    FakePeer peer;
    CVoxtrelCtrl control;
    RecordingEvents events(control);
    const auto port = static_cast<int16_t>(peer.Port());
    std::thread service([&] { peer.Authenticate(true); });
    bool ok = control.Connect("127.0.0.1", port, 2, "u", "p");
    service.join();
    ASSERT_TRUE(ok);
    EXPECT_TRUE(control.CloseCall("5"));
    EXPECT_TRUE(control.CloseCall("6"));
    std::string message;
    EXPECT_TRUE(peer.NextMessage(message));
    EXPECT_TRUE(peer.NextMessage(message));
    peer.CloseConnection();

    // Whoever connects next is answered.
    std::atomic<bool> stop{false};
    std::thread answering([&] {
        while (!stop && !peer.Authenticate(true, 50ms)) {
        }
    });
    bool attempted = false;
    bool connected = false;
    auto attempt = [&] {
        attempted = true;
        auto start = Clock::now();
        connected = control.Connect("127.0.0.1", port, 2, "u", "p");
        EXPECT_LT(SecondsSince(start), 1.5);
        if (connected) {
            EXPECT_EQ(events.events, loss);
        }
    };
    int failures = 0;
    events.onEvent = [&](const std::string& line) {
        if (line.rfind("RequestFailed", 0) == 0) ++failures;
        if (!attempted && ((from == ReconnectFrom::FirstRequestFailed && failures == 1) ||
                           (from == ReconnectFrom::SecondRequestFailed && failures == 2) ||
                           (from == ReconnectFrom::Disconnected && line == "Disconnected"))) {
            attempt();
        }
    };
    if (from == ReconnectFrom::NoPumping) {
        std::this_thread::sleep_for(300ms);
        attempt();
    } else if (from == ReconnectFrom::AfterTheReport) {
        events.PumpFor(3, 10);
        attempt();
    }
    events.PumpFor(3, 10);
    EXPECT_EQ(events.PumpFor(4, 0.3), loss);  // nothing may come twice
    events.onEvent = nullptr;
    if (from == ReconnectFrom::Disconnected || from == ReconnectFrom::AfterTheReport) {
        EXPECT_TRUE(connected);
    } else if (!connected) {
        EXPECT_TRUE(control.Connect("127.0.0.1", port, 2, "u", "p"));
    }
    stop = true;
    answering.join();
}

TEST(ControlReconnect, WhileALostConnectionIsReportedFromEveryHandlerAndWithoutPumping) {
    for (ReconnectFrom from :
         {ReconnectFrom::FirstRequestFailed, ReconnectFrom::SecondRequestFailed,
          ReconnectFrom::Disconnected, ReconnectFrom::NoPumping, ReconnectFrom::AfterTheReport}) {
        // The worker's progress through the report races with the host: repeated.
        for (int round = 0; round < 4; ++round) {
            SCOPED_TRACE("reconnect from " + std::to_string(static_cast<int>(from)) + ", round " +
                         std::to_string(round));
            LoseTwoRequestsAndReconnect(from);
        }
    }
}

// Holds the worker just before it reads the answer to the authenticate request, so that the
// connection becomes authenticated around a moment the test chooses.
class AuthenticationHold : public SessionAccounting {
  public:
    explicit AuthenticationHold(Clock::time_point until) : until_(until) {}
    void Accepted(const XmlRpcMethod&) override {}
    void Ended(const XmlRpcMethod& message, Outcome outcome) override {
        if (message.methodType == kAuthenticate && outcome == kAnswered) {
            std::this_thread::sleep_until(until_);
        }
    }

  private:
    Clock::time_point until_;
};

// The authentication succeeds, with a notification right behind it, around the moment Connect's
// wait runs out (time-out + 5 s, less its last 100 ms step): either Connect succeeds and the
// notification follows, or it fails and nothing follows it, and it returns in time either way.
TEST(ControlReconnect, AConnectThatGivesUpHearsNothingAfterwards) {
    for (auto offset : {-5ms, 5ms}) {
        FakePeer peer;
        CVoxtrelCtrl control;
        RecordingEvents events(control);
        auto start = Clock::now();
        AuthenticationHold hold(start + 5900ms + offset);
        control.SetSessionAccounting(&hold);
        std::thread service([&] {
            std::string request;
            if (!peer.Accept() || !peer.NextMessage(request)) return;
            peer.Send(AuthenticateAnswer(true) +
                      Notification("callstatechanged", StringParam("7") + IntParam(3)));
        });
        bool connected =
            control.Connect("127.0.0.1", static_cast<int16_t>(peer.Port()), 1, "u", "p");
        double seconds = SecondsSince(start);
        service.join();
        EXPECT_LT(seconds, 6.1) << offset.count();
        Events after = events.PumpFor(1, 0.5);
        if (connected) {
            EXPECT_EQ(after, Events{"CallStateChanged 7 3"}) << offset.count();
        } else {
            EXPECT_EQ(after, Events{}) << offset.count();
        }
        control.Disconnect();
        control.SetSessionAccounting(nullptr);
    }
}

}  // namespace
}  // namespace voxtrel
