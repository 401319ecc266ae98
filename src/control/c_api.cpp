// The C interface over CVoxtrelCtrl: handle and thread checks, text conversions, callbacks with
// their user pointers, and the deferred release of a control destroyed from inside a callback.
#include "voxtrel/voxtrel.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "control/deferred_task.h"
#include "control/reconnect_supervisor.h"
#include "control/voxtrel_ctrl.h"
#include "session/wire_trace_sink.h"

#ifndef VOXTREL_VERSION_TEXT
#error "VOXTREL_VERSION_TEXT comes from the build"
#endif

namespace {

template <typename Function>
struct Callback {
    Function function = nullptr;
    void* user = nullptr;

    // A C callback cannot throw, but a C++ host's may; the exception must not cross the
    // control's delivery machinery, which would leave the worker waiting on the host.
    template <typename... Args>
    void operator()(Args... args) const noexcept {
        if (function == nullptr) return;
        try {
            function(user, args...);
        } catch (...) {
        }
    }
};

// The row of an event, the control's or the reconnect supervisor's.
constexpr const voxtrel::ControlMember& EventRow(int32_t id) {
    return id > voxtrel::kReconnectEvents[0].dispid - 1
               ? voxtrel::kReconnectEvents[id - voxtrel::kReconnectEvents[0].dispid]
               : voxtrel::kControlEvents[id - 1];
}

}  // namespace

struct voxtrel_control final : voxtrel::VoxtrelEvents {
    voxtrel_control() { supervisor.SetEventSink(this); }
    ~voxtrel_control() override { supervisor.SetEventSink(nullptr); }

    // The sink runs on the host's thread: inside voxtrel_pump, or on Windows from any message loop
    // of that thread, which dispatches to the control's window. A released control shows nothing
    // more and stays alive until every delivery and pump on the stack has left its code.
    void OnEvent(const voxtrel::ControlMember& event,
                 std::span<const voxtrel::ControlValue> values) override {
        switch (event.dispid) {
#define VOXTREL_FIRE(id, name, c_name, ...) \
    case id:                                \
        Fire<id>(c_name, values);           \
        break;
            VOXTREL_EVENTS(VOXTREL_FIRE, )
            VOXTREL_RECONNECT_EVENTS(VOXTREL_FIRE, )
#undef VOXTREL_FIRE
            default:
                break;
        }
    }

    template <int32_t id, typename... Args>
    void Fire(const Callback<void (*)(void*, Args...)>& callback,
              std::span<const voxtrel::ControlValue> values) {
        static_assert(EventRow(id).count == sizeof...(Args));
        if (released) return;
        ++deliveryDepth;
        voxtrel::ApplyValues<Args...>(callback, values);
        if (--deliveryDepth == 0 && pumpDepth == 0 && released) FreeAfterDelivery();
    }

    // Released inside a callback that no voxtrel_pump ran: the host's own message loop ran it
    // (Windows), and the control's delivery is still on the stack below this frame. The control
    // goes when that loop dispatches again.
    void FreeAfterDelivery() noexcept {
        voxtrel_control* self = this;
        bool deferred = false;
        try {
            deferred = voxtrel::DeferToMessageLoop([self] { delete self; });
        } catch (...) {
        }
        // Without a later the control is abandoned: freeing it under its own delivery would be
        // worse than the leak.
        static_cast<void>(deferred);
    }

    // The wire trace's receiver, made by voxtrel_set_trace; declared first, so that it outlives
    // the control's worker, which calls it.
    std::unique_ptr<voxtrel::WireTraceSink> trace;
    voxtrel::CVoxtrelCtrl control;
    // Follows the methods that a new connection must repeat; a pass-through until reconnecting
    // is switched on.
    voxtrel::ReconnectSupervisor supervisor{control};
    const std::thread::id hostThread = std::this_thread::get_id();
    // How many voxtrel_pump calls and callbacks are on the host thread's stack: a control
    // destroyed inside a callback is freed only when the last of them has left the control's code.
    int pumpDepth = 0;
    int deliveryDepth = 0;
    bool released = false;

#define VOXTREL_SLOT(id, name, c_name, ...) Callback<voxtrel_##c_name##_fn> c_name;
    VOXTREL_EVENTS(VOXTREL_SLOT, )
    VOXTREL_RECONNECT_EVENTS(VOXTREL_SLOT, )
#undef VOXTREL_SLOT
};

namespace {

bool Usable(const voxtrel_control* handle) {
    return handle != nullptr && !handle->released &&
           handle->hostThread == std::this_thread::get_id();
}

// Connect and disconnect may run on another thread while the host thread leaves the control
// alone, so that an event loop need not block on them.
bool UsableFromAnyThread(const voxtrel_control* handle) {
    return handle != nullptr && !handle->released;
}

const char* Text(const char* text) {
    return text != nullptr ? text : "";
}

int Bool(bool value) {
    return value ? 1 : 0;
}

// Runs body on a usable handle; a refused handle, or a failure such as an exhausted heap while
// copying the texts, gives refused. Nothing thrown leaves the C interface.
template <typename Result, typename Body>
Result Guarded(voxtrel_control* handle, Result refused, Body body) noexcept {
    if (!Usable(handle)) return refused;
    try {
        return body(handle->control);
    } catch (...) {
        return refused;
    }
}

// The same for the methods that the reconnect supervisor follows.
template <typename Result, typename Body>
Result Supervised(voxtrel_control* handle, Result refused, Body body,
                  bool anyThread = false) noexcept {
    if (!(anyThread ? UsableFromAnyThread(handle) : Usable(handle))) return refused;
    try {
        return body(handle->supervisor);
    } catch (...) {
        return refused;
    }
}

// The id-returning methods: the buffer is checked before anything is sent, so that an id the
// host could not receive is never requested.
template <typename Body>
int IdMethod(voxtrel_control* handle, char* buffer, size_t size, Body body) noexcept {
    if (buffer == nullptr || size < VOXTREL_ID_SIZE) {
        if (buffer != nullptr && size > 0) buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, "0", 2);
    return Guarded(handle, 0, [&](voxtrel::CVoxtrelCtrl&) {
        std::string id = body(*handle);
        if (id.size() >= VOXTREL_ID_SIZE) return 0;
        std::memcpy(buffer, id.c_str(), id.size() + 1);
        return Bool(id != "0");
    });
}

template <typename Function>
int SetCallback(voxtrel_control* handle, Callback<Function> voxtrel_control::*slot,
                Function function, void* user) noexcept {
    if (!Usable(handle)) return 0;
    (handle->*slot).function = function;
    (handle->*slot).user = user;
    return 1;
}

// The C functions have the list's names and its parameters in C types; an id-returning method
// takes the buffer for the id as well.
template <voxtrel::ControlType type>
using CType =
    std::conditional_t<type == voxtrel::ControlType::Text, const char*,
                       std::conditional_t<type == voxtrel::ControlType::Short, short, int>>;
#define VOXTREL_C_ARG(type, name) voxtrel::Exactly<CType<voxtrel::ControlType::type>>()
#define VOXTREL_C_TAIL_Bool
#define VOXTREL_C_TAIL_Text , static_cast<char*>(nullptr), static_cast<size_t>(0)
#define VOXTREL_C_CHECK(id, name, c_name, result, ...)                                    \
    static_assert(                                                                        \
        std::is_same_v<decltype(voxtrel_##c_name(static_cast<voxtrel_control*>(           \
                           nullptr) __VA_OPT__(, ) __VA_ARGS__ VOXTREL_C_TAIL_##result)), \
                       int>);
VOXTREL_METHODS(VOXTREL_C_CHECK, VOXTREL_C_ARG)
#undef VOXTREL_C_CHECK
#undef VOXTREL_C_TAIL_Bool
#undef VOXTREL_C_TAIL_Text
#undef VOXTREL_C_ARG

}  // namespace

extern "C" {

const char* voxtrel_version(void) {
    return VOXTREL_VERSION_TEXT;
}

voxtrel_control* voxtrel_create(void) {
    try {
        return new voxtrel_control();
    } catch (...) {
        return nullptr;
    }
}

void voxtrel_destroy(voxtrel_control* control) {
    if (control == nullptr) return;
    if (control->pumpDepth > 0 || control->deliveryDepth > 0) {
        // Inside a callback: the frames below still use the control. Dropping the window drops
        // the events on their way and releases the worker at once.
        if (!control->released && control->hostThread == std::this_thread::get_id()) {
            control->released = true;
            control->control.DestroyControlWindow();
            // No try may connect a control on its way out.
            control->supervisor.SetPolicy({});
        }
        return;
    }
    delete control;
}

int voxtrel_connect(voxtrel_control* control, const char* server_address, short server_port,
                    int timeout, const char* username, const char* password) {
    return Supervised(
        control, 0,
        [&](voxtrel::ReconnectSupervisor& s) {
            return Bool(s.Connect(Text(server_address), static_cast<int16_t>(server_port),
                                  static_cast<int32_t>(timeout), Text(username), Text(password)));
        },
        true);
}

int voxtrel_disconnect(voxtrel_control* control) {
    return Supervised(
        control, 0, [](voxtrel::ReconnectSupervisor& s) { return Bool(s.Disconnect()); }, true);
}

int voxtrel_create_call(voxtrel_control* control, const char* from, const char* to, char* id_buffer,
                        size_t id_size) {
    return IdMethod(control, id_buffer, id_size,
                    [&](voxtrel_control& c) { return c.control.CreateCall(Text(from), Text(to)); });
}

int voxtrel_close_call(voxtrel_control* control, const char* call_id) {
    return Guarded(control, 0,
                   [&](voxtrel::CVoxtrelCtrl& c) { return Bool(c.CloseCall(Text(call_id))); });
}

int voxtrel_transfer_call(voxtrel_control* control, const char* call_id, const char* to) {
    return Guarded(control, 0, [&](voxtrel::CVoxtrelCtrl& c) {
        return Bool(c.TransferCall(Text(call_id), Text(to)));
    });
}

int voxtrel_join_calls(voxtrel_control* control, const char* call_id, const char* call_id_to_join) {
    return Guarded(control, 0, [&](voxtrel::CVoxtrelCtrl& c) {
        return Bool(c.JoinCalls(Text(call_id), Text(call_id_to_join)));
    });
}

int voxtrel_unjoin_calls(voxtrel_control* control, const char* call_id,
                         const char* call_id_to_unjoin) {
    return Guarded(control, 0, [&](voxtrel::CVoxtrelCtrl& c) {
        return Bool(c.UnjoinCalls(Text(call_id), Text(call_id_to_unjoin)));
    });
}

int voxtrel_play_message(voxtrel_control* control, const char* call_id, const char* file_name,
                         short play_count) {
    return Guarded(control, 0, [&](voxtrel::CVoxtrelCtrl& c) {
        return Bool(
            c.PlayMessage(Text(call_id), Text(file_name), static_cast<int16_t>(play_count)));
    });
}

int voxtrel_enable_dtmf_detection(voxtrel_control* control, const char* call_id, int onoff) {
    return Guarded(control, 0, [&](voxtrel::CVoxtrelCtrl& c) {
        return Bool(c.EnableDtmfDetection(Text(call_id), static_cast<int32_t>(onoff)));
    });
}

int voxtrel_incoming_call_handling(voxtrel_control* control, const char* extension_name,
                                   int enable) {
    return Supervised(control, 0, [&](voxtrel::ReconnectSupervisor& s) {
        return Bool(s.IncomingCallHandling(Text(extension_name), static_cast<int32_t>(enable)));
    });
}

int voxtrel_accept_call(voxtrel_control* control, const char* call_id, const char* caller_id,
                        const char* caller_disp_name) {
    return Guarded(control, 0, [&](voxtrel::CVoxtrelCtrl& c) {
        return Bool(c.AcceptCall(Text(call_id), Text(caller_id), Text(caller_disp_name)));
    });
}

int voxtrel_reject_call(voxtrel_control* control, const char* call_id) {
    return Guarded(control, 0,
                   [&](voxtrel::CVoxtrelCtrl& c) { return Bool(c.RejectCall(Text(call_id))); });
}

int voxtrel_forward_call(voxtrel_control* control, const char* call_id, const char* callee,
                         const char* caller_id, const char* caller_disp_name) {
    return Guarded(control, 0, [&](voxtrel::CVoxtrelCtrl& c) {
        return Bool(
            c.ForwardCall(Text(call_id), Text(callee), Text(caller_id), Text(caller_disp_name)));
    });
}

int voxtrel_subscribe_to_voice_mail(voxtrel_control* control, const char* extension_name,
                                    char* id_buffer, size_t id_size) {
    return IdMethod(control, id_buffer, id_size, [&](voxtrel_control& c) {
        return c.supervisor.SubscribeToVoiceMail(Text(extension_name));
    });
}

int voxtrel_unsubscribe(voxtrel_control* control, const char* subscr_id) {
    return Supervised(control, 0, [&](voxtrel::ReconnectSupervisor& s) {
        return Bool(s.Unsubscribe(Text(subscr_id)));
    });
}

#define VOXTREL_SETTER(id, name, c_name, ...)                                         \
    int voxtrel_on_##c_name(voxtrel_control* control, voxtrel_##c_name##_fn callback, \
                            void* user) {                                             \
        return SetCallback(control, &voxtrel_control::c_name, callback, user);        \
    }
VOXTREL_EVENTS(VOXTREL_SETTER, )
VOXTREL_SETTER(103, Resubscribed, resubscribed)
#undef VOXTREL_SETTER

int voxtrel_set_reconnect(voxtrel_control* control, int min_delay_ms, int max_delay_ms,
                          int max_attempts, voxtrel_reconnecting_fn reconnecting,
                          voxtrel_reconnected_fn reconnected, void* user) {
    if (!Usable(control)) return 0;
    control->reconnecting = {reconnecting, user};
    control->reconnected = {reconnected, user};
    voxtrel::ReconnectPolicy policy = control->supervisor.Policy();
    policy.minDelay = std::chrono::milliseconds(min_delay_ms);
    policy.maxDelay = std::chrono::milliseconds(max_delay_ms);
    policy.maxAttempts = max_attempts;
    control->supervisor.SetPolicy(policy);
    return 1;
}

int voxtrel_next_timeout(voxtrel_control* control) {
    if (!Usable(control)) return -1;
    return control->supervisor.NextTimeoutMs();
}

int voxtrel_set_reconnect_by_host(voxtrel_control* control, int by_host) {
    if (!Usable(control)) return 0;
    voxtrel::ReconnectPolicy policy = control->supervisor.Policy();
    policy.triesByHost = by_host != 0;
    control->supervisor.SetPolicy(policy);
    return 1;
}

int voxtrel_reconnect_try(voxtrel_control* control) {
    return Supervised(
        control, -1, [](voxtrel::ReconnectSupervisor& s) { return s.MakeDueTry(); }, true);
}

int voxtrel_pump(voxtrel_control* control, int timeout_ms) {
    if (!Usable(control)) return -1;
    ++control->pumpDepth;
    int handled = 0;
    try {
        // A negative time-out would wait without bound.
        handled = control->supervisor.PumpEvents(timeout_ms > 0 ? timeout_ms : 0);
    } catch (...) {
    }
    // A pump nested in a callback that the host's own loop ran leaves the control to that
    // callback's delivery.
    if (--control->pumpDepth == 0 && control->deliveryDepth == 0 && control->released)
        delete control;
    return handled;
}

int voxtrel_event_descriptor(voxtrel_control* control) {
    return Guarded(control, -1, [](voxtrel::CVoxtrelCtrl& c) { return c.EventDescriptor(); });
}

int voxtrel_create_window(voxtrel_control* control) {
    return Guarded(control, 0,
                   [](voxtrel::CVoxtrelCtrl& c) { return Bool(c.CreateControlWindow()); });
}

void voxtrel_destroy_window(voxtrel_control* control) {
    Guarded(control, 0, [](voxtrel::CVoxtrelCtrl& c) {
        c.DestroyControlWindow();
        return 0;
    });
}

int voxtrel_has_window(voxtrel_control* control) {
    return Guarded(control, 0, [](voxtrel::CVoxtrelCtrl& c) { return Bool(c.HasControlWindow()); });
}

}  // extern "C"

namespace {

// Hands the session's trace to the host's callback, which the lock keeps from running once the
// host has replaced it.
class TraceCallback final : public voxtrel::WireTraceSink {
  public:
    void Set(voxtrel_trace_fn function, void* user) {
        std::lock_guard<std::mutex> lock(lock_);
        callback_.function = function;
        callback_.user = user;
    }

    void OnWireMessage(voxtrel::WireDirection direction, std::chrono::system_clock::time_point time,
                       std::string_view document) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (callback_.function == nullptr) return;
        // The host receives the document zero-terminated as well.
        document_.assign(document);
        double seconds = std::chrono::duration<double>(time.time_since_epoch()).count();
        callback_(static_cast<int>(direction), seconds, document_.c_str(), document_.size());
    }

  private:
    std::mutex lock_;
    Callback<voxtrel_trace_fn> callback_;
    std::string document_;
};

}  // namespace

extern "C" int voxtrel_set_trace(voxtrel_control* control, voxtrel_trace_fn callback, void* user) {
    return Guarded(control, 0, [&](voxtrel::CVoxtrelCtrl& c) {
        if (!control->trace) control->trace = std::make_unique<TraceCallback>();
        static_cast<TraceCallback&>(*control->trace).Set(callback, user);
        // Off means no cost in the session either.
        c.SetWireTrace(callback != nullptr ? control->trace.get() : nullptr);
        return 1;
    });
}
