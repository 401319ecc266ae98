// Test support of the control suites: the host's events recorded as lines ("CallStateChanged 42
// 3"), pumped on the calling thread.
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

    // Every event as its name and its values; a BOOL is 1 or 0.
    void OnEvent(const ControlMember& event, std::span<const ControlValue> values) override {
        std::string line = event.name;
        for (size_t i = 0; i < values.size(); ++i) {
            line += " " + (event.params[i].type == ControlType::Text
                               ? values[i].text
                               : std::to_string(values[i].number));
        }
        events.push_back(line);
        if (onEvent) onEvent(line);
    }

    // Pumps on this thread until count events arrived or seconds passed.
    Events PumpFor(size_t count, double seconds = 5) {
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (events.size() < count && std::chrono::steady_clock::now() < deadline) {
            if (pump) {
                pump(20);
            } else {
                control_.PumpEvents(20);
            }
        }
        return events;
    }

    Events events;
    std::function<void(const std::string&)> onEvent;
    // Pumps instead of the control, when something stands between them.
    std::function<int(int)> pump;

  private:
    CVoxtrelCtrl& control_;
};

}  // namespace voxtrel::testing
