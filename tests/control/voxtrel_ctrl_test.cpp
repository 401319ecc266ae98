// The control through its C++ class: argument conversions and handlers that call back into it.
#include "control/voxtrel_ctrl.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <string>
#include <thread>

#include "../session/fake_peer.h"
#include "recording_events.h"

namespace voxtrel {
namespace {

using namespace voxtrel::testing;

struct Connected {
    FakePeer peer;
    CVoxtrelCtrl control;
    RecordingEvents events{control};
    bool ok = false;

    Connected() {
        std::thread service([&] { peer.Authenticate(true); });
        ok = control.Connect("127.0.0.1", static_cast<int16_t>(peer.Port()), 5, "u", "p");
        service.join();
    }
};

// An id is read digit by digit, any character counting by its distance from '0'; an address that
// is no party address is refused before anything is sent.
TEST(ControlMethods, ArgumentConversions) {
    Connected c;
    ASSERT_TRUE(c.ok);
    std::string m;
    EXPECT_TRUE(c.control.CloseCall("1a"));
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_EQ(FirstString(m), std::to_string(10 + ('a' - '0')));
    // Only 1 is a true BOOL here (the ActiveX control takes a script's 2 as true instead).
    EXPECT_TRUE(c.control.EnableDtmfDetection("5", 2));
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_NE(m.find("<value><boolean>0</boolean></value>"), std::string::npos);
    EXPECT_FALSE(c.control.ForwardCall("5", "200", "", ""));
    std::string id = c.control.CreateCall("pbx:1", "PBX:2");
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_EQ(FirstString(m), id);
    EXPECT_NE(m.find("<string>pbx:2</string>"), std::string::npos);
}

TEST(ControlEvents, RemoteCloseReportsOutstandingRequestsThenDisconnected) {
    Connected c;
    ASSERT_TRUE(c.ok);
    std::string first = c.control.CreateCall("pbx:1", "pbx:2");
    std::string m;
    ASSERT_TRUE(c.peer.NextMessage(m));
    c.peer.CloseConnection();
    EXPECT_EQ(
        c.events.PumpFor(2),
        (Events{"RequestFailed " + first + " 102 Connection closed remotely", "Disconnected"}));
}

TEST(ControlEvents, MethodsAndDisconnectFromInsideAnEventHandler) {
    Connected c;
    ASSERT_TRUE(c.ok);
    c.events.onEvent = [&](const std::string& line) {
        if (line.rfind("CallStateChanged", 0) == 0) {
            c.control.CloseCall("42");
            // Another notification is on its way behind this one; Disconnect must not wait on it.
            EXPECT_TRUE(c.control.Disconnect());
        }
    };
    c.peer.Send(Notification("callstatechanged", StringParam("42") + IntParam(3)) +
                Notification("callstatechanged", StringParam("43") + IntParam(4)));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.events.PumpFor(1), Events{"CallStateChanged 42 3"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(c.events.PumpFor(2, 0.3).size(), 1u);
}

// The descriptor polls readable exactly while an event waits for a host outside PumpEvents. A host
// waiting inside is woken at once, and no ring outlives the events that PumpEvents handled.
TEST(ControlEvents, TheDescriptorPollsReadableExactlyWhileAnEventWaitsOutsidePumping) {
    Connected c;
    ASSERT_TRUE(c.ok);
    pollfd entry{c.control.EventDescriptor(), POLLIN, 0};
    for (int inside : {1, 0, 1, 0}) {
        std::thread service([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50 * inside));
            c.peer.Send(Notification("messageplayed", StringParam("7")));
        });
        auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(inside || poll(&entry, 1, 5000) == 1);
        EXPECT_EQ(c.control.PumpEvents(inside * 5000), 1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(poll(&entry, 1, 50), 0);
        service.join();
    }
}

}  // namespace
}  // namespace voxtrel
