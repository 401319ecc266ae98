// What the C interface's suites share: callbacks that record every event with its user pointer
// and thread, a pump loop with a deadline, and a control connected to a scripted service.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../session/fake_peer.h"
#include "voxtrel/voxtrel.h"

namespace voxtrel::capi_testing {

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
        if (destroyOnFirst == nullptr) return;
        voxtrel_control* control = destroyOnFirst;
        destroyOnFirst = nullptr;
        // A nested pump leaving must not free the control that the outer one still uses.
        EXPECT_EQ(voxtrel_pump(control, 0), 0);
        voxtrel_destroy(control);
        voxtrel_destroy(control);
        // Released: refused from now on, yet still safe to name until the pump returns.
        EXPECT_EQ(voxtrel_close_call(control, "1"), 0);
        EXPECT_EQ(voxtrel_pump(control, 0), -1);
    }
};

inline std::string Text(const char* text) {
    return text == nullptr ? "(null)" : text;
}
inline std::string Text(long long number) {
    return std::to_string(number);
}

// One callback for every event: the event's name, then its arguments.
template <const char* kName, typename... Args>
void Record(void* user, Args... args) {
    std::string line = kName;
    ((line += " " + Text(args)), ...);
    static_cast<Recorder*>(user)->Add(user, line);
}

inline constexpr char kCallStateChanged[] = "CallStateChanged", kMessagePlayed[] = "MessagePlayed",
                      kDtmf[] = "DtmfDigitReceived", kRequestFailed[] = "RequestFailed",
                      kDisconnected[] = "Disconnected", kCallArrived[] = "CallArrived",
                      kMailArrived[] = "MailArrived",
                      kSubscriptionConfirmed[] = "SubscriptionConfirmed",
                      kReconnecting[] = "Reconnecting", kReconnected[] = "Reconnected",
                      kResubscribed[] = "Resubscribed";

inline void SetAllCallbacks(voxtrel_control* control, Recorder* recorder) {
    ASSERT_EQ(voxtrel_on_call_state_changed(control, Record<kCallStateChanged>, recorder), 1);
    ASSERT_EQ(voxtrel_on_message_played(control, Record<kMessagePlayed>, recorder), 1);
    ASSERT_EQ(voxtrel_on_dtmf_digit_received(control, Record<kDtmf>, recorder), 1);
    ASSERT_EQ(voxtrel_on_request_failed(control, Record<kRequestFailed>, recorder), 1);
    ASSERT_EQ(voxtrel_on_disconnected(control, Record<kDisconnected>, recorder), 1);
    ASSERT_EQ(voxtrel_on_call_arrived(control, Record<kCallArrived>, recorder), 1);
    ASSERT_EQ(voxtrel_on_mail_arrived(control, Record<kMailArrived>, recorder), 1);
    ASSERT_EQ(voxtrel_on_subscription_confirmed(control, Record<kSubscriptionConfirmed>, recorder),
              1);
}

// Pumps until count events were recorded or seconds passed.
inline Events PumpFor(voxtrel_control* control, const Recorder& recorder, size_t count,
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

    // Has the first of three events destroy the control from inside its callback, once the three
    // are on their way; the control, which the test no longer owns.
    voxtrel_control* DestroyInsideTheFirstOfThreeEvents() {
        recorder.destroyOnFirst = control;
        peer.Send(Notification("callstatechanged", StringParam("1") + IntParam(3)) +
                  Notification("messageplayed", StringParam("1")) +
                  Notification("messageplayed", StringParam("2")));
        std::string acknowledgement;
        EXPECT_TRUE(peer.NextMessage(acknowledgement));
        return std::exchange(control, nullptr);
    }
};

}  // namespace voxtrel::capi_testing
