// Test support of the control suites: the host's events recorded as lines, pumped on the
// calling thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "control/voxtrel_ctrl.h"

namespace voxtrel::testing {

using Events = std::vector<std::string>;

class RecordingEvents : public VoxtrelEvents {
  public:
    explicit RecordingEvents(CVoxtrelCtrl& control) : control_(control) {
        control_.SetEventSink(this);
    }

    void CallStateChanged(const std::string& id, int16_t state) override {
        Add("CallStateChanged " + id + " " + std::to_string(state));
    }
    void MessagePlayed(const std::string& id) override { Add("MessagePlayed " + id); }
    void DtmfDigitReceived(const std::string& id, int16_t digit) override {
        Add("DtmfDigitReceived " + id + " " + std::to_string(digit));
    }
    void RequestFailed(const std::string& id, int32_t code, const std::string& text) override {
        Add("RequestFailed " + id + " " + std::to_string(code) + " " + text);
    }
    void Disconnected() override { Add("Disconnected"); }
    void CallArrived(const std::string& id, const std::string& caller, const std::string& callee,
                     const std::string& origin) override {
        Add("CallArrived " + id + " " + caller + " " + callee + " " + origin);
    }
    void MailArrived(const std::string& id, const std::string& caller, const std::string& time,
                     int32_t duration, int32_t mailId) override {
        Add("MailArrived " + id + " " + caller + " " + time + " " + std::to_string(duration) + " " +
            std::to_string(mailId));
    }
    void SubscriptionConfirmed(const std::string& id, bool confirmed, int32_t code) override {
        Add("SubscriptionConfirmed " + id + " " + (confirmed ? "1 " : "0 ") + std::to_string(code));
    }

    // Pumps on this thread until count events arrived or seconds passed.
    Events PumpFor(size_t count, double seconds = 5) {
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (events.size() < count && std::chrono::steady_clock::now() < deadline) {
            control_.PumpEvents(20);
        }
        return events;
    }

    Events events;
    std::function<void(const std::string&)> onEvent;
    std::thread::id seenOn;

  private:
    void Add(const std::string& line) {
        seenOn = std::this_thread::get_id();
        events.push_back(line);
        if (onEvent) onEvent(line);
    }
    CVoxtrelCtrl& control_;
};

}  // namespace voxtrel::testing
