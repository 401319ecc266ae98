// Brings a lost connection back by itself: Connect again with the host's last arguments after a
// back-off, then the extensions taken over and the voice-mail subscriptions the host had.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "control/control_api_list.h"
#include "control/voxtrel_ctrl.h"

// The supervisor's own events, E(id, Name, c_name, parameters...) as for VOXTREL_EVENTS. Their ids
// lie apart from the control's events, so that a face telling events apart by id never mistakes
// one for the other. delay is in milliseconds.
#define VOXTREL_RECONNECT_EVENTS(E, P)                                               \
    E(101, Reconnecting, reconnecting, P(Long, attempt), P(Long, delay))             \
    E(102, Reconnected, reconnected)                                                 \
    E(103, Resubscribed, resubscribed, P(Text, extensionName), P(Text, oldSubscrID), \
      P(Text, subscrID))

namespace voxtrel {

#define VOXTREL_LIST_RECONNECT_EVENT(id, name, c_name, ...) \
    detail::Member(id, #name, ControlType::Bool __VA_OPT__(, ) __VA_ARGS__),
#define VOXTREL_LIST_PARAM(type, name) detail::Param(ControlType::type, #name)
inline constexpr ControlMember kReconnectEvents[] = {
    VOXTREL_RECONNECT_EVENTS(VOXTREL_LIST_RECONNECT_EVENT, VOXTREL_LIST_PARAM)};
#undef VOXTREL_LIST_PARAM
#undef VOXTREL_LIST_RECONNECT_EVENT

#define VOXTREL_LIST_ID(id, name, ...) name = id,
enum class ReconnectEventId : int32_t { VOXTREL_RECONNECT_EVENTS(VOXTREL_LIST_ID, ) };
#undef VOXTREL_LIST_ID

struct ReconnectPolicy {
    // No try comes sooner than minDelay after the loss or the failed try before it; zero or less
    // switches reconnecting off.
    std::chrono::milliseconds minDelay{0};
    // The back-off doubles from minDelay up to this bound (minDelay when smaller).
    std::chrono::milliseconds maxDelay{0};
    // Tries in a row before the supervisor gives up; 0 for no limit.
    int32_t maxAttempts = 0;
    // The host makes each try itself with MakeDueTry, PumpEvents none: for a host whose thread
    // must not block, such as an event loop.
    bool triesByHost = false;
};

// Stands between the control and the host's event sink. The host calls Connect, Disconnect,
// IncomingCallHandling, SubscribeToVoiceMail, Unsubscribe and PumpEvents here (the other methods
// on the control itself), so the supervisor knows what to restore. Everything runs on the host's
// thread: a try is a Connect made inside PumpEvents, and it blocks as long as Connect does
// (refused at once when nothing listens, up to the time-out and some seconds when the PBX does
// not answer), unless the host makes the tries itself (ReconnectPolicy::triesByHost). Connect,
// Disconnect and MakeDueTry may also run on another thread while the host's thread makes no call
// at all, as the control allows.
class ReconnectSupervisor final : public VoxtrelEvents {
  public:
    // Becomes the control's event sink until destroyed; reconnecting is off.
    explicit ReconnectSupervisor(CVoxtrelCtrl& control);
    ~ReconnectSupervisor() override;
    ReconnectSupervisor(const ReconnectSupervisor&) = delete;
    ReconnectSupervisor& operator=(const ReconnectSupervisor&) = delete;

    // Receives the control's events, then the supervisor's (rows of kReconnectEvents), through
    // OnEvent; not owned; null drops them.
    void SetEventSink(VoxtrelEvents* sink) { sink_ = sink; }
    // Switching off drops a try that is waiting.
    void SetPolicy(const ReconnectPolicy& policy);
    const ReconnectPolicy& Policy() const { return policy_; }

    // The control's methods, followed. A Connect or Disconnect of the host stops the tries and
    // forgets what the last connection had.
    bool Connect(const std::string& serverAddress, int16_t serverPort, int32_t timeout,
                 const std::string& username, const std::string& password);
    bool Disconnect();
    bool IncomingCallHandling(const std::string& extensionName, int32_t enable);
    std::string SubscribeToVoiceMail(const std::string& extensionName);
    bool Unsubscribe(const std::string& subscrID);

    // The control's PumpEvents, with the tries that fall due meanwhile; the supervisor's events
    // count as handled events.
    int PumpEvents(int timeoutMs);
    // Milliseconds until PumpEvents has a try to make or an event of its own to fire (with tries
    // by the host: until MakeDueTry has a try to make): 0 now, -1 never. For hosts that wait on
    // the control's descriptor in their own loop.
    int NextTimeoutMs() const;
    // The try that is due, made now: 1 when it connected, 0 when it failed, -1 when none is due.
    // The next PumpEvents reports its outcome and restores what the host had.
    int MakeDueTry();

    void OnEvent(const ControlMember& event, std::span<const ControlValue> values) override;

  private:
    struct Subscription {
        std::string extension;
        std::string id;
    };
    // kWaiting until the try is due; kConnected and kFailed hold a try's outcome, made by the
    // host, until PumpEvents reports it.
    enum class Phase { kIdle, kWaiting, kConnected, kFailed };

    // Runs what is due: the announcement of a try, the try and what follows it.
    void RunDue();
    // Milliseconds until PumpEvents itself has something to do: NextTimeoutMs, less a try that
    // the host makes.
    int PumpTimeoutMs() const;
    void Schedule(int32_t attempt);
    // After a try that succeeded: the take-overs and subscriptions again, then Reconnected.
    void Restore();
    void Forget();
    void Fire(ReconnectEventId id, std::initializer_list<ControlValue> values);

    CVoxtrelCtrl& control_;
    VoxtrelEvents* sink_ = nullptr;
    ReconnectPolicy policy_;

    // The last arguments of a Connect of the host that succeeded; none after its Disconnect.
    bool haveArguments_ = false;
    std::string serverAddress_;
    int16_t serverPort_ = 0;
    int32_t timeout_ = 0;
    std::string username_;
    std::string password_;
    std::vector<std::string> takenOver_;
    std::vector<Subscription> subscriptions_;

    Phase phase_ = Phase::kIdle;
    int32_t attempt_ = 0;
    std::chrono::milliseconds delay_{0};
    std::chrono::steady_clock::time_point due_;
    // The try's Reconnecting is still to be fired, from PumpEvents rather than from inside the
    // Disconnected delivery.
    bool announce_ = false;
    // Counts the host's Connect and Disconnect calls: a Disconnected handler that made one of
    // them has decided for itself.
    uint64_t hostActions_ = 0;
    // Events the supervisor fired itself, for PumpEvents' count.
    int fired_ = 0;
    std::minstd_rand random_;
};

}  // namespace voxtrel
