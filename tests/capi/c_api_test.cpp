// The C interface through libvoxtrel itself: refusals, null safety, id buffers, every event
// through its callback with the user pointer, the drop rules, threads and release from inside a
// callback.
#include "voxtrel/voxtrel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capi_test_support.h"

extern "C" int voxtrel_c89_refusals(void);

namespace {

using namespace voxtrel::capi_testing;

// Every function refuses a null handle, and a control that is not connected, with null texts:
// the null handle must not be followed, nor a null text read.
TEST(CApiMethods, RefusedWithoutAHandleAndBeforeConnectWithNullTexts) {
    EXPECT_STREQ(voxtrel_version(), "1.0.0.1");
    voxtrel_control* created = voxtrel_create();
    ASSERT_NE(created, nullptr);
    for (voxtrel_control* control : {static_cast<voxtrel_control*>(nullptr), created}) {
        char id[VOXTREL_ID_SIZE] = "x";
        EXPECT_EQ(voxtrel_connect(control, nullptr, 0, 1, nullptr, nullptr), 0);
        EXPECT_EQ(voxtrel_disconnect(control), 0);
        EXPECT_EQ(voxtrel_create_call(control, nullptr, nullptr, id, sizeof id), 0);
        EXPECT_STREQ(id, "0");
        std::strcpy(id, "x");
        EXPECT_EQ(voxtrel_subscribe_to_voice_mail(control, nullptr, id, sizeof id), 0);
        EXPECT_STREQ(id, "0");
        EXPECT_EQ(voxtrel_close_call(control, nullptr), 0);
        EXPECT_EQ(voxtrel_transfer_call(control, nullptr, nullptr), 0);
        EXPECT_EQ(voxtrel_join_calls(control, nullptr, nullptr), 0);
        EXPECT_EQ(voxtrel_unjoin_calls(control, nullptr, nullptr), 0);
        EXPECT_EQ(voxtrel_play_message(control, nullptr, nullptr, -1), 0);
        EXPECT_EQ(voxtrel_enable_dtmf_detection(control, nullptr, 1), 0);
        EXPECT_EQ(voxtrel_incoming_call_handling(control, nullptr, 1), 0);
        EXPECT_EQ(voxtrel_accept_call(control, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(voxtrel_reject_call(control, nullptr), 0);
        EXPECT_EQ(voxtrel_forward_call(control, nullptr, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(voxtrel_unsubscribe(control, nullptr), 0);
    }
    EXPECT_EQ(voxtrel_on_call_state_changed(nullptr, Record<kCallStateChanged>, nullptr), 0);
    EXPECT_EQ(voxtrel_on_disconnected(nullptr, Record<kDisconnected>, nullptr), 0);
    EXPECT_EQ(voxtrel_pump(nullptr, 10), -1);
    EXPECT_EQ(voxtrel_event_descriptor(nullptr), -1);
    EXPECT_EQ(voxtrel_create_window(nullptr), 0);
    EXPECT_EQ(voxtrel_has_window(nullptr), 0);
    voxtrel_destroy_window(nullptr);
    voxtrel_destroy(nullptr);
    EXPECT_EQ(voxtrel_c89_refusals(), 0);
    voxtrel_destroy(created);
}

TEST(CApiMethods, IdsAreWrittenIntoTheCallersBuffer) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    std::string m;
    char small[VOXTREL_ID_SIZE - 1];
    std::memset(small, 'x', sizeof small);
    // Too short for every id: refused before anything is sent.
    EXPECT_EQ(voxtrel_create_call(c.control, "pbx:1", "pbx:2", small, sizeof small), 0);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(voxtrel_create_call(c.control, "pbx:1", "pbx:2", nullptr, VOXTREL_ID_SIZE), 0);
    char id[VOXTREL_ID_SIZE];
    ASSERT_EQ(voxtrel_create_call(c.control, "pbx:1", "pbx:2", id, sizeof id), 1);
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_EQ(MethodOf(m), "createcall");
    EXPECT_EQ(FirstString(m), id);
    EXPECT_EQ(voxtrel_create_call(c.control, "pbx:1", "200", id, sizeof id), 0);
    EXPECT_STREQ(id, "0");
}

TEST(CApiEvents, EveryEventReachesItsCallbackWithTheUserPointerOnTheHostThread) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    char subscription[VOXTREL_ID_SIZE];
    ASSERT_EQ(voxtrel_subscribe_to_voice_mail(c.control, "100", subscription, sizeof subscription),
              1);
    std::string m;
    ASSERT_TRUE(c.peer.NextMessage(m));
    c.peer.Send(SubscribeAnswer(subscription, true, 4));
    c.peer.Send(Notification("callstatechanged", StringParam("42") + IntParam(3)) +
                Notification("callstatechanged", StringParam("42") + IntParam(65537)) +
                Notification("dtmfdigitdetected", StringParam("42") + IntParam(0xE9)) +
                Notification("messageplayed", StringParam("42")));
    c.peer.Send(CallOffer("SIP:a@h:5060", "pbx:2", "9", "55"));
    c.peer.Send(MailNotice(subscription, "tel:5", "2006-05-04 13:02:01", 12, 3));
    std::string sub = subscription;
    EXPECT_EQ(PumpFor(c.control, c.recorder, 7),
              (Events{"SubscriptionConfirmed " + sub + " 1 4", "CallStateChanged 42 3",
                      "CallStateChanged 42 1", "DtmfDigitReceived 42 -23", "MessagePlayed 42",
                      "CallArrived 55 sip:a@h:5060 pbx:2 9",
                      "MailArrived " + sub + " tel:5 2006-05-04 13:02:01 12 3"}));
    char id[VOXTREL_ID_SIZE];
    ASSERT_EQ(voxtrel_create_call(c.control, "pbx:1", "pbx:2", id, sizeof id), 1);
    ASSERT_TRUE(c.peer.NextMessage(m));  // the acknowledgements and the call, in some order
    while (MethodOf(m) != "createcall")
        ASSERT_TRUE(c.peer.NextMessage(m));
    c.peer.Send(FaultAnswer(7, "busy"));
    c.peer.CloseConnection();
    EXPECT_EQ(PumpFor(c.control, c.recorder, 9).size(), 9u);
    ASSERT_EQ(c.recorder.events.size(), 9u);
    EXPECT_EQ(c.recorder.events[7], "RequestFailed " + std::string(id) + " 7 busy");
    EXPECT_EQ(c.recorder.events[8], "Disconnected");
    for (size_t i = 0; i < c.recorder.events.size(); ++i) {
        EXPECT_EQ(c.recorder.users[i], &c.recorder) << i;
        EXPECT_EQ(c.recorder.threads[i], std::this_thread::get_id()) << i;
    }
}

// Without a window there is no descriptor to poll (the Python package's suite polls one); an event
// whose callback is null is dropped.
TEST(CApiEvents, NoDescriptorWithoutAWindowNorEventWithoutACallback) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    voxtrel_destroy_window(c.control);
    EXPECT_EQ(voxtrel_has_window(c.control), 0);
    EXPECT_EQ(voxtrel_event_descriptor(c.control), -1);
    EXPECT_EQ(voxtrel_create_window(c.control), 1);
    EXPECT_EQ(voxtrel_create_window(c.control), 0);
    ASSERT_EQ(voxtrel_on_call_state_changed(c.control, nullptr, nullptr), 1);
    c.peer.Send(Notification("callstatechanged", StringParam("2") + IntParam(3)) +
                Notification("messageplayed", StringParam("2")));
    EXPECT_EQ(PumpFor(c.control, c.recorder, 1), Events{"MessagePlayed 2"});
    // A negative time-out looks only; it never waits without bound.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(voxtrel_pump(c.control, -1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(CApiThreads, AnotherThreadIsRefusedButMayDestroy) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    std::thread other([&] {
        EXPECT_EQ(voxtrel_close_call(c.control, "1"), 0);
        EXPECT_EQ(voxtrel_pump(c.control, 0), -1);
        EXPECT_EQ(voxtrel_on_message_played(c.control, nullptr, nullptr), 0);
    });
    other.join();
    c.peer.Send(Notification("messageplayed", StringParam("1")));
    EXPECT_EQ(PumpFor(c.control, c.recorder, 1), Events{"MessagePlayed 1"});
    // Released on a thread of its own while the worker waits on the host for a delivery.
    c.peer.Send(Notification("messageplayed", StringParam("2")));
    std::string m;
    ASSERT_TRUE(c.peer.NextMessage(m));
    voxtrel_control* control = c.control;
    c.control = nullptr;
    auto start = std::chrono::steady_clock::now();
    std::thread([control] { voxtrel_destroy(control); }).join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

// Reconnecting through the C interface: connect from a thread other than the host's while the
// host leaves the control alone, the supervisor's callbacks with their user pointer, and the
// subscription made again on the new connection.
TEST(CApiReconnect, ALostConnectionComesBackWithItsSubscription) {
    FakePeer peer;
    voxtrel_control* control = voxtrel_create();
    Recorder recorder;
    SetAllCallbacks(control, &recorder);
    EXPECT_EQ(voxtrel_next_timeout(control), -1);
    ASSERT_EQ(voxtrel_set_reconnect(control, 30, 60, 0, Record<kReconnecting>, Record<kReconnected>,
                                    &recorder),
              1);
    ASSERT_EQ(voxtrel_on_resubscribed(control, Record<kResubscribed>, &recorder), 1);
    int ok = 0;
    std::thread connecting([&] {
        ok = voxtrel_connect(control, "127.0.0.1", static_cast<short>(peer.Port()), 5, "u", "p");
    });
    EXPECT_TRUE(peer.Authenticate(true));
    connecting.join();
    ASSERT_EQ(ok, 1);
    char old[VOXTREL_ID_SIZE];
    ASSERT_EQ(voxtrel_subscribe_to_voice_mail(control, "300", old, sizeof old), 1);
    std::string m;
    ASSERT_TRUE(peer.NextMessage(m));
    peer.CloseConnection();
    std::thread service([&] {
        EXPECT_TRUE(peer.Authenticate(true));
        EXPECT_TRUE(peer.NextMessage(m));
    });
    Events events = PumpFor(control, recorder, 5);
    service.join();
    ASSERT_EQ(events.size(), 5u) << ::testing::PrintToString(events);
    EXPECT_EQ(events[0], std::string("RequestFailed ") + old + " 102 Connection closed remotely");
    EXPECT_EQ(events[1], "Disconnected");
    EXPECT_EQ(events[2], "Reconnecting 1 30");
    EXPECT_TRUE(events[3].starts_with(std::string("Resubscribed 300 ") + old + " "));
    EXPECT_EQ(events[4], "Reconnected");
    EXPECT_EQ(MethodOf(m), "subscribe");
    for (void* user : recorder.users)
        EXPECT_EQ(user, &recorder);
    EXPECT_EQ(voxtrel_disconnect(control), 1);
    EXPECT_EQ(voxtrel_next_timeout(control), -1);
    voxtrel_destroy(control);
}

TEST(CApiLifetime, DestroyedFromInsideACallback) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    voxtrel_control* control = c.DestroyInsideTheFirstOfThreeEvents();
    // The control goes when the pump that ran the callback returns; the events behind the
    // first are dropped with it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (c.recorder.events.empty() && std::chrono::steady_clock::now() < deadline) {
        if (voxtrel_pump(control, 20) != 0) break;
    }
    EXPECT_EQ(c.recorder.events, Events{"CallStateChanged 1 3"});
}

// Each traced document as its direction and method, marked when it is not zero-terminated, keeps
// its terminator or is not timed by the UTC clock.
void RecordTrace(void* user, int direction, double time, const char* document, size_t length) {
    std::string text(document, length);
    double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    bool sound =
        document[length] == '\0' && !text.ends_with("\r\n\r\n") && now - time < 10 && now >= time;
    static_cast<Events*>(user)->push_back(static_cast<char>(direction) + MethodOf(text) +
                                          (sound ? "" : " unsound"));
}

TEST(CApiTrace, SentAndReceivedDocumentsUntilSwitchedOff) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    Events trace;
    EXPECT_EQ(voxtrel_set_trace(nullptr, RecordTrace, &trace), 0);
    ASSERT_EQ(voxtrel_set_trace(c.control, RecordTrace, &trace), 1);
    c.peer.Send(Notification("messageplayed", StringParam("1")));
    EXPECT_EQ(PumpFor(c.control, c.recorder, 1), Events{"MessagePlayed 1"});
    ASSERT_EQ(voxtrel_set_trace(c.control, nullptr, &trace), 1);
    c.peer.Send(Notification("messageplayed", StringParam("2")));
    EXPECT_EQ(PumpFor(c.control, c.recorder, 2).size(), 2u);
    EXPECT_EQ(trace, (Events{"<messageplayed", ">"}));
}

}  // namespace
