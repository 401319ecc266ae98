// The C interface through libvoxtrel itself: refusals, null safety, id buffers, every event
// through its callback with the user pointer, the drop rules, threads and release from inside a
// callback.
#include "voxtrel/voxtrel.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../session/fake_peer.h"

extern "C" int voxtrel_c89_refusals(void);

namespace {

using namespace voxtrel::testing;
using Events = std::vector<std::string>;

// What the callbacks saw: one line per event, the user pointers and the threads they ran on.
struct Recorder {
    Events events;
    std::vector<void*> users;
    std::vector<std::thread::id> threads;
    voxtrel_control* destroyOnFirst = nullptr;

    void Add(void* user, const std::string& line) {
        users.push_back(user);
        threads.push_back(std::this_thread::get_id());
        events.push_back(line);
    }
};

Recorder* From(void* user) {
    return static_cast<Recorder*>(user);
}

std::string Str(const char* text) {
    return text == nullptr ? "(null)" : text;
}

void OnCallStateChanged(void* user, const char* callId, short state) {
    Recorder* recorder = From(user);
    recorder->Add(user, "CallStateChanged " + Str(callId) + " " + std::to_string(state));
    if (recorder->destroyOnFirst != nullptr) {
        voxtrel_control* control = recorder->destroyOnFirst;
        recorder->destroyOnFirst = nullptr;
        // A nested pump leaving must not free the control that the outer one still uses.
        EXPECT_EQ(voxtrel_pump(control, 0), 0);
        voxtrel_destroy(control);
        voxtrel_destroy(control);
        // Released: refused from now on, yet still safe to name until the pump returns.
        EXPECT_EQ(voxtrel_close_call(control, "1"), 0);
        EXPECT_EQ(voxtrel_pump(control, 0), -1);
    }
}
void OnMessagePlayed(void* user, const char* callId) {
    From(user)->Add(user, "MessagePlayed " + Str(callId));
}
void OnDtmf(void* user, const char* callId, short digit) {
    From(user)->Add(user, "DtmfDigitReceived " + Str(callId) + " " + std::to_string(digit));
}
void OnRequestFailed(void* user, const char* callId, int code, const char* text) {
    From(user)->Add(user,
                    "RequestFailed " + Str(callId) + " " + std::to_string(code) + " " + Str(text));
}
void OnDisconnected(void* user) {
    From(user)->Add(user, "Disconnected");
}
void OnCallArrived(void* user, const char* callId, const char* caller, const char* callee,
                   const char* origin) {
    From(user)->Add(user, "CallArrived " + Str(callId) + " " + Str(caller) + " " + Str(callee) +
                              " " + Str(origin));
}
void OnMailArrived(void* user, const char* subscrId, const char* caller, const char* time,
                   int duration, int id) {
    From(user)->Add(user, "MailArrived " + Str(subscrId) + " " + Str(caller) + " " + Str(time) +
                              " " + std::to_string(duration) + " " + std::to_string(id));
}
void OnSubscriptionConfirmed(void* user, const char* subscrId, int confirmed, int code) {
    From(user)->Add(user, "SubscriptionConfirmed " + Str(subscrId) + " " +
                              std::to_string(confirmed) + " " + std::to_string(code));
}

void SetAllCallbacks(voxtrel_control* control, Recorder* recorder) {
    ASSERT_EQ(voxtrel_on_call_state_changed(control, OnCallStateChanged, recorder), 1);
    ASSERT_EQ(voxtrel_on_message_played(control, OnMessagePlayed, recorder), 1);
    ASSERT_EQ(voxtrel_on_dtmf_digit_received(control, OnDtmf, recorder), 1);
    ASSERT_EQ(voxtrel_on_request_failed(control, OnRequestFailed, recorder), 1);
    ASSERT_EQ(voxtrel_on_disconnected(control, OnDisconnected, recorder), 1);
    ASSERT_EQ(voxtrel_on_call_arrived(control, OnCallArrived, recorder), 1);
    ASSERT_EQ(voxtrel_on_mail_arrived(control, OnMailArrived, recorder), 1);
    ASSERT_EQ(voxtrel_on_subscription_confirmed(control, OnSubscriptionConfirmed, recorder), 1);
}

// Pumps until count events were recorded or seconds passed.
Events PumpFor(voxtrel_control* control, const Recorder& recorder, size_t count,
               double seconds = 5) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    while (recorder.events.size() < count && std::chrono::steady_clock::now() < deadline) {
        voxtrel_pump(control, 20);
    }
    return recorder.events;
}

struct Connected {
    FakePeer peer;
    voxtrel_control* control = voxtrel_create();
    Recorder recorder;
    int ok = 0;

    Connected() {
        SetAllCallbacks(control, &recorder);
        std::thread service([&] { peer.Authenticate(true); });
        ok = voxtrel_connect(control, "127.0.0.1", static_cast<short>(peer.Port()), 5, "u", "p");
        service.join();
    }
    ~Connected() { voxtrel_destroy(control); }
    Connected(const Connected&) = delete;
    Connected& operator=(const Connected&) = delete;
};

TEST(CApiHandle, VersionAndNullHandleRefusedEverywhere) {
    EXPECT_STREQ(voxtrel_version(), "1.0.0.1");
    char id[VOXTREL_ID_SIZE] = "x";
    EXPECT_EQ(voxtrel_connect(nullptr, "127.0.0.1", 1, 1, "u", "p"), 0);
    EXPECT_EQ(voxtrel_disconnect(nullptr), 0);
    EXPECT_EQ(voxtrel_create_call(nullptr, "pbx:1", "pbx:2", id, sizeof id), 0);
    EXPECT_STREQ(id, "0");
    std::strcpy(id, "x");
    EXPECT_EQ(voxtrel_subscribe_to_voice_mail(nullptr, "100", id, sizeof id), 0);
    EXPECT_STREQ(id, "0");
    EXPECT_EQ(voxtrel_close_call(nullptr, "1"), 0);
    EXPECT_EQ(voxtrel_transfer_call(nullptr, "1", "pbx:2"), 0);
    EXPECT_EQ(voxtrel_join_calls(nullptr, "1", "2"), 0);
    EXPECT_EQ(voxtrel_unjoin_calls(nullptr, "1", "2"), 0);
    EXPECT_EQ(voxtrel_play_message(nullptr, "1", "f", 1), 0);
    EXPECT_EQ(voxtrel_enable_dtmf_detection(nullptr, "1", 1), 0);
    EXPECT_EQ(voxtrel_incoming_call_handling(nullptr, "100", 1), 0);
    EXPECT_EQ(voxtrel_accept_call(nullptr, "1", "", ""), 0);
    EXPECT_EQ(voxtrel_reject_call(nullptr, "1"), 0);
    EXPECT_EQ(voxtrel_forward_call(nullptr, "1", "pbx:2", "", ""), 0);
    EXPECT_EQ(voxtrel_unsubscribe(nullptr, "1"), 0);
    EXPECT_EQ(voxtrel_on_call_state_changed(nullptr, OnCallStateChanged, nullptr), 0);
    EXPECT_EQ(voxtrel_on_disconnected(nullptr, OnDisconnected, nullptr), 0);
    EXPECT_EQ(voxtrel_pump(nullptr, 10), -1);
    EXPECT_EQ(voxtrel_event_descriptor(nullptr), -1);
    EXPECT_EQ(voxtrel_create_window(nullptr), 0);
    EXPECT_EQ(voxtrel_has_window(nullptr), 0);
    voxtrel_destroy_window(nullptr);
    voxtrel_destroy(nullptr);
}

TEST(CApiMethods, EveryMethodRefusedBeforeConnectWithNullTexts) {
    voxtrel_control* control = voxtrel_create();
    ASSERT_NE(control, nullptr);
    char id[VOXTREL_ID_SIZE];
    EXPECT_EQ(voxtrel_disconnect(control), 0);
    EXPECT_EQ(voxtrel_create_call(control, "pbx:1", "pbx:2", id, sizeof id), 0);
    EXPECT_STREQ(id, "0");
    EXPECT_EQ(voxtrel_create_call(control, nullptr, nullptr, id, sizeof id), 0);
    EXPECT_STREQ(id, "0");
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
    // No service name at all: refused at once rather than waiting.
    EXPECT_EQ(voxtrel_connect(control, nullptr, 0, 1, nullptr, nullptr), 0);
    EXPECT_EQ(voxtrel_c89_refusals(), 0);
    voxtrel_destroy(control);
}

TEST(CApiMethods, NullTextsAreEmptyOnTheWire) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    std::string m;
    EXPECT_EQ(voxtrel_close_call(c.control, nullptr), 1);
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_EQ(MethodOf(m), "closecall");
    EXPECT_EQ(FirstString(m), "0");
    EXPECT_EQ(voxtrel_incoming_call_handling(c.control, nullptr, 1), 1);
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_EQ(MethodOf(m), "incomingcallhandling");
    EXPECT_NE(m.find("<value><string></string></value>"), std::string::npos) << m;
    // An empty address is no party address: refused, nothing sent.
    EXPECT_EQ(voxtrel_transfer_call(c.control, "7", nullptr), 0);
    EXPECT_EQ(voxtrel_play_message(c.control, "5", "f.wav", -1), 1);
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_EQ(MethodOf(m), "playmessage");
    EXPECT_NE(m.find("<value><int>-1</int></value>"), std::string::npos);
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
    EXPECT_STRNE(id, "0");
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_EQ(MethodOf(m), "createcall");
    EXPECT_EQ(FirstString(m), id);
    EXPECT_EQ(voxtrel_create_call(c.control, "pbx:1", "200", id, sizeof id), 0);
    EXPECT_STREQ(id, "0");
    char subscription[VOXTREL_ID_SIZE];
    ASSERT_EQ(voxtrel_subscribe_to_voice_mail(c.control, "100", subscription, sizeof subscription),
              1);
    EXPECT_STRNE(subscription, "0");
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_EQ(MethodOf(m), "subscribe");
    EXPECT_EQ(FirstString(m), subscription);
    // Connected already: the second connect is refused and the first connection stays.
    EXPECT_EQ(
        voxtrel_connect(c.control, "127.0.0.1", static_cast<short>(c.peer.Port()), 5, "u", "p"), 0);
    EXPECT_EQ(voxtrel_close_call(c.control, "3"), 1);
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_EQ(MethodOf(m), "closecall");
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

TEST(CApiEvents, NoneWithoutAWindowNoneAfterDisconnectNoneWithoutACallback) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    std::string m;
    EXPECT_EQ(voxtrel_has_window(c.control), 1);
    voxtrel_destroy_window(c.control);
    EXPECT_EQ(voxtrel_has_window(c.control), 0);
    EXPECT_EQ(voxtrel_event_descriptor(c.control), -1);
    c.peer.Send(Notification("callstatechanged", StringParam("1") + IntParam(3)));
    ASSERT_TRUE(c.peer.NextMessage(m));  // acknowledged, though nobody sees it
    EXPECT_EQ(voxtrel_pump(c.control, 100), 0);
    EXPECT_EQ(voxtrel_create_window(c.control), 1);
    EXPECT_EQ(voxtrel_create_window(c.control), 0);

    // A null callback drops its event; the others still arrive.
    ASSERT_EQ(voxtrel_on_call_state_changed(c.control, nullptr, nullptr), 1);
    c.peer.Send(Notification("callstatechanged", StringParam("2") + IntParam(3)) +
                Notification("messageplayed", StringParam("2")));
    EXPECT_EQ(PumpFor(c.control, c.recorder, 1), Events{"MessagePlayed 2"});

    EXPECT_EQ(voxtrel_disconnect(c.control), 1);
    EXPECT_EQ(PumpFor(c.control, c.recorder, 2, 0.3), Events{"MessagePlayed 2"});
}

TEST(CApiEvents, TheDescriptorPollsReadableWhileAnEventWaits) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    int descriptor = voxtrel_event_descriptor(c.control);
    ASSERT_GE(descriptor, 0);
    pollfd entry{descriptor, POLLIN, 0};
    EXPECT_EQ(poll(&entry, 1, 0), 0);
    c.peer.Send(Notification("messageplayed", StringParam("1")));
    ASSERT_EQ(poll(&entry, 1, 5000), 1);
    EXPECT_EQ(voxtrel_pump(c.control, 0), 1);
    EXPECT_EQ(c.recorder.events, Events{"MessagePlayed 1"});
    // A negative time-out looks only; it never waits without bound.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(voxtrel_pump(c.control, -1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(CApiThreads, AnotherThreadIsRefusedButMayDestroy) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    std::thread other([&] {
        char id[VOXTREL_ID_SIZE];
        EXPECT_EQ(voxtrel_create_call(c.control, "pbx:1", "pbx:2", id, sizeof id), 0);
        EXPECT_STREQ(id, "0");
        EXPECT_EQ(voxtrel_close_call(c.control, "1"), 0);
        EXPECT_EQ(voxtrel_pump(c.control, 0), -1);
        EXPECT_EQ(voxtrel_on_message_played(c.control, nullptr, nullptr), 0);
        EXPECT_EQ(voxtrel_disconnect(c.control), 0);
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

TEST(CApiLifetime, DestroyedFromInsideACallback) {
    Connected c;
    ASSERT_EQ(c.ok, 1);
    c.recorder.destroyOnFirst = c.control;
    c.peer.Send(Notification("callstatechanged", StringParam("1") + IntParam(3)) +
                Notification("messageplayed", StringParam("1")) +
                Notification("messageplayed", StringParam("2")));
    std::string m;
    ASSERT_TRUE(c.peer.NextMessage(m));
    voxtrel_control* control = c.control;
    c.control = nullptr;
    // The control goes when the pump that ran the callback returns; the events behind the
    // first are dropped with it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (c.recorder.events.empty() && std::chrono::steady_clock::now() < deadline) {
        if (voxtrel_pump(control, 20) != 0) break;
    }
    EXPECT_EQ(c.recorder.events, Events{"CallStateChanged 1 3"});
}

}  // namespace
