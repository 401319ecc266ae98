// The reconnect supervisor against the simulator: what a new connection has again after a loss,
// and the back-off against a service that stays away.
#include "control/reconnect_supervisor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "pbx/pbx_simulator.h"
#include "recording_events.h"

namespace voxtrel {
namespace {

using namespace voxtrel::testing;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

struct Supervised {
    pbx::PbxSimulator pbx;
    CVoxtrelCtrl control;
    RecordingEvents events{control};
    ReconnectSupervisor supervisor{control};

    explicit Supervised(ReconnectPolicy policy) {
        supervisor.SetEventSink(&events);
        supervisor.SetPolicy(policy);
        events.pump = [this](int ms) { return supervisor.PumpEvents(ms); };
        pbx.Start({});
    }
    bool Connect() {
        return supervisor.Connect("127.0.0.1", static_cast<int16_t>(pbx.Port()), 5, "demo", "demo");
    }
    std::string Command(const std::string& line) {
        std::string reply;
        pbx.Command(line, reply);
        return reply;
    }
    // Pumps until an event line starting with prefix arrives; the lines until then.
    Events Until(const std::string& prefix, double seconds = 5) {
        auto deadline = Clock::now() + milliseconds(static_cast<int>(seconds * 1000));
        size_t seen = 0;
        while (Clock::now() < deadline) {
            for (; seen < events.events.size(); ++seen) {
                if (events.events[seen].starts_with(prefix)) {
                    auto end = events.events.begin() + static_cast<std::ptrdiff_t>(seen + 1);
                    Events got(events.events.begin(), end);
                    events.events.erase(events.events.begin(), end);
                    return got;
                }
            }
            supervisor.PumpEvents(20);
        }
        return events.events;
    }
};

// After the service closed the connection, or dropped it mid-stream, the extension taken over is
// offered calls again and the new subscription, reported beside the old one, receives mail.
TEST(Reconnect, RestoresTakeOverAndSubscriptionAfterALoss) {
    for (const char* loss : {"close", "chaos close 100"}) {
        SCOPED_TRACE(loss);
        Supervised s({milliseconds(100), milliseconds(1000), 0});
        ASSERT_TRUE(s.Connect());
        ASSERT_TRUE(s.supervisor.IncomingCallHandling("300", 1));
        std::string old = s.supervisor.SubscribeToVoiceMail("300");
        ASSERT_NE(old, "0");
        s.Until("SubscriptionConfirmed");
        s.Command(loss);
        // A message read under chaos closes the connection; the next try must find it calm.
        if (std::string(loss) != "close") s.control.CreateCall("pbx:1", "pbx:2");
        Events lost = s.Until("Disconnected");
        ASSERT_EQ(lost.back(), "Disconnected");
        s.Command("chaos off");
        Events back = s.Until("Reconnected");
        ASSERT_EQ(back.size(), 3u) << ::testing::PrintToString(back);
        EXPECT_EQ(back[0], "Reconnecting 1 100");
        ASSERT_TRUE(back[1].starts_with("Resubscribed 300 " + old + " "));
        std::string renewed = back[1].substr(back[1].rfind(' ') + 1);
        EXPECT_NE(renewed, old);
        EXPECT_EQ(back[2], "Reconnected");
        EXPECT_EQ(s.Until("SubscriptionConfirmed").back(),
                  "SubscriptionConfirmed " + renewed + " 1 0");

        std::string offered = s.Command("offer 300 pbx:555");
        EXPECT_TRUE(s.Until("CallArrived").back().starts_with("CallArrived " + offered + " "));
        s.Command("mail " + renewed + " pbx:555 12 7");
        EXPECT_TRUE(
            s.Until("MailArrived").back().starts_with("MailArrived " + renewed + " pbx:555"));
        // What the host gave back stays given back.
        ASSERT_TRUE(s.supervisor.IncomingCallHandling("300", 0));
        ASSERT_TRUE(s.supervisor.Unsubscribe(renewed));
        s.Command("close");
        Events again = s.Until("Reconnected");
        EXPECT_EQ(again.back(), "Reconnected");
        EXPECT_TRUE(std::ranges::none_of(
            again, [](const std::string& line) { return line.starts_with("Resubscribed"); }));
    }
}

// Against a service that stays away: each try comes no sooner than its announced delay, which
// grows from the minimum to the maximum, until the attempts run out.
TEST(Reconnect, BacksOffAgainstAServiceThatStaysDown) {
    Supervised s({milliseconds(40), milliseconds(200), 6});
    ASSERT_TRUE(s.Connect());
    s.pbx.Stop();
    s.Until("Disconnected");
    std::vector<int> delays;
    std::vector<Clock::time_point> announced;
    s.events.onEvent = [&](const std::string& line) {
        if (!line.starts_with("Reconnecting")) return;
        announced.push_back(Clock::now());
        delays.push_back(std::stoi(line.substr(line.rfind(' ') + 1)));
    };
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (s.supervisor.NextTimeoutMs() >= 0 && Clock::now() < deadline)
        s.supervisor.PumpEvents(20);
    EXPECT_EQ(s.supervisor.NextTimeoutMs(), -1);
    ASSERT_EQ(delays.size(), 5u);  // the first was announced inside the Disconnected wait
    for (size_t i = 0; i < delays.size(); ++i) {
        EXPECT_GE(delays[i], 40);
        EXPECT_LE(delays[i], 200);
        if (i > 0) {
            EXPECT_TRUE(delays[i] > delays[i - 1] || delays[i] >= 150) << delays[i];
            // The try between two announcements waited at least the earlier delay.
            EXPECT_GE(announced[i] - announced[i - 1], milliseconds(delays[i - 1]));
        }
    }
}

// The host's own Disconnect stops the tries; its own Connect from the Disconnected handler
// leaves the supervisor out.
TEST(Reconnect, TheHostDecidesFirst) {
    Supervised s({milliseconds(50), milliseconds(50), 0});
    ASSERT_TRUE(s.Connect());
    s.Command("close");
    s.Until("Disconnected");
    EXPECT_GE(s.supervisor.NextTimeoutMs(), 0);
    s.supervisor.Disconnect();
    EXPECT_EQ(s.supervisor.NextTimeoutMs(), -1);
    EXPECT_EQ(s.supervisor.PumpEvents(200), 0);

    ASSERT_TRUE(s.Connect());
    s.events.onEvent = [&](const std::string& line) {
        if (line == "Disconnected") s.Connect();
    };
    s.Command("close");
    s.Until("Disconnected");
    EXPECT_EQ(s.supervisor.NextTimeoutMs(), -1);
    EXPECT_NE(s.control.CreateCall("pbx:1", "pbx:2"), "0");
}

// A host whose thread must not block makes the due try itself, on another thread while its own
// leaves the control alone; its pump then only reports.
TEST(Reconnect, TriesMadeByTheHost) {
    Supervised s({milliseconds(30), milliseconds(30), 0, true});
    ASSERT_TRUE(s.Connect());
    s.Command("close");
    s.Until("Reconnecting");
    EXPECT_EQ(s.supervisor.PumpEvents(100), 0);
    EXPECT_EQ(s.supervisor.NextTimeoutMs(), 0);
    int made = -2;
    std::thread([&] { made = s.supervisor.MakeDueTry(); }).join();
    EXPECT_EQ(made, 1);
    EXPECT_EQ(s.supervisor.MakeDueTry(), -1);
    EXPECT_EQ(s.Until("Reconnected").back(), "Reconnected");
}

}  // namespace
}  // namespace voxtrel
