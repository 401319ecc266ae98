// The reconnect supervisor: the back-off between tries, the tries inside PumpEvents, and what the
// host had that a new connection must have again.
#include "control/reconnect_supervisor.h"

#include <algorithm>

namespace voxtrel {

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int32_t kDisconnected = static_cast<int32_t>(ControlEventId::Disconnected);
constexpr int32_t kSubscriptionConfirmed =
    static_cast<int32_t>(ControlEventId::SubscriptionConfirmed);

int RemainingMs(Clock::time_point until, Clock::time_point now) {
    if (until <= now) return 0;
    auto left = std::chrono::ceil<milliseconds>(until - now).count();
    return static_cast<int>(std::min<int64_t>(left, 0x7FFFFFFF));
}
}  // namespace

ReconnectSupervisor::ReconnectSupervisor(CVoxtrelCtrl& control)
    : control_(control), random_(static_cast<uint32_t>(Clock::now().time_since_epoch().count())) {
    control_.SetEventSink(this);
}

ReconnectSupervisor::~ReconnectSupervisor() {
    control_.SetEventSink(nullptr);
}

void ReconnectSupervisor::SetPolicy(const ReconnectPolicy& policy) {
    policy_ = policy;
    if (policy_.maxDelay < policy_.minDelay) policy_.maxDelay = policy_.minDelay;
    if (policy_.minDelay <= milliseconds(0)) {
        phase_ = Phase::kIdle;
        announce_ = false;
    }
}

bool ReconnectSupervisor::Connect(const std::string& serverAddress, int16_t serverPort,
                                  int32_t timeout, const std::string& username,
                                  const std::string& password) {
    ++hostActions_;
    phase_ = Phase::kIdle;
    announce_ = false;
    Forget();
    if (!control_.Connect(serverAddress, serverPort, timeout, username, password)) return false;
    haveArguments_ = true;
    serverAddress_ = serverAddress;
    serverPort_ = serverPort;
    timeout_ = timeout;
    username_ = username;
    password_ = password;
    return true;
}

bool ReconnectSupervisor::Disconnect() {
    ++hostActions_;
    phase_ = Phase::kIdle;
    announce_ = false;
    Forget();
    return control_.Disconnect();
}

void ReconnectSupervisor::Forget() {
    haveArguments_ = false;
    password_.assign(password_.size(), '\0');
    password_.clear();
    takenOver_.clear();
    subscriptions_.clear();
}

bool ReconnectSupervisor::IncomingCallHandling(const std::string& extensionName, int32_t enable) {
    bool accepted = control_.IncomingCallHandling(extensionName, enable);
    auto known = std::find(takenOver_.begin(), takenOver_.end(), extensionName);
    // Only 1 takes over; any other value gives back, whether or not the control could say so.
    if (enable == 1) {
        if (accepted && known == takenOver_.end()) takenOver_.push_back(extensionName);
    } else if (known != takenOver_.end()) {
        takenOver_.erase(known);
    }
    return accepted;
}

std::string ReconnectSupervisor::SubscribeToVoiceMail(const std::string& extensionName) {
    std::string id = control_.SubscribeToVoiceMail(extensionName);
    if (id != "0") subscriptions_.push_back({extensionName, id});
    return id;
}

bool ReconnectSupervisor::Unsubscribe(const std::string& subscrID) {
    std::erase_if(subscriptions_, [&](const Subscription& s) { return s.id == subscrID; });
    return control_.Unsubscribe(subscrID);
}

void ReconnectSupervisor::OnEvent(const ControlMember& event,
                                  std::span<const ControlValue> values) {
    uint64_t actionsBefore = hostActions_;
    if (sink_ != nullptr) sink_->OnEvent(event, values);
    if (event.dispid == kSubscriptionConfirmed && values.size() >= 2 && values[1].number == 0) {
        // The service refused it: there is nothing to subscribe to again.
        std::erase_if(subscriptions_,
                      [&](const Subscription& s) { return s.id == values[0].text; });
    } else if (event.dispid == kDisconnected && hostActions_ == actionsBefore && haveArguments_ &&
               policy_.minDelay > milliseconds(0)) {
        Schedule(1);
    }
}

void ReconnectSupervisor::Schedule(int32_t attempt) {
    // Exponential with jitter: the n-th delay lies between three quarters of min * 2^(n-1) and
    // that, bounded by the policy; each is then longer than the one before until the maximum.
    auto base = policy_.minDelay;
    for (int32_t i = 1; i < attempt && base < policy_.maxDelay; ++i)
        base *= 2;
    base = std::min(base, policy_.maxDelay);
    auto low = std::max(policy_.minDelay, base * 3 / 4);
    std::uniform_int_distribution<int64_t> pick(low.count(), base.count());
    attempt_ = attempt;
    delay_ = milliseconds(pick(random_));
    due_ = Clock::now() + delay_;
    phase_ = Phase::kWaiting;
    announce_ = true;
}

int ReconnectSupervisor::PumpEvents(int timeoutMs) {
    const int firedBefore = fired_;
    auto until = Clock::now() + milliseconds(std::max(timeoutMs, 0));
    int handled = 0;
    for (;;) {
        RunDue();
        int wait = RemainingMs(until, Clock::now());
        int next = PumpTimeoutMs();
        if (next >= 0) wait = std::min(wait, next);
        handled += control_.PumpEvents(wait);
        int total = handled + fired_ - firedBefore;
        // A try that fell due while pumping, or an announcement, is made before returning.
        if (PumpTimeoutMs() == 0) continue;
        if (total > 0 || Clock::now() >= until) return total;
    }
}

int ReconnectSupervisor::NextTimeoutMs() const {
    if (announce_ || phase_ == Phase::kConnected || phase_ == Phase::kFailed) return 0;
    if (phase_ != Phase::kWaiting) return -1;
    return RemainingMs(due_, Clock::now());
}

int ReconnectSupervisor::PumpTimeoutMs() const {
    if (policy_.triesByHost && phase_ == Phase::kWaiting && !announce_) return -1;
    return NextTimeoutMs();
}

int ReconnectSupervisor::MakeDueTry() {
    if (announce_ || phase_ != Phase::kWaiting || Clock::now() < due_) return -1;
    bool connected = control_.Connect(serverAddress_, serverPort_, timeout_, username_, password_);
    phase_ = connected ? Phase::kConnected : Phase::kFailed;
    return connected ? 1 : 0;
}

void ReconnectSupervisor::RunDue() {
    if (announce_) {
        announce_ = false;
        Fire(ReconnectEventId::Reconnecting,
             {attempt_, static_cast<int32_t>(std::min<int64_t>(delay_.count(), 0x7FFFFFFF))});
        // The handler may have stopped or restarted everything: the try waits for the next call.
        return;
    }
    uint64_t actionsBefore = hostActions_;
    if (!policy_.triesByHost) MakeDueTry();
    if (hostActions_ != actionsBefore) return;
    if (phase_ == Phase::kConnected) {
        phase_ = Phase::kIdle;
        Restore();
    } else if (phase_ == Phase::kFailed) {
        phase_ = Phase::kIdle;
        if (policy_.minDelay > milliseconds(0) &&
            (policy_.maxAttempts <= 0 || attempt_ < policy_.maxAttempts)) {
            Schedule(attempt_ + 1);
        }
    }
}

void ReconnectSupervisor::Restore() {
    attempt_ = 0;
    for (const std::string& extension : takenOver_)
        control_.IncomingCallHandling(extension, 1);
    // Copied: a handler may subscribe, unsubscribe or disconnect meanwhile.
    std::vector<Subscription> held = subscriptions_;
    for (const Subscription& old : held) {
        std::string id = control_.SubscribeToVoiceMail(old.extension);
        if (id == "0") continue;  // the connection went again; the next one tries again
        for (Subscription& s : subscriptions_) {
            if (s.id == old.id) s.id = id;
        }
        Fire(ReconnectEventId::Resubscribed, {old.extension, old.id, id});
    }
    Fire(ReconnectEventId::Reconnected, {});
}

void ReconnectSupervisor::Fire(ReconnectEventId id, std::initializer_list<ControlValue> values) {
    ++fired_;
    if (sink_ == nullptr) return;
    const ControlMember& event =
        kReconnectEvents[static_cast<int32_t>(id) - kReconnectEvents[0].dispid];
    sink_->OnEvent(event, std::span(values.begin(), values.size()));
}

}  // namespace voxtrel
