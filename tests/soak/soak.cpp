// Soak and scale runs of the whole control against in-process simulators; each host class says
// what its phase checks. The exit status is 0 only when no check failed, 2 on bad usage.
#include <sys/resource.h>

#include <malloc.h>
#include <pthread.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "control/voxtrel_ctrl.h"
#include "pbx/pbx_simulator.h"
#include "session/call_service_client.h"

using namespace voxtrel;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Text = const std::string&;

// Defined only by a sanitizer's runtime, which keeps freed memory in quarantine and threads of
// its own: under one, memory and threads are reported, not judged.
extern "C" __attribute__((weak)) void __sanitizer_print_stack_trace();

namespace {

const char* const kUsage =
    "usage: voxtrel_soak [--seconds S] [--controls N] [--simulators K] [--seed X] [--phases "
    "mixed,burst,reconnect,hostile,scale] [--hostile nest,attributes,cr-flood,crlfcr-flood]\n"
    "       voxtrel_soak --scale N    (the scale phase alone: N controls, one simulator)\n";
constexpr size_t kStackBytes = size_t{1} << 20;
const std::vector<std::string> kPhases = {"mixed", "burst", "reconnect", "hostile", "scale"};
const std::vector<std::string> kHostileKinds = {"nest", "attributes", "cr-flood", "crlfcr-flood"};
std::vector<std::string> hostileKinds = kHostileKinds;  // --hostile narrows them down
constexpr uint16_t kClosedPort = 1;  // privileged: nothing listens there, a Connect is refused

// The phase that runs (its number, simulators and end), the run's seed, and the resident memory
// the mixed phase samples (KiB).
int phase = 0;
std::vector<pbx::PbxSimulator*> simulators;
Clock::time_point phaseEnd;
uint32_t runSeed = 0;
std::vector<long> resident;

long MsSince(Clock::time_point start) {
    return long(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

template <typename... Parts>
std::string Str(const Parts&... parts) {
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}

using Figures = std::map<std::string, long>;  // named counts; "highest ..." ones are maxima

std::mutex totalsLock;
long violations = 0;
std::map<std::string, Figures> totals;  // by phase

void Violation(Text text) {
    std::lock_guard<std::mutex> guard(totalsLock);
    if (++violations <= 40) std::printf("  violation: %s\n", text.c_str());
}

// A figure of the process: "VmRSS:" (resident memory, KiB), "Threads:".
long Status(const char* field) {
    std::ifstream status("/proc/self/status");
    long value = 0;
    for (std::string name; status >> name && name != field;)
        status.ignore(1 << 12, '\n');
    return status >> value ? value : -1;
}

// glibc takes the stack limit at start-up as its threads' default stack size: the run sets it and
// starts itself again, once, before any thread exists. If it cannot, the stacks' check says so.
void RestartWithSmallStacks(char** argv) {
    rlimit limit;
    if (getenv("VOXTREL_SOAK_RESTARTED") || getrlimit(RLIMIT_STACK, &limit) != 0) return;
    limit.rlim_cur = kStackBytes;
    setenv("VOXTREL_SOAK_RESTARTED", "1", 1);
    if (limit.rlim_max >= kStackBytes && setrlimit(RLIMIT_STACK, &limit) == 0)
        execv("/proc/self/exe", argv);
}

Figures Counts(pbx::PbxSimulator& pbx) {
    std::string reply, name;
    pbx.Command("counts", reply);
    std::istringstream words(reply);
    Figures counts;
    for (long value = 0; words >> name >> value;)
        counts[name] = value;
    return counts;
}

// Pumps the control's events until done() holds or the bound passes; whether it held.
bool PumpUntil(CVoxtrelCtrl& control, Clock::duration bound, const std::function<bool()>& done) {
    for (auto deadline = Clock::now() + bound; !done(); control.PumpEvents(5)) {
        if (Clock::now() >= deadline) return done();
    }
    return true;
}

// What the hosts of every phase share: a control on the host's thread, made afresh now and then;
// the messages its sessions take, until they end; its events as one call; and its figures.
class Host : public VoxtrelEvents, public SessionAccounting {
  public:
    explicit Host(int index) : index_(index) {}
    void Run() {
        while (Clock::now() < end_) {
            if (!control_) {
                control_ = std::make_unique<CVoxtrelCtrl>();
                control_->SetSessionAccounting(this);
                control_->SetEventSink(this);
                Fresh();
            }
            if (!Round(*control_)) {
                std::this_thread::sleep_for(milliseconds(50));
            } else if (Pick(0, phase ? 2 * phase + 1 : 0) == 0) {
                control_.reset();
            }
        }
        control_.reset();
        figures_["messages taken"] += accepted_;
        if (doubleEnds_ + open_.size() > 0) {
            Fail("messages ended twice or never", "of the messages taken, ", doubleEnds_,
                 " ended twice, ", open_.size(), " never");
        }
        std::lock_guard<std::mutex> guard(totalsLock);
        for (auto& [name, value] : figures_) {
            long& sum = totals[kPhases[phase]][name];
            sum = name.rfind("highest", 0) == 0 ? std::max(sum, value) : sum + value;
        }
    }
    void Accepted(const XmlRpcMethod& message) override {
        std::lock_guard<std::mutex> guard(lock_);
        accepted_ += open_.insert(&message).second;
    }
    void Ended(const XmlRpcMethod& message, Outcome) override {
        std::lock_guard<std::mutex> guard(lock_);
        doubleEnds_ += open_.erase(&message) != 1;
    }
    // Call 0 is the one the hostile messages name: their bounds make them unreadable.
    void CallStateChanged(Text id, int16_t state) override {
        if (id == "0") return Fail("hostile messages read", "a hostile message was read");
        On("CallStateChanged", id, state);
    }
    void MessagePlayed(Text id) override { On("MessagePlayed", id, 0); }
    void DtmfDigitReceived(Text id, int16_t) override { On("DtmfDigitReceived", id, 0); }
    void RequestFailed(Text id, int32_t code, Text) override { On("RequestFailed", id, code); }
    void Disconnected() override { On("Disconnected", "", 0); }
    void CallArrived(Text id, Text, Text, Text) override { On("CallArrived", id, 0); }
    void MailArrived(Text id, Text, Text, int32_t, int32_t) override { On("MailArrived", id, 0); }
    void SubscriptionConfirmed(Text id, bool, int32_t) override {
        On("SubscriptionConfirmed", id, 0);
    }

  protected:
    virtual void On(Text event, Text id, int number) = 0;  // number: a state, a code
    virtual void Fresh() {}                         // a new control: the one before is forgotten
    virtual bool Round(CVoxtrelCtrl& control) = 0;  // false: the control could not connect
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    void Highest(Text name, long value) { figures_[name] = std::max(figures_[name], value); }
    template <typename... Parts>
    void Fail(const char* check, const Parts&... parts) {
        ++figures_[check];
        Violation(Str(kPhases[phase], ": ", parts..., " at host ", index_));
    }
    bool ConnectTo(int32_t timeout, uint16_t port = 0, const char* password = "demo") {
        return control_->Connect(pbx_.Host(), int16_t(port ? port : pbx_.Port()), timeout, "demo",
                                 password);
    }
    // Pumps until the simulator has had so many more requests and accepted answers (2 s at most).
    bool Arrived(Figures before, long requests, long accepted) {
        return PumpUntil(*control_, seconds(2), [&] {
            Figures now = Counts(pbx_);
            return now["requests"] - before["requests"] >= requests &&
                   now["accepted"] - before["accepted"] >= accepted;
        });
    }
    int index_;  // its own simulator is the one at its number
    Clock::time_point end_ = phaseEnd;
    pbx::PbxSimulator& pbx_ = *simulators[size_t(index_) % simulators.size()];
    std::mt19937 random_{runSeed + 1000 * uint32_t(phase) + uint32_t(index_)};
    std::mutex lock_;
    std::set<const XmlRpcMethod*> open_;
    long accepted_ = 0, doubleEnds_ = 0;
    std::unique_ptr<CVoxtrelCtrl> control_;
    Figures figures_;
};

// The mixed phase: many controls call all fifteen methods at random, in handlers too, while
// InjectFaults makes the simulators misbehave; every event concerns something its control started.
class MixedHost : public Host {
    using Host::Host;
    void On(Text event, Text id, int) override {
        ++figures_["events"];
        bool mail = event == "MailArrived" || event == "SubscriptionConfirmed";
        if (!(event == "Disconnected" || event == "CallArrived" ||
              (mail ? subscriptions_ : calls_).count(id) ||
              (event == "RequestFailed" &&
               (id == "0" || subscriptions_.count(id) || used_.count(id))))) {
            Fail("unmatched events", event, " for ", id, ", which the control did not start");
        }
        if (!control_ || event == "Disconnected" || event == "MailArrived") return;
        // Offers are answered from inside the handler, one way or another.
        if (event == "CallArrived") calls_.insert(id);
        if (event == "CallArrived" || Pick(0, 3) == 0) Act(true, event == "CallArrived" ? id : "");
    }
    // The ids of the control before go: the run's memory is the control's, not this bookkeeping's.
    void Fresh() override { calls_.clear(), subscriptions_.clear(), used_.clear(); }
    bool Round(CVoxtrelCtrl& control) override {
        for (int i = Pick(50, 400); i > 0 && Clock::now() < end_; --i) {
            Act(false);
            control.PumpEvents(Pick(0, 20));
        }
        return true;
    }
    std::string Extension() { return "ext" + std::to_string(index_ % 4); }
    std::string SomeCall() {
        if (calls_.empty() || Pick(0, 9) == 0) return std::to_string(Pick(0, 1000));
        return *std::next(calls_.begin(), Pick(0, int(calls_.size()) - 1));
    }
    void Act(bool inHandler, Text offer = "") {
        CVoxtrelCtrl& c = *control_;
        ++figures_[inHandler ? "methods called in handlers" : "methods called"];
        std::string call = offer.empty() ? SomeCall() : offer, other = SomeCall();
        auto use = [&](Text id) { return *used_.insert(id).first; };
        static const char* const targets[] = {"pbx:100", "pbx:busy", "pbx:noanswer", "sip:a@h",
                                              "bad"};
        const std::function<void()> actions[] = {
            // Connecting and disconnecting from handlers are the reconnect phase's.
            [&] {
                pbx::PbxSimulator* pbx = simulators[size_t(Pick(0, int(simulators.size()) - 1))];
                c.Connect(pbx->Host(), int16_t(pbx->Port()), 2, "demo", "demo");
            },
            // Connections last long enough for unanswered requests to reach their time-out.
            [&] {
                if (Pick(0, 3) == 0) c.Disconnect();
            },
            [&] { calls_.insert(c.CreateCall("pbx:1", targets[Pick(0, 4)])); },
            [&] { c.CloseCall(use(call)); },
            [&] { c.TransferCall(use(call), Pick(0, 1) ? "pbx:102" : "pbx:unreachable"); },
            [&] { c.JoinCalls(use(call), use(other)); },
            [&] { c.UnjoinCalls(use(call), use(other)); },
            [&] { c.PlayMessage(use(call), "m.wav", int16_t(Pick(-1, 2))); },
            [&] { c.EnableDtmfDetection(use(call), Pick(0, 1)); },
            [&] { c.IncomingCallHandling(Extension(), Pick(0, 3) ? 1 : 0); },
            [&] { c.AcceptCall(use(call), "100", "Soak"); },
            [&] { c.RejectCall(use(call)); },
            [&] { c.ForwardCall(use(call), Pick(0, 1) ? "tel:5" : "pbx:" + Extension(), "", ""); },
            [&] { subscriptions_.insert(c.SubscribeToVoiceMail(Extension())); },
            [&] { c.Unsubscribe(use(subscriptions_.empty() ? "1" : *subscriptions_.begin())); },
            // Without a window events are dropped: it is gone about a fifth of the time.
            [&] {
                if (!c.CreateControlWindow() && Pick(0, 3) == 0) c.DestroyControlWindow();
            },
        };
        actions[offer.empty() ? Pick(inHandler ? 2 : 0, 15) : Pick(10, 12)]();
    }
    std::set<std::string> calls_, subscriptions_, used_;
};

// Drives the simulators' consoles until the hosts are done: every kind of injected fault (the
// hostile messages when asked for), calm spells and offers; and samples the resident memory.
void InjectFaults(bool hostile, const std::atomic<bool>& hostsRunning) {
    std::mt19937 random(runSeed ^ 0x9e3779b9u);
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    static const char* const methods[] = {
        "createcall",  "closecall",           "transfercall",         "joincalls", "unjoincalls",
        "playmessage", "enabledtmfdetection", "incomingcallhandling", "subscribe", "unsubscribe"};
    std::string reply;
    // Each simulator's random choices repeat with the run's seed.
    for (size_t i = 0; i < simulators.size(); ++i)
        simulators[i]->Command(Str("chaos seed ", runSeed + i + 1), reply);
    long injected = 0;
    for (auto sample = Clock::now(); hostsRunning;) {
        if (Clock::now() >= sample) {
            resident.push_back(Status("VmRSS:"));
            sample += milliseconds(250);
        }
        std::this_thread::sleep_for(milliseconds(pick(20, 120)));
        pbx::PbxSimulator& pbx = *simulators[size_t(pick(0, int(simulators.size()) - 1))];
        std::string method = methods[pick(0, 9)];
        // Some late answers come after the session has given up on their request.
        const std::string faults[] = {
            Str("fault ", method, " ", pick(1, 99), " soak"),
            Str("fault-rate ", method, " ", pick(5, 60), " ", pick(1, 99), " soak"),
            "mute " + method,
            Str("delay ", method, " ", pick(0, 3) ? pick(20, 800) : 2500),
            Str("chaos close ", pick(1, 4)),
            pick(0, 3) ? "" : "close",
            pick(0, 1) ? "chaos split on" : "chaos split off",
            "garbage",
            pick(0, 1) ? "" : "flood",
            Str("chaos slow-read ", pick(0, 2) ? pick(500, 20000) : 0),
            "chaos off",  // a calm spell: every injected fault ends
            hostileKinds[size_t(pick(0, 99)) % hostileKinds.size()],
        };
        // As many picks again are offers.
        int count = int(std::size(faults)) - !hostile, which = pick(0, 2 * count - 1);
        if (which >= count) {
            pbx.Command(Str("offer ext", pick(0, 3), " sip:caller@soak"), reply);
        } else if (!faults[which].empty() && pbx.Command(faults[which], reply)) {
            ++injected;
        }
    }
    for (pbx::PbxSimulator* pbx : simulators)
        pbx->Command("chaos off", reply);
    std::lock_guard<std::mutex> guard(totalsLock);
    totals["mixed"]["faults injected"] += injected;
}

// The burst phase: each round queues 300 to 3000 CloseCall requests (each fails once) and
// AcceptCall answers in a tight loop, then has the simulator send 200 to 1000 offers in one
// write, each accepted in its handler; all of it reaches the simulator within 2 s.
class BurstHost : public Host {
    using Host::Host;
    void On(Text event, Text id, int) override {
        if (event == "RequestFailed" && closes_.count(id)) twice_ += !failed_.insert(id).second;
        if (event != "CallArrived") return;
        ++arrived_;
        answered_ += control_ && control_->AcceptCall(id, "100", "Burst");
        lastAnswer_ = Clock::now();
    }
    bool Round(CVoxtrelCtrl& control) override {
        if (!ConnectTo(10)) return false;
        Figures before = Counts(pbx_);
        closes_.clear(), failed_.clear();
        long answers = twice_ = 0;
        // Ids no call has: every close fails with the service's fault, once.
        uint64_t base = 900000000000ull + uint64_t(index_) * 1000000000ull +
                        uint64_t(++figures_["rounds"]) * 10000ull;
        for (int i = Pick(300, 3000); i > 0; --i) {
            std::string id = std::to_string(base + uint64_t(i));
            if (Pick(0, 1) == 0 && control.CloseCall(id)) closes_.insert(id);
            if (!closes_.count(id)) answers += control.AcceptCall(id, "", "");
        }
        long requests = long(closes_.size());
        figures_["requests and answers queued"] += requests + answers;
        Arrive(before, requests, answers, Clock::now());
        // Each close fails once, by the fault or, when the burst stalled, by its time-out.
        PumpUntil(control, seconds(13), [&] { return failed_.size() == closes_.size(); });
        control.PumpEvents(20);
        if (failed_.size() < closes_.size() || twice_ > 0) {
            Fail("request failures missing or twice", "of ", requests, " closes, ",
                 requests - long(failed_.size()), " never failed and ", twice_, " failed twice");
        }
        std::string extension = "burst" + std::to_string(index_), reply;
        before = Counts(pbx_);
        int count = Pick(200, 1000);
        arrived_ = answered_ = 0;
        // The offers go out once the extension is taken over, which is soon.
        std::string offers = Str("offers ", count, " ", extension, " sip:caller@burst");
        if (!control.IncomingCallHandling(extension, 1) ||
            !PumpUntil(control, seconds(2), [&] { return pbx_.Command(offers, reply); })) {
            Fail("bursts late", "IncomingCallHandling had no effect in time: ", reply);
        } else {
            figures_["offers"] += count;
            lastAnswer_ = Clock::now();
            // The offers come in one write; the control hands them over one at a time.
            PumpUntil(control, seconds(10), [&] { return arrived_ >= count; });
            if (arrived_ < count) Fail("bursts late", arrived_, " of ", count, " offers arrived");
            Arrive(before, 0, answered_, lastAnswer_);
        }
        control.Disconnect();  // the calls the offers made end with the connection
        return true;
    }
    void Arrive(const Figures& before, long requests, long answers, Clock::time_point since) {
        if (!Arrived(before, requests, answers)) {
            Fail("bursts late", requests, " requests, ", answers, " answers not in within 2 s");
        }
        Highest("highest arrival ms", MsSince(since));
    }
    std::set<std::string> closes_, failed_;
    long arrived_ = 0, answered_ = 0, twice_ = 0;
    Clock::time_point lastAnswer_;
};

// The reconnect phase: Connect (to the simulator, with a wrong password, to a closed port) and
// Disconnect in event handlers and right after the simulator closed the connection with requests
// outstanding. A failing Connect and Disconnect return within about a second; each outstanding
// request fails once with 102, then one Disconnected comes (unless Disconnect, called meanwhile,
// ends the report); nothing comes after a failed Connect or after Disconnect.
class ReconnectHost : public Host {
    using Host::Host;
    enum Reaction { kNone, kConnect, kDisconnect, kDisconnectConnect };
    static constexpr int32_t kTimeout = 5;  // no outstanding request times out before its close
    void On(Text event, Text id, int number) override {
        bool lossFailure = event == "RequestFailed" && number == 102;
        if (inLoss_ && (event == "Disconnected" || (lossFailure && outstanding_.count(id)))) {
            Report(id);
        } else if (lossFailure && reported_.count(id)) {
            Fail("twice", "RequestFailed 102 for ", id, " twice");
        } else if (event == "Disconnected" || !live_) {
            // Without a connection only the loss's own reports may come.
            Fail("unexpected", event, live_ ? " without a loss" : " with no connection");
            live_ = false;
        } else {
            React(event);
        }
    }
    // The RequestFailed 102 of an outstanding request, or (no id) the Disconnected after them.
    void Report(Text id) {
        std::string name = id.empty() ? "Disconnected" : "RequestFailed 102 for " + id;
        if (cut_) Fail("unexpected", name, " after Disconnect");
        if (disconnected_) Fail(id.empty() ? "twice" : "unexpected", name, " after Disconnected");
        // Events read before the close still come before the loss's reports; from the first
        // report on, the connection is gone unless a Connect has made a new one.
        if (!reconnected_) live_ = false;
        disconnected_ |= id.empty();
        if (!id.empty()) reported_.insert(id), outstanding_.erase(id);
        React(id.empty() ? "Disconnected" : "RequestFailed");
    }
    // Connect (target 1: with a wrong password, 2: to a closed port) or Disconnect, timed.
    bool Timed(bool connect, Text place, int target = 0) {
        auto start = Clock::now();
        bool connected = connect && ConnectTo(kTimeout, target == 2 ? kClosedPort : 0,
                                              target == 1 ? "wrong" : "demo");
        if (!connect) control_->Disconnect();
        long ms = MsSince(start);
        std::string what = !connect ? "Disconnect" : connected ? "Connect TRUE" : "Connect FALSE";
        ++figures_[what];
        Highest("highest ms of " + what, ms);
        if (ms > (connected ? (kTimeout + 5) * 1000L : 1200)) {  // failing: about a second
            Fail("too slow", what, " from ", place, " after ", ms, " ms");
        }
        // Nothing comes after Disconnect, whatever it returned: during a loss report it returns
        // FALSE (the session is idle already) and drops the rest of the report.
        live_ = connect && (live_ || connected);
        reconnected_ |= connected;
        cut_ |= !connect;
        return connected;
    }
    // Runs the armed reaction once, inside the handler of the event it waits for.
    void React(Text event) {
        if (reaction_ == kNone || armedFor_ != event || !control_) return;
        Reaction reaction = std::exchange(reaction_, kNone);
        reacted_ = true;
        if (reaction != kConnect) Timed(false, "the " + event + " handler");
        if (reaction != kDisconnect) Timed(true, "the " + event + " handler", target_);
    }
    void Arm(const char* event, Reaction reaction) {
        armedFor_ = event;
        reaction_ = reaction;
        target_ = std::max(0, Pick(-1, 2));
        reacted_ = false;
    }
    void Fresh() override { live_ = false; }
    bool Round(CVoxtrelCtrl& c) override {
        if (!live_ && !Timed(true, "the host's thread")) return false;
        if (Pick(0, 1) == 0) return LossRound(c), true;
        // A notification or a request's failure, with Connect or Disconnect in its handler.
        static const char* const events[] = {"CallStateChanged", "RequestFailed",
                                             "SubscriptionConfirmed"};
        int kind = Pick(0, 2);
        Arm(events[kind], Reaction(Pick(kConnect, kDisconnectConnect)));
        if (kind == 0) c.CreateCall("pbx:1", "pbx:100");
        if (kind == 1) c.CloseCall("123456789");
        if (kind == 2) c.SubscribeToVoiceMail("rc");
        PumpUntil(c, seconds(3), [&] { return reacted_; });
        // What comes after the reaction is judged too.
        PumpUntil(c, milliseconds(Pick(0, 200)), [] { return false; });
        reaction_ = kNone;
        return true;
    }
    // Requests the simulator holds unanswered, then its close; the control connects (variants 0
    // to 2: at once, after pumping, after Disconnect) or reacts in the reports' handlers.
    void LossRound(CVoxtrelCtrl& c) {
        std::string reply;
        Figures before = Counts(pbx_);
        pbx_.Command("mute createcall", reply);
        for (int i = Pick(1, 30); i > 0; --i)
            outstanding_.insert(c.CreateCall("pbx:1", "pbx:100"));
        outstanding_.erase("0");
        long count = long(outstanding_.size());
        Arrived(before, count, 0);  // written and waiting for their answers when it closes
        pbx_.Command("unmute createcall", reply);
        figures_["requests outstanding at losses"] += count;
        inLoss_ = true;
        cut_ = disconnected_ = reconnected_ = false;
        pbx_.Command("close", reply);
        int variant = Pick(0, 6);
        if (variant < 3) {
            std::this_thread::sleep_for(milliseconds(Pick(0, 30)));
            if (variant == 1) c.PumpEvents(Pick(0, 30));
            if (variant == 2) Timed(false, "right after a loss");
            Timed(true, "right after a loss", std::max(0, Pick(-1, 2)));
        } else {
            Arm(variant < 5 ? "RequestFailed" : "Disconnected",
                Reaction(Pick(kConnect, kDisconnectConnect)));
        }
        PumpUntil(c, seconds(3), [&] { return cut_ || (outstanding_.empty() && disconnected_); });
        PumpUntil(c, milliseconds(100), [] { return false; });  // anything twice comes soon
        if (!cut_ && (!outstanding_.empty() || !disconnected_)) {
            Fail("lost", "of ", count, " requests outstanding at a loss, RequestFailed 102 of ",
                 outstanding_.size(), disconnected_ ? "" : " and Disconnected",
                 " never came (variant ", variant, ")");
        }
        reported_.insert(outstanding_.begin(), outstanding_.end());
        outstanding_.clear();
        inLoss_ = false;
        if (!reconnected_) live_ = false;  // an unreported loss ends the connection too
        reaction_ = kNone;
    }
    bool live_ = false, reacted_ = false;
    // A loss: whether Disconnected came, Disconnect was called during the report (which drops the
    // rest) or Connect returned TRUE (the new connection's events come); the requests outstanding
    // when the simulator closed the connection, and those reported, ever.
    bool inLoss_ = false, disconnected_ = false, cut_ = false, reconnected_ = false;
    std::set<std::string> outstanding_, reported_;
    std::string armedFor_;
    Reaction reaction_ = kNone;
    int target_ = 0;
};

// The hostile phase: after each hostile message a request's failure comes, once, within 2 s.
class HostileHost : public Host {
    using Host::Host;
    void On(Text event, Text id, int) override {
        probeEnds_ += event == "RequestFailed" && id == probe_;
        if (event == "Disconnected") connected_ = false;
    }
    void Fresh() override { connected_ = false; }
    bool Round(CVoxtrelCtrl& control) override {
        if (!connected_ && !(connected_ = ConnectTo(3))) return false;
        const std::string& kind = hostileKinds[size_t(Pick(0, 99)) % hostileKinds.size()];
        std::string reply;
        // Without a connection at the simulator the control hears of its loss by pumping.
        if (!pbx_.Command(kind, reply)) return control.PumpEvents(10), true;
        probe_ = std::to_string(800000000000ull + uint64_t(index_) * 1000000000ull +
                                uint64_t(++figures_["hostile messages"]));
        probeEnds_ = 0;
        auto start = Clock::now();
        // A failed CloseCall: the hostile message has cost the connection already.
        if (!(connected_ = control.CloseCall(probe_))) return true;
        // After a CR LF CR flood the answer joins the flood; a control that cannot read it sees
        // its request time out (3 s) instead.
        auto bound = seconds(kind == "crlfcr-flood" ? 5 : 2);
        bool ended = PumpUntil(control, bound, [&] { return probeEnds_ > 0; });
        Highest("highest ms of a request after them", MsSince(start));
        if (!ended) Fail("requests late", "the request after ", kind, " had no outcome in time");
        control.PumpEvents(10);
        if (probeEnds_ > 1) Fail("requests ended twice", "the request after ", kind, " twice");
        // An outcome that did not come may still come, once: a new connection starts afresh.
        if (!ended) connected_ = false, control.Disconnect();
        return true;
    }
    bool connected_ = false;
    std::string probe_;
    int probeEnds_ = 0;
};

// The scale phase: the controls, on host threads of their own and all alive at once with their
// event descriptors above 1024, connect to one simulator, see a call progress, disconnect and go.
std::atomic<int> scaleWaiting{0};
class ScaleHost : public Host {
    using Host::Host;
    void On(Text event, Text, int) override { progressed_ |= event == "CallStateChanged"; }
    bool Round(CVoxtrelCtrl& control) override {
        end_ = Clock::now();  // one round
        Highest("highest event descriptor", control.EventDescriptor());
        bool connected = ConnectTo(20);
        if (!connected || control.CreateCall("pbx:1", "pbx:2") == "0" ||
            !PumpUntil(control, seconds(30), [&] { return progressed_; })) {
            Fail("no call progress", connected ? "the call made no progress" : "Connect failed");
        }
        for (--scaleWaiting; scaleWaiting > 0;)
            control.PumpEvents(20);
        control.Disconnect();
        return true;
    }
    bool progressed_ = false;
};

int Soak(int secs, int controls, int simulatorCount, const std::vector<std::string>& phases) {
    // A fixed mmap threshold gives the floods' megabyte buffers back when freed; glibc would raise
    // it and keep them, as growth that is no one's.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024);
    setvbuf(stdout, nullptr, _IOLBF, 0);  // a run that crashes still shows how far it came
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    bool sanitized = &__sanitizer_print_stack_trace != nullptr;
    size_t stack = 0;  // what new threads get
    pthread_attr_t defaults;
    if (pthread_getattr_default_np(&defaults) == 0)
        pthread_attr_getstacksize(&defaults, &stack), pthread_attr_destroy(&defaults);
    long threadsBefore = Status("Threads:");
    auto chosen = [&](Text name) { return std::count(phases.begin(), phases.end(), name) > 0; };
    int weights = 2 * int(phases.size()) + 2 * chosen("mixed");  // mixed gets a double share
    std::printf("soak: %d s, %d controls, %d simulators, seed %u\n", secs, controls, simulatorCount,
                runSeed);
    for (int p = 0; p < 5; ++p) {
        if (!chosen(kPhases[phase = p])) continue;
        auto start = Clock::now();
        phaseEnd = start + milliseconds(std::max(1000L, secs * 1000L * (p ? 2 : 4) / weights));
        // The mixed and scale phases' controls share the simulators; the others' have one each.
        bool shared = p % 4 == 0;
        int count = shared ? controls : std::clamp(controls / (p == 3 ? 8 : 3), 1, p == 3 ? 2 : 4);
        pbx::PbxOptions options;
        options.maxConnections = size_t(controls) * 2 + 8;
        // Answers to thousands of requests may wait while the control delivers its events.
        if (p > 0) options.maxOutputBytes = size_t{32} << 20;
        std::vector<std::unique_ptr<pbx::PbxSimulator>> owned(shared ? simulatorCount : count);
        simulators.clear();
        for (auto& pbx : owned) {
            simulators.push_back((pbx = std::make_unique<pbx::PbxSimulator>()).get());
            if (!pbx->Start(options)) return std::puts("soak: no simulator"), 1;
        }
        std::atomic<bool> running{true};
        std::thread chaos([&] {
            if (p == 0) InjectFaults(chosen("hostile"), running);
        });
        std::vector<std::thread> threads;
        scaleWaiting = count;
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([p, i] {
                p == 0   ? MixedHost(i).Run()
                : p == 1 ? BurstHost(i).Run()
                : p == 2 ? ReconnectHost(i).Run()
                : p == 3 ? HostileHost(i).Run()
                         : ScaleHost(i).Run();
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        running = false;
        chaos.join();
        std::printf("  %s phase, %ld ms:", kPhases[p].c_str(), MsSince(start));
        for (auto& [figure, value] : totals[kPhases[p]])
            std::printf(" %s %ld;", figure.c_str(), value);
        std::printf("\n");
    }
    long threadsAfter = Status("Threads:");
    // Growth is judged between the end of the first quarter (everything warmed up) and the end.
    long early = resident.empty() ? 0 : resident[resident.size() / 4];
    long late = resident.empty() ? 0 : resident.back();
    if (chosen("mixed") && totals["mixed"]["events"] == 0) Violation("mixed: no events");
    if (chosen("scale") && totals["scale"]["highest event descriptor"] <= 1024) {
        Violation("scale: no event descriptor above 1024");
    }
    if (stack != kStackBytes) Violation("thread stacks are not 1 MiB");
    if (!sanitized && threadsAfter != threadsBefore) Violation("threads left behind");
    if (!sanitized && late > early + 16 * 1024) Violation("mixed: resident memory grew");
    std::printf(
        "  thread stacks %zu KiB; threads %ld before, %ld after; resident KiB %ld after warm-up, "
        "%ld at the end%s\n  violations %ld\nsoak: %s\n",
        stack / 1024, threadsBefore, threadsAfter, early, late,
        sanitized ? " (not judged under a sanitizer)" : "", violations,
        violations == 0 ? "ok" : "FAILED");
    return violations == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    RestartWithSmallStacks(argv);
    runSeed = std::random_device{}();
    std::vector<std::string> phases(kPhases.begin(), kPhases.end() - 1);
    std::map<std::string, int> numbers = {
        {"--seconds", 20}, {"--controls", 8}, {"--simulators", 2}, {"--scale", 0}};
    for (int i = 1; i < argc; i += 2) {
        std::string option = argv[i], value = i + 1 < argc ? argv[i + 1] : "", item;
        bool ok = !value.empty(), ofPhases = option == "--phases";
        if (numbers.count(option)) {
            ok = ok && (numbers[option] = std::atoi(value.c_str())) > 0;
        } else if (option == "--seed") {
            runSeed = uint32_t(std::strtoul(value.c_str(), nullptr, 10));
        } else if (ok = ok && (ofPhases || option == "--hostile"); ok) {
            const std::vector<std::string>& known = ofPhases ? kPhases : kHostileKinds;
            std::vector<std::string>& list = ofPhases ? phases : hostileKinds;
            list.clear();
            for (std::istringstream items(value); std::getline(items, item, ',');)
                ok = ok && std::count(known.begin(), known.end(), item), list.push_back(item);
        }
        if (!ok) return std::fputs(kUsage, stderr), 2;
    }
    if (int scale = numbers["--scale"]; scale > 0) return Soak(20, scale, 1, {"scale"});
    return Soak(numbers["--seconds"], numbers["--controls"], numbers["--simulators"], phases);
}
