// What the C interface's suites share: callbacks that record every event with its user pointer
// and thread, a pump loop with a deadline, and a control connected to a scripted service.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
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
    }
};

inline Recorder* From(void* user) {
    return static_cast<Recorder*>(user);
}

inline std::string Str(const char* text) {
    return text == nullptr ? "(null)" : text;
}

inline void OnCallStateChanged(void* user, const char* callId, short state) {
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
inline void OnMessagePlayed(void* user, const char* callId) {
    From(user)->Add(user, "MessagePlayed " + Str(callId));
}
inline void OnDtmf(void* user, const char* callId, short digit) {
    From(user)->Add(user, "DtmfDigitReceived " + Str(callId) + " " + std::to_string(digit));
}
inline void OnRequestFailed(void* user, const char* callId, int code, const char* text) {
    From(user)->Add(user,
                    "RequestFailed " + Str(callId) + " " + std::to_string(code) + " " + Str(text));
}
inline void OnDisconnected(void* user) {
    From(user)->Add(user, "Disconnected");
}
inline void OnCallArrived(void* user, const char* callId, const char* caller, const char* callee,
                          const char* origin) {
    From(user)->Add(user, "CallArrived " + Str(callId) + " " + Str(caller) + " " + Str(callee) +
                              " " + Str(origin));
}
inline void OnMailArrived(void* user, const char* subscrId, const char* caller, const char* time,
                          int duration, int id) {
    From(user)->Add(user, "MailArrived " + Str(subscrId) + " " + Str(caller) + " " + Str(time) +
                              " " + std::to_string(duration) + " " + std::to_string(id));
}
inline void OnSubscriptionConfirmed(void* user, const char* subscrId, int confirmed, int code) {
    From(user)->Add(user, "SubscriptionConfirmed " + Str(subscrId) + " " +
                              std::to_string(confirmed) + " " + std::to_string(code));
}

inline void SetAllCallbacks(voxtrel_control* control, Recorder* recorder) {
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
};

}  // namespace voxtrel::capi_testing
