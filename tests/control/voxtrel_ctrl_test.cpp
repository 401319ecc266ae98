// The control through its methods and events: conversions, delivery on the host's thread, and
// the rules that drop events.
#include "control/voxtrel_ctrl.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

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

TEST(ControlMethods, RefuseBeforeConnect) {
    CVoxtrelCtrl control;
    EXPECT_FALSE(control.Disconnect());
    EXPECT_EQ(control.CreateCall("pbx:1", "pbx:2"), "0");
    EXPECT_EQ(control.SubscribeToVoiceMail("100"), "0");
    EXPECT_FALSE(control.CloseCall("1"));
    EXPECT_FALSE(control.TransferCall("1", "pbx:2"));
    EXPECT_FALSE(control.JoinCalls("1", "2"));
    EXPECT_FALSE(control.UnjoinCalls("1", "2"));
    EXPECT_FALSE(control.PlayMessage("1", "f", 1));
    EXPECT_FALSE(control.EnableDtmfDetection("1", 1));
    EXPECT_FALSE(control.IncomingCallHandling("100", 1));
    EXPECT_FALSE(control.AcceptCall("1", "", ""));
    EXPECT_FALSE(control.RejectCall("1"));
    EXPECT_FALSE(control.ForwardCall("1", "pbx:2", "", ""));
    EXPECT_FALSE(control.Unsubscribe("1"));
}

TEST(ControlMethods, ArgumentConversions) {
    Connected c;
    ASSERT_TRUE(c.ok);
    std::string m;
    EXPECT_TRUE(c.control.CloseCall(""));
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_EQ(FirstString(m), "0");
    EXPECT_TRUE(c.control.CloseCall("1a"));
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_EQ(FirstString(m), std::to_string(10 + ('a' - '0')));
    EXPECT_TRUE(c.control.PlayMessage("5", "f.wav", -1));
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_NE(m.find("<value><int>-1</int></value>"), std::string::npos);
    EXPECT_TRUE(c.control.EnableDtmfDetection("5", 2));
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_NE(m.find("<value><boolean>0</boolean></value>"), std::string::npos);
    std::string id = c.control.CreateCall("pbx:1", "PBX:2");
    EXPECT_NE(id, "0");
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_EQ(FirstString(m), id);
    EXPECT_EQ(c.control.CreateCall("pbx:1", "200"), "0");
    EXPECT_FALSE(c.control.ForwardCall("5", "200", "", ""));
    EXPECT_FALSE(c.control.Connect("127.0.0.1", static_cast<int16_t>(c.peer.Port()), 5, "u", "p"));
}

TEST(ControlMethods, PortIsTakenUnsigned) {
    CVoxtrelCtrl control;
    // Port 65535 on loopback has no listener: the attempt fails, it does not throw or hang.
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(control.Connect("127.0.0.1", -1, 1, "u", "p"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(7));
}

TEST(ControlEvents, DeliveredOnTheHostThreadInOrderWithLow16Bits) {
    Connected c;
    ASSERT_TRUE(c.ok);
    c.peer.Send(Notification("callstatechanged", StringParam("42") + IntParam(3)) +
                Notification("callstatechanged", StringParam("42") + IntParam(65537)) +
                Notification("dtmfdigitdetected", StringParam("42") + IntParam(0xE9)) +
                Notification("messageplayed", StringParam("42")));
    Events events = c.events.PumpFor(4);
    EXPECT_EQ(events, (Events{"CallStateChanged 42 3", "CallStateChanged 42 1",
                              "DtmfDigitReceived 42 -23", "MessagePlayed 42"}));
    EXPECT_EQ(c.events.seenOn, std::this_thread::get_id());
}

TEST(ControlEvents, OffersMailAndFaults) {
    Connected c;
    ASSERT_TRUE(c.ok);
    std::string id = c.control.CreateCall("pbx:1", "pbx:2");
    std::string m;
    ASSERT_TRUE(c.peer.NextMessage(m));
    c.peer.Send(FaultAnswer(7, "busy"));
    c.peer.Send(CallOffer("SIP:a@h:5060", "pbx:2", "9", "55"));
    c.peer.Send(MailNotice("77", "tel:5", "2006-05-04 13:02:01", 12, 3));
    EXPECT_EQ(c.events.PumpFor(3),
              (Events{"RequestFailed " + id + " 7 busy", "CallArrived 55 sip:a@h:5060 pbx:2 9",
                      "MailArrived 77 tel:5 2006-05-04 13:02:01 12 3"}));
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

TEST(ControlEvents, NothingAfterDisconnectNorWithoutAWindow) {
    Connected c;
    ASSERT_TRUE(c.ok);
    c.control.CreateCall("pbx:1", "pbx:2");
    std::string m;
    ASSERT_TRUE(c.peer.NextMessage(m));
    c.control.DestroyControlWindow();
    EXPECT_FALSE(c.control.HasControlWindow());
    c.peer.Send(Notification("callstatechanged", StringParam("1") + IntParam(3)));
    ASSERT_TRUE(c.peer.NextMessage(m));  // acknowledged, though nobody sees it
    EXPECT_EQ(c.control.PumpEvents(100), 0);
    EXPECT_TRUE(c.control.CreateControlWindow());
    EXPECT_FALSE(c.control.CreateControlWindow());
    EXPECT_TRUE(c.control.Disconnect());
    EXPECT_EQ(c.events.PumpFor(1, 0.3), Events{});
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

TEST(ControlEvents, TheDescriptorPollsReadableWhileAnEventWaits) {
    Connected c;
    ASSERT_TRUE(c.ok);
    int descriptor = c.control.EventDescriptor();
    ASSERT_GE(descriptor, 0);
    c.peer.Send(Notification("messageplayed", StringParam("1")));
    pollfd entry{descriptor, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 5000), 1);
    EXPECT_EQ(c.control.PumpEvents(0), 1);
    EXPECT_EQ(c.events.events, Events{"MessagePlayed 1"});
}

TEST(ControlLifetime, DestroyedWhileTheWorkerWaitsOnTheHost) {
    auto start = std::chrono::steady_clock::now();
    {
        Connected c;
        ASSERT_TRUE(c.ok);
        c.peer.Send(Notification("messageplayed", StringParam("1")) +
                    Notification("messageplayed", StringParam("2")));
        std::string m;
        ASSERT_TRUE(c.peer.NextMessage(m));
        // Nobody pumps: the worker waits in the first delivery when the control goes.
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
}  // namespace voxtrel

namespace voxtrel {
namespace {

TEST(ControlLifetime, ReconnectsFromInsideTheDisconnectedHandler) {
    Connected c;
    ASSERT_TRUE(c.ok);
    bool reconnected = false;
    std::thread service;
    c.events.onEvent = [&](const std::string& line) {
        if (line != "Disconnected") return;
        service = std::thread([&] { c.peer.Authenticate(true); });
        reconnected =
            c.control.Connect("127.0.0.1", static_cast<int16_t>(c.peer.Port()), 5, "u", "p");
    };
    c.peer.CloseConnection();
    c.events.PumpFor(1);
    if (service.joinable()) service.join();
    EXPECT_TRUE(reconnected);
    c.events.onEvent = nullptr;
}

}  // namespace
}  // namespace voxtrel
