// Soak and scale runs of the whole control against in-process simulators.
//   voxtrel_soak [--seconds S] [--controls N] [--simulators K] [--seed X]
//                [--phases mixed,burst,reconnect,hostile]
//                [--hostile nest,attributes,cr-flood,crlfcr-flood]
//       Phases, one after the other, sharing the seconds (all of them unless --phases names
//       some); every request must end exactly once and every event must belong to something
//       its control started, with no memory growth and no thread left behind:
//       mixed      many controls, each on a host thread of its own, issue a random mix of all
//                  fifteen methods, from their threads and from inside event handlers, while
//                  the simulators inject every kind of fault (late, faulted and missing
//                  answers, random closes, split writes, garbage, floods, slow reading, and the
//                  hostile messages when that phase runs too);
//       burst      hundreds to thousands of requests and answers queued in a tight loop, and
//                  hundreds of offers in one write answered from their handlers: all of them
//                  reach the simulator within a couple of seconds;
//       reconnect  Connect and Disconnect from inside every kind of event handler and right
//                  after the simulator closed a connection with requests outstanding: Connect
//                  returns within about a second (within the time-out and five seconds when it
//                  connects), each outstanding request fails once with 102 and then one
//                  Disconnected comes (unless Disconnect, called meanwhile, ends the report),
//                  and nothing comes after a failed Connect or after Disconnect;
//       hostile    deeply nested values, tags with tens of thousands of attributes, CR floods
//                  and CR LF CR floods, each followed by a request whose outcome must come
//                  within a couple of seconds.
//       Every thread runs on a 1 MiB stack: the run restarts itself with that stack limit,
//       which glibc takes as the default stack size of new threads, and checks it.
//   voxtrel_soak --scale N
//       N controls with their host threads against one simulator: each connects, works and is
//       destroyed cleanly; descriptors above 1024 are in use.
#include <sys/resource.h>

#include <dirent.h>
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Sanitizer runtimes hold freed memory in quarantine and keep threads of their own: under them
// memory and threads are reported, not judged.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

namespace {

constexpr size_t kStackBytes = size_t{1} << 20;
// Set in the environment of the restarted run, so that it restarts only once.
constexpr const char* kStackMarker = "VOXTREL_SOAK_STACK_SET";

// The bounds the phases hold the control to.
constexpr auto kArrivalBound = std::chrono::seconds(2);  // a burst, in full, at the simulator
constexpr auto kFailedConnectBound = std::chrono::milliseconds(1200);  // about a second
constexpr auto kDisconnectBound = std::chrono::milliseconds(1200);
constexpr auto kProbeBound = std::chrono::seconds(2);       // a request after a hostile message
constexpr auto kLossEventsBound = std::chrono::seconds(3);  // the failures and Disconnected

const char* const kOutcomeNames[] = {"written",         "answered",       "faulted",
                                     "timed out",       "closed locally", "closed remotely",
                                     "connect timeout", "unwritable",     "discarded"};

const char* const kHostileKinds[] = {"nest", "attributes", "cr-flood", "crlfcr-flood"};
// The kinds the run injects (--hostile narrows them down to reproduce one).
std::vector<std::string> hostileKinds(std::begin(kHostileKinds), std::end(kHostileKinds));

const std::string& SomeHostileKind(int pick) {
    return hostileKinds[static_cast<size_t>(pick) % hostileKinds.size()];
}

long Millis(Clock::duration duration) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

struct BurstStats {
    long rounds = 0;
    long connectFailures = 0;
    long requestsQueued = 0;
    long requestsReceived = 0;
    long answersQueued = 0;
    long answersReceived = 0;
    long requestFailuresMissing = 0;
    long requestFailuresTwice = 0;
    long offersSent = 0;
    long offersArrived = 0;
    long offersAnswered = 0;
    long offerAnswersReceived = 0;
    long lateBursts = 0;
    long longestArrivalMs = 0;
};

struct ReconnectStats {
    long rounds = 0;
    long losses = 0;
    long outstandingAtLoss = 0;
    long lossFailures = 0;  // RequestFailed 102 of the outstanding requests, as they came
    long lossDisconnects = 0;
    std::map<std::string, long> connectsAt;  // where Connect was called from
    long connectsTrue = 0;
    long connectsFalse = 0;
    long longestTrueMs = 0;
    long longestFalseMs = 0;
    long connectsFromHandlers = 0;
    long longestFromHandlerMs = 0;
    long disconnectsFromHandlers = 0;
    long longestDisconnectMs = 0;
    long slow = 0;
    long lost = 0;
    long twice = 0;
    long unexpected = 0;    // after a failed Connect, after Disconnect, or out of order
    long notTriggered = 0;  // handler rounds whose event did not come
};

struct HostileStats {
    std::map<std::string, long> injected;
    long probes = 0;
    long probesLate = 0;
    long longestProbeMs = 0;
    long connectionsLost = 0;
    long read = 0;  // hostile state changes that the control read and delivered
};

// Counts across all controls of the run.
struct Totals {
    std::mutex lock;
    long accepted = 0;
    long doubleEnds = 0;
    long unended = 0;
    long outcomes[9] = {};
    std::map<std::string, long> events;
    long unmatchedEvents = 0;
    long methodCalls = 0;
    long calledFromHandlers = 0;
    std::map<std::string, long> faultsInjected;
    BurstStats burst;
    ReconnectStats reconnect;
    HostileStats hostile;
    long hostileReadInMixed = 0;
    std::vector<std::string> violations;
    long violationCount = 0;
};

Totals totals;

void Violation(const std::string& text) {
    std::lock_guard<std::mutex> guard(totals.lock);
    ++totals.violationCount;
    if (totals.violations.size() < 40) totals.violations.push_back(text);
    std::fprintf(stderr, "soak: %s\n", text.c_str());
}

// Every message a control's session takes, until it ends; shared by the control's lifetimes.
class Ledger : public SessionAccounting {
  public:
    void Accepted(const XmlRpcMethod& message) override {
        std::lock_guard<std::mutex> guard(lock_);
        open_.insert(&message);
        ++accepted_;
    }
    void Ended(const XmlRpcMethod& message, Outcome outcome) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (open_.erase(&message) != 1) ++doubleEnds_;
        ++outcomes_[outcome];
    }
    void AddTo(Totals& t) {
        std::lock_guard<std::mutex> guard(lock_);
        std::lock_guard<std::mutex> sum(t.lock);
        t.accepted += accepted_;
        t.doubleEnds += doubleEnds_;
        t.unended += static_cast<long>(open_.size());
        for (int i = 0; i < 9; ++i)
            t.outcomes[i] += outcomes_[i];
    }

  private:
    std::mutex lock_;
    std::set<const XmlRpcMethod*> open_;
    long accepted_ = 0;
    long doubleEnds_ = 0;
    long outcomes_[9] = {};
};

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int ThreadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

void RaiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// glibc reads the stack limit once, when the process starts, as the default stack size of the
// threads it makes: setting the limit later changes nothing for them. So the run sets it and
// starts itself again, once, before any thread exists.
void RestartWithSmallStacks(char** argv) {
    rlimit limit;
    if (getenv(kStackMarker) != nullptr || getrlimit(RLIMIT_STACK, &limit) != 0) return;
    if (limit.rlim_cur == kStackBytes) return;
    limit.rlim_cur = kStackBytes;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < kStackBytes) return;
    if (setrlimit(RLIMIT_STACK, &limit) != 0) return;
    setenv(kStackMarker, "1", 1);
    execv("/proc/self/exe", argv);
    // Still here: the check of the stacks reports it.
}

size_t StackOfThisThread() {
    pthread_attr_t attributes;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
    return size;
}

// The stack of a new thread, as every thread of the run (hosts, workers, simulators) gets it.
size_t StackOfNewThreads() {
    size_t size = 0;
    std::thread probe([&] { size = StackOfThisThread(); });
    probe.join();
    return size;
}

// What a simulator has received from all its connections.
struct SimCounts {
    long requests = 0;
    long accepted = 0;
    long declined = 0;
    long redirected = 0;
    long acknowledged = 0;
};

bool ReadCounts(pbx::PbxSimulator& pbx, SimCounts& counts) {
    std::string reply;
    if (!pbx.Command("counts", reply)) return false;
    std::istringstream words(reply);
    std::string name;
    long value = 0;
    while (words >> name >> value) {
        if (name == "requests") counts.requests = value;
        if (name == "accepted") counts.accepted = value;
        if (name == "declined") counts.declined = value;
        if (name == "redirected") counts.redirected = value;
        if (name == "acknowledged") counts.acknowledged = value;
    }
    return true;
}

// Handlers that only count, for the phases' hosts to override what they need.
class QuietEvents : public VoxtrelEvents {
  public:
};

// Pumps the control's events until done() holds or the bound passes; whether it held.
bool PumpUntil(CVoxtrelCtrl& control, Clock::duration bound, const std::function<bool()>& done) {
    auto deadline = Clock::now() + bound;
    while (!done()) {
        if (Clock::now() >= deadline) return done();
        control.PumpEvents(5);
    }
    return true;
}

// A simulator of a phase's own, so that its counts and closes concern one control.
std::unique_ptr<pbx::PbxSimulator> StartSimulator() {
    auto pbx = std::make_unique<pbx::PbxSimulator>();
    pbx::PbxOptions options;
    // Answers to thousands of requests may wait while the control delivers its events.
    options.maxOutputBytes = size_t{32} << 20;
    if (!pbx->Start(options)) return nullptr;
    return pbx;
}

// The mixed phase: one host thread with its control: random methods, pumping, and handlers
// that call back.
class MixedHost : public VoxtrelEvents {
  public:
    MixedHost(int index, std::vector<pbx::PbxSimulator*> simulators, uint32_t seed,
              Clock::time_point end)
        : index_(index), simulators_(std::move(simulators)), random_(seed), end_(end) {}

    void Run() {
        while (Clock::now() < end_) {
            // A new control hears only of what it starts itself: the ids of the one before go,
            // so that the run's memory is the control's and not this bookkeeping's.
            calls_ids_.clear();
            subscriptions_.clear();
            used_.clear();
            auto control = std::make_unique<CVoxtrelCtrl>();
            control_ = control.get();
            control->SetSessionAccounting(&ledger_);
            control->SetEventSink(this);
            // A control lives for a random number of actions, then goes, connected or not.
            int actions = Pick(50, 400);
            for (int i = 0; i < actions && Clock::now() < end_; ++i) {
                Act(false);
                control->PumpEvents(Pick(0, 20));
            }
            control_ = nullptr;
            control.reset();
        }
        ledger_.AddTo(totals);
        std::lock_guard<std::mutex> guard(totals.lock);
        for (auto& [name, count] : events_)
            totals.events[name] += count;
        totals.unmatchedEvents += unmatched_;
        totals.methodCalls += calls_;
        totals.calledFromHandlers += fromHandlers_;
        totals.hostileReadInMixed += hostileRead_;
    }

    void CallStateChanged(const std::string& id, int16_t) override {
        // Call 0 is the one the hostile messages name: a control that reads them says so.
        if (id == "0") {
            ++hostileRead_;
            return;
        }
        Call("CallStateChanged", id);
    }
    void MessagePlayed(const std::string& id) override { Call("MessagePlayed", id); }
    void DtmfDigitReceived(const std::string& id, int16_t) override {
        Call("DtmfDigitReceived", id);
    }
    void RequestFailed(const std::string& id, int32_t, const std::string&) override {
        Count("RequestFailed",
              id == "0" || calls_ids_.count(id) || subscriptions_.count(id) || used_.count(id));
        Handler();
    }
    void Disconnected() override { Count("Disconnected", true); }
    void CallArrived(const std::string& id, const std::string&, const std::string&,
                     const std::string&) override {
        calls_ids_.insert(id);
        Count("CallArrived", true);
        // Offers are answered from inside the handler, one way or another.
        switch (Pick(0, 2)) {
            case 0:
                control_->AcceptCall(id, "100", "Soak");
                break;
            case 1:
                control_->RejectCall(id);
                break;
            default:
                control_->ForwardCall(id, "pbx:" + Extension(), "", "");
                break;
        }
        ++fromHandlers_;
    }
    void MailArrived(const std::string& id, const std::string&, const std::string&, int32_t,
                     int32_t) override {
        Count("MailArrived", subscriptions_.count(id) != 0);
    }
    void SubscriptionConfirmed(const std::string& id, bool, int32_t) override {
        Count("SubscriptionConfirmed", subscriptions_.count(id) != 0);
        Handler();
    }

  private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    std::string Extension() { return "ext" + std::to_string(index_ % 4); }

    std::string SomeCall() {
        if (calls_ids_.empty() || Pick(0, 9) == 0) return std::to_string(Pick(0, 1000));
        auto it = calls_ids_.begin();
        std::advance(it, Pick(0, static_cast<int>(calls_ids_.size()) - 1));
        return *it;
    }

    void Count(const char* name, bool matched) {
        ++events_[name];
        if (!matched) {
            ++unmatched_;
            std::fprintf(stderr, "soak: unmatched %s at host %d\n", name, index_);
        }
    }

    void Call(const char* name, const std::string& id) {
        Count(name, calls_ids_.count(id) != 0);
        Handler();
    }

    // Now and then a handler issues a method itself.
    void Handler() {
        if (control_ != nullptr && Pick(0, 3) == 0) {
            ++fromHandlers_;
            Act(true);
        }
    }

    void Act(bool inHandler) {
        CVoxtrelCtrl& c = *control_;
        ++calls_;
        int action = Pick(0, 18);
        if (inHandler && (action == 0 || action == 1 || action == 16)) action = 3;
        std::string call = SomeCall();
        switch (action) {
            case 0: {
                pbx::PbxSimulator* pbx =
                    simulators_[Pick(0, static_cast<int>(simulators_.size()) - 1)];
                c.Connect(pbx->Host(), static_cast<int16_t>(pbx->Port()), 2, "demo", "demo");
                break;
            }
            case 1:
                // Connections last long enough for unanswered requests to reach their time-out.
                if (Pick(0, 3) == 0) c.Disconnect();
                break;
            case 2:
            case 3: {
                static const char* const targets[] = {"pbx:100", "pbx:busy", "pbx:noanswer",
                                                      "sip:a@h", "bad"};
                std::string id = c.CreateCall("pbx:1", targets[Pick(0, 4)]);
                if (id != "0") calls_ids_.insert(id);
                break;
            }
            case 4:
                Use(call);
                c.CloseCall(call);
                break;
            case 5:
                Use(call);
                c.TransferCall(call, Pick(0, 1) ? "pbx:102" : "pbx:unreachable");
                break;
            case 6: {
                std::string other = SomeCall();
                Use(call);
                Use(other);
                Pick(0, 1) ? c.JoinCalls(call, other) : c.UnjoinCalls(call, other);
                break;
            }
            case 7:
                Use(call);
                c.PlayMessage(call, "m.wav", static_cast<int16_t>(Pick(-1, 2)));
                break;
            case 8:
                Use(call);
                c.EnableDtmfDetection(call, Pick(0, 1));
                break;
            case 9:
                c.IncomingCallHandling(Extension(), Pick(0, 3) ? 1 : 0);
                break;
            case 10:
                Use(call);
                c.AcceptCall(call, "", "");
                break;
            case 11:
                Use(call);
                c.RejectCall(call);
                break;
            case 12:
                Use(call);
                c.ForwardCall(call, "tel:5", "", "");
                break;
            case 13: {
                std::string id = c.SubscribeToVoiceMail(Extension());
                if (id != "0") subscriptions_.insert(id);
                break;
            }
            case 14: {
                std::string id = subscriptions_.empty() ? "1" : *subscriptions_.begin();
                Use(id);
                c.Unsubscribe(id);
                break;
            }
            case 15:
                if (c.HasControlWindow()) {
                    c.DestroyControlWindow();
                } else {
                    c.CreateControlWindow();
                }
                break;
            default:
                if (!c.HasControlWindow()) c.CreateControlWindow();
                break;
        }
    }

    void Use(const std::string& id) { used_.insert(id); }

    int index_;
    std::vector<pbx::PbxSimulator*> simulators_;
    std::mt19937 random_;
    Clock::time_point end_;
    CVoxtrelCtrl* control_ = nullptr;
    Ledger ledger_;
    std::set<std::string> calls_ids_;
    std::set<std::string> subscriptions_;
    std::set<std::string> used_;
    std::map<std::string, long> events_;
    long unmatched_ = 0;
    long calls_ = 0;
    long fromHandlers_ = 0;
    long hostileRead_ = 0;
};

// Drives the simulators' consoles: every kind of injected fault (late answers, faults, silence,
// random closes, split writes, garbage, floods, slow reading, and hostile messages when asked
// for), calm spells, offers and closes.
void InjectFaults(std::vector<pbx::PbxSimulator*> simulators, uint32_t seed, Clock::time_point end,
                  bool hostile) {
    std::mt19937 random(seed);
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    static const char* const methods[] = {
        "createcall",  "closecall",           "transfercall",         "joincalls", "unjoincalls",
        "playmessage", "enabledtmfdetection", "incomingcallhandling", "subscribe", "unsubscribe"};
    // Each simulator's random choices repeat with the run's seed.
    for (size_t i = 0; i < simulators.size(); ++i) {
        std::string reply;
        simulators[i]->Command("chaos seed " + std::to_string(seed + i + 1), reply);
    }
    auto inject = [&](pbx::PbxSimulator& pbx, const std::string& command, const char* kind) {
        std::string reply;
        if (pbx.Command(command, reply)) totals.faultsInjected[kind]++;
    };
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(20, 120)));
        pbx::PbxSimulator& pbx = *simulators[pick(0, static_cast<int>(simulators.size()) - 1)];
        std::string reply;
        std::string method = methods[pick(0, 9)];
        switch (pick(0, hostile ? 31 : 29)) {
            case 0:
            case 1:
            case 2:
                inject(pbx, "fault " + method + " " + std::to_string(pick(1, 99)) + " soak",
                       "fault answer");
                break;
            case 3:
                inject(pbx,
                       "fault-rate " + method + " " + std::to_string(pick(5, 60)) + " " +
                           std::to_string(pick(1, 99)) + " soak rate",
                       "fault rate");
                break;
            case 4:
                inject(pbx, "mute " + method, "never answer");
                break;
            case 5:
                // Some late answers come after the session has given up on their request.
                inject(pbx,
                       "delay " + method + " " + std::to_string(pick(0, 3) ? pick(20, 800) : 2500),
                       "answer late");
                break;
            case 6:
                inject(pbx, "chaos close " + std::to_string(pick(1, 4)), "close at random");
                break;
            case 7:
                if (pick(0, 3) == 0) inject(pbx, "close", "connection closed");
                break;
            case 8:
                inject(pbx, pick(0, 1) ? "chaos split on" : "chaos split off", "split writes");
                break;
            case 9:
            case 10:
                inject(pbx, "garbage", "garbage");
                break;
            case 11:
                if (pick(0, 1) == 0) inject(pbx, "flood", "flood");
                break;
            case 12:
                inject(pbx, "chaos slow-read " + std::to_string(pick(0, 2) ? pick(500, 20000) : 0),
                       "slow read");
                break;
            case 13:
            case 14:
                // A calm spell: every injected fault of the simulator ends.
                pbx.Command("chaos off", reply);
                break;
            case 30:
            case 31: {
                const std::string& kind = SomeHostileKind(pick(0, 99));
                inject(pbx, kind, kind.c_str());
                break;
            }
            default:
                pbx.Command("offer ext" + std::to_string(pick(0, 3)) + " sip:caller@soak", reply);
                break;
        }
    }
    for (pbx::PbxSimulator* pbx : simulators) {
        std::string reply;
        pbx->Command("chaos off", reply);
    }
}

// The burst phase: a control with a simulator of its own. Each round queues hundreds to
// thousands of CloseCall requests and AcceptCall answers in a tight loop on the host's thread,
// then has the simulator send hundreds of offers in one write, each accepted inside its
// CallArrived handler; everything the methods took must reach the simulator within a couple of
// seconds, and every CloseCall must fail exactly once (the calls are unknown).
class BurstHost : public QuietEvents {
  public:
    BurstHost(int index, pbx::PbxSimulator& pbx, uint32_t seed, Clock::time_point end)
        : index_(index), pbx_(pbx), random_(seed), end_(end) {}

    void Run() {
        std::unique_ptr<CVoxtrelCtrl> control;
        while (Clock::now() < end_) {
            if (!control) {
                control = std::make_unique<CVoxtrelCtrl>();
                control->SetSessionAccounting(&ledger_);
                control->SetEventSink(this);
            }
            control_ = control.get();
            if (!control->Connect(pbx_.Host(), static_cast<int16_t>(pbx_.Port()), 10, "demo",
                                  "demo")) {
                ++stats_.connectFailures;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            ++stats_.rounds;
            Requests(*control);
            Offers(*control);
            // The calls the offers made end with the connection.
            control->Disconnect();
            if (Pick(0, 3) == 0) {
                control_ = nullptr;
                control.reset();
            }
        }
        control_ = nullptr;
        control.reset();
        ledger_.AddTo(totals);
        std::lock_guard<std::mutex> guard(totals.lock);
        BurstStats& sum = totals.burst;
        sum.rounds += stats_.rounds;
        sum.connectFailures += stats_.connectFailures;
        sum.requestsQueued += stats_.requestsQueued;
        sum.requestsReceived += stats_.requestsReceived;
        sum.answersQueued += stats_.answersQueued;
        sum.answersReceived += stats_.answersReceived;
        sum.requestFailuresMissing += stats_.requestFailuresMissing;
        sum.requestFailuresTwice += stats_.requestFailuresTwice;
        sum.offersSent += stats_.offersSent;
        sum.offersArrived += stats_.offersArrived;
        sum.offersAnswered += stats_.offersAnswered;
        sum.offerAnswersReceived += stats_.offerAnswersReceived;
        sum.lateBursts += stats_.lateBursts;
        sum.longestArrivalMs = std::max(sum.longestArrivalMs, stats_.longestArrivalMs);
    }

    void RequestFailed(const std::string& id, int32_t, const std::string&) override {
        auto found = closes_.find(id);
        if (found != closes_.end()) ++found->second;
    }
    void CallArrived(const std::string& id, const std::string&, const std::string&,
                     const std::string&) override {
        ++arrived_;
        if (control_ != nullptr && control_->AcceptCall(id, "100", "Burst")) ++answered_;
        lastAnswer_ = Clock::now();
    }

  private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    // Waits, pumping, until the simulator has received what the methods took since before.
    bool Arrived(CVoxtrelCtrl& control, const SimCounts& before, long requests, long accepted,
                 Clock::time_point since, SimCounts& now) {
        auto check = [&] {
            ReadCounts(pbx_, now);
            return now.requests - before.requests >= requests &&
                   now.accepted - before.accepted >= accepted;
        };
        bool all = PumpUntil(control, kArrivalBound, check);
        stats_.longestArrivalMs = std::max(stats_.longestArrivalMs, Millis(Clock::now() - since));
        return all;
    }

    void Requests(CVoxtrelCtrl& control) {
        int count = Pick(300, 3000);
        closes_.clear();
        SimCounts before;
        ReadCounts(pbx_, before);
        long requests = 0;
        long answers = 0;
        // Ids no call has: every close fails with the service's fault, once.
        uint64_t base = 900000000000ull + static_cast<uint64_t>(index_) * 1000000000ull +
                        static_cast<uint64_t>(stats_.rounds) * 10000ull;
        for (int i = 0; i < count; ++i) {
            std::string id = std::to_string(base + static_cast<uint64_t>(i));
            if (Pick(0, 1) == 0) {
                if (control.CloseCall(id)) {
                    closes_[id] = 0;
                    ++requests;
                }
            } else if (control.AcceptCall(id, "", "")) {
                ++answers;
            }
        }
        auto queued = Clock::now();
        stats_.requestsQueued += requests;
        stats_.answersQueued += answers;
        SimCounts now;
        bool all = Arrived(control, before, requests, answers, queued, now);
        long gotRequests = std::min(now.requests - before.requests, requests);
        long gotAnswers = std::min(now.accepted - before.accepted, answers);
        stats_.requestsReceived += gotRequests;
        stats_.answersReceived += gotAnswers;
        if (!all) {
            ++stats_.lateBursts;
            Violation("burst: " + std::to_string(requests) + " requests and " +
                      std::to_string(answers) + " answers queued at host " +
                      std::to_string(index_) + ", the simulator had " +
                      std::to_string(gotRequests) + " and " + std::to_string(gotAnswers) +
                      " after " + std::to_string(Millis(Clock::now() - queued)) + " ms");
        }
        // Each close fails once, by the fault or, when the burst stalled, by its time-out.
        auto ended = [&] {
            return std::all_of(closes_.begin(), closes_.end(),
                               [](const auto& entry) { return entry.second > 0; });
        };
        PumpUntil(control, std::chrono::seconds(13), ended);
        control.PumpEvents(20);
        long missing = 0;
        long twice = 0;
        for (const auto& [id, count] : closes_) {
            missing += count == 0;
            twice += count > 1;
        }
        stats_.requestFailuresMissing += missing;
        stats_.requestFailuresTwice += twice;
        if (missing + twice > 0) {
            Violation("burst: of " + std::to_string(closes_.size()) + " closes at host " +
                      std::to_string(index_) + ", " + std::to_string(missing) +
                      " never failed and " + std::to_string(twice) + " failed twice");
        }
        closes_.clear();
    }

    void Offers(CVoxtrelCtrl& control) {
        std::string extension = "burst" + std::to_string(index_);
        SimCounts before;
        ReadCounts(pbx_, before);
        if (!control.IncomingCallHandling(extension, 1)) return;
        int count = Pick(200, 1000);
        arrived_ = 0;
        answered_ = 0;
        std::string reply;
        // The offers go out once the extension is taken over, which is soon.
        bool offered = PumpUntil(control, kArrivalBound, [&] {
            return pbx_.Command(
                "offers " + std::to_string(count) + " " + extension + " sip:caller@burst", reply);
        });
        if (!offered) {
            ++stats_.lateBursts;
            Violation("burst: IncomingCallHandling at host " + std::to_string(index_) +
                      " did not take effect within " + std::to_string(Millis(kArrivalBound)) +
                      " ms: " + reply);
            return;
        }
        stats_.offersSent += count;
        auto sent = Clock::now();
        lastAnswer_ = sent;
        // The offers come in one write; the control hands them over one at a time.
        PumpUntil(control, std::chrono::seconds(10), [&] { return arrived_ >= count; });
        stats_.offersArrived += arrived_;
        stats_.offersAnswered += answered_;
        if (arrived_ < count) {
            Violation("burst: " + std::to_string(arrived_) + " of " + std::to_string(count) +
                      " offers arrived at host " + std::to_string(index_));
        }
        SimCounts now;
        bool all = Arrived(control, before, 0, answered_, lastAnswer_, now);
        long got = std::min(now.accepted - before.accepted, answered_);
        stats_.offerAnswersReceived += got;
        if (!all) {
            ++stats_.lateBursts;
            Violation("burst: " + std::to_string(answered_) +
                      " offers accepted in handlers at host " + std::to_string(index_) +
                      ", the simulator had " + std::to_string(got) + " answers " +
                      std::to_string(Millis(Clock::now() - lastAnswer_)) + " ms after the last");
        }
    }

    int index_;
    pbx::PbxSimulator& pbx_;
    std::mt19937 random_;
    Clock::time_point end_;
    CVoxtrelCtrl* control_ = nullptr;
    Ledger ledger_;
    BurstStats stats_;
    std::map<std::string, int> closes_;
    long arrived_ = 0;
    long answered_ = 0;
    Clock::time_point lastAnswer_;
};

// The reconnect phase: a control with a simulator of its own calls Connect and Disconnect from
// inside every kind of event handler, and right after the simulator closed its connection
// while requests were outstanding, with and without pumping first. Connect must return within
// about a second, or within the time-out and five seconds when it connects; every outstanding
// request fails exactly once with 102 and then exactly one Disconnected comes; nothing comes
// after a failed Connect or after Disconnect.
class ReconnectHost : public QuietEvents {
  public:
    ReconnectHost(int index, pbx::PbxSimulator& pbx, uint16_t closedPort, uint32_t seed,
                  Clock::time_point end)
        : index_(index), pbx_(pbx), closedPort_(closedPort), random_(seed), end_(end) {}

    void Run() {
        std::unique_ptr<CVoxtrelCtrl> control;
        while (Clock::now() < end_) {
            if (!control) {
                control = std::make_unique<CVoxtrelCtrl>();
                control->SetSessionAccounting(&ledger_);
                control->SetEventSink(this);
                control_ = control.get();
                live_ = false;
                extensionTaken_ = false;
            }
            if (!live_ && !TimedConnect("the host's thread", kGood)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            ++stats_.rounds;
            if (Pick(0, 1) == 0) {
                LossRound();
            } else {
                HandlerRound();
            }
            if (Pick(0, 5) == 0) {
                control_ = nullptr;
                control.reset();
                ClearLoss();
            }
        }
        control_ = nullptr;
        control.reset();
        ledger_.AddTo(totals);
        std::lock_guard<std::mutex> guard(totals.lock);
        ReconnectStats& sum = totals.reconnect;
        sum.rounds += stats_.rounds;
        sum.losses += stats_.losses;
        sum.outstandingAtLoss += stats_.outstandingAtLoss;
        sum.lossFailures += stats_.lossFailures;
        sum.lossDisconnects += stats_.lossDisconnects;
        for (auto& [place, count] : stats_.connectsAt)
            sum.connectsAt[place] += count;
        sum.connectsTrue += stats_.connectsTrue;
        sum.connectsFalse += stats_.connectsFalse;
        sum.longestTrueMs = std::max(sum.longestTrueMs, stats_.longestTrueMs);
        sum.longestFalseMs = std::max(sum.longestFalseMs, stats_.longestFalseMs);
        sum.connectsFromHandlers += stats_.connectsFromHandlers;
        sum.longestFromHandlerMs = std::max(sum.longestFromHandlerMs, stats_.longestFromHandlerMs);
        sum.disconnectsFromHandlers += stats_.disconnectsFromHandlers;
        sum.longestDisconnectMs = std::max(sum.longestDisconnectMs, stats_.longestDisconnectMs);
        sum.slow += stats_.slow;
        sum.lost += stats_.lost;
        sum.twice += stats_.twice;
        sum.unexpected += stats_.unexpected;
        sum.notTriggered += stats_.notTriggered;
    }

    void CallStateChanged(const std::string& id, int16_t state) override {
        if (state == 3) connectedCalls_.insert(id);
        Event("CallStateChanged", id);
    }
    void MessagePlayed(const std::string& id) override { Event("MessagePlayed", id); }
    void DtmfDigitReceived(const std::string& id, int16_t) override {
        Event("DtmfDigitReceived", id);
    }
    void MailArrived(const std::string& id, const std::string&, const std::string&, int32_t,
                     int32_t) override {
        Event("MailArrived", id);
    }
    void RequestFailed(const std::string& id, int32_t code, const std::string&) override {
        if (loss_ && code == 102 && (loss_->outstanding.count(id) || loss_->failed.count(id))) {
            LossFailure(id);
            return;
        }
        if (code == 102 && pastLosses_.count(id)) {
            ++stats_.twice;
            Unexpected("RequestFailed 102 for " + id + " after its loss was over");
            return;
        }
        Event("RequestFailed", id);
    }
    void Disconnected() override {
        if (loss_) {
            LossDisconnected();
            return;
        }
        if (live_) {
            Unexpected("Disconnected without a loss");
            live_ = false;
            return;
        }
        Unexpected("Disconnected with no connection");
    }
    void CallArrived(const std::string& id, const std::string&, const std::string&,
                     const std::string&) override {
        Event("CallArrived", id);
    }
    void SubscriptionConfirmed(const std::string& id, bool, int32_t) override {
        confirmed_.insert(id);
        Event("SubscriptionConfirmed", id);
    }

  private:
    enum Target { kGood, kBadPassword, kClosedPort };
    enum Reaction { kNone, kConnect, kDisconnect, kDisconnectConnect };

    // The requests that were outstanding when the simulator closed the connection.
    struct Loss {
        std::set<std::string> outstanding;
        std::set<std::string> failed;
        bool disconnected = false;
        // Disconnect was called while the loss was reported: the rest is dropped.
        bool cut = false;
        // Connect returned TRUE since the close: events of the new connection may come.
        bool reconnected = false;
    };

    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    std::string Extension() const { return "rc" + std::to_string(index_); }

    void Unexpected(const std::string& what) {
        ++stats_.unexpected;
        Violation("reconnect: " + what + " at host " + std::to_string(index_));
    }

    // The loss's own reports are the only events a control without a connection may deliver.
    void Event(const char* name, const std::string&) {
        if (!live_) {
            Unexpected(std::string(name) + (failedConnect_ ? " after a failed Connect"
                                                           : " after a loss or Disconnect"));
            return;
        }
        React(name);
    }

    // Events read before the close still come before the loss's reports; from the first
    // report on, the connection is gone unless a Connect has made a new one.
    void LossReported() {
        if (!loss_->reconnected) live_ = false;
    }

    void LossFailure(const std::string& id) {
        Loss& loss = *loss_;
        if (loss.cut) Unexpected("RequestFailed 102 after Disconnect");
        if (loss.failed.count(id)) {
            ++stats_.twice;
            Unexpected("RequestFailed 102 twice for " + id);
            return;
        }
        if (loss.disconnected) Unexpected("RequestFailed 102 after Disconnected");
        LossReported();
        loss.outstanding.erase(id);
        loss.failed.insert(id);
        ++stats_.lossFailures;
        React("RequestFailed");
    }

    void LossDisconnected() {
        Loss& loss = *loss_;
        if (loss.cut) Unexpected("Disconnected after Disconnect");
        if (loss.disconnected) {
            ++stats_.twice;
            Unexpected("Disconnected twice");
            return;
        }
        LossReported();
        loss.disconnected = true;
        ++stats_.lossDisconnects;
        React("Disconnected");
    }

    bool TimedConnect(const std::string& place, Target target) {
        CVoxtrelCtrl& c = *control_;
        auto start = Clock::now();
        bool connected = c.Connect(
            pbx_.Host(), static_cast<int16_t>(target == kClosedPort ? closedPort_ : pbx_.Port()),
            kTimeout, "demo", target == kBadPassword ? "wrong" : "demo");
        long ms = Millis(Clock::now() - start);
        ++stats_.connectsAt[place];
        if (place.find("handler") != std::string::npos) {
            ++stats_.connectsFromHandlers;
            stats_.longestFromHandlerMs = std::max(stats_.longestFromHandlerMs, ms);
        }
        if (connected) {
            ++stats_.connectsTrue;
            stats_.longestTrueMs = std::max(stats_.longestTrueMs, ms);
            live_ = true;
            failedConnect_ = false;
            extensionTaken_ = false;
            if (loss_) loss_->reconnected = true;
            if (ms > Millis(std::chrono::seconds(kTimeout + 5))) {
                ++stats_.slow;
                Unexpected("Connect from " + place + " connected after " + std::to_string(ms) +
                           " ms");
            }
        } else {
            ++stats_.connectsFalse;
            stats_.longestFalseMs = std::max(stats_.longestFalseMs, ms);
            if (!live_ || loss_) failedConnect_ = true;
            if (ms > Millis(kFailedConnectBound)) {
                ++stats_.slow;
                Unexpected("Connect from " + place + " failed after " + std::to_string(ms) + " ms");
            }
        }
        return connected;
    }

    bool TimedDisconnect(const std::string& place) {
        auto start = Clock::now();
        bool disconnected = control_->Disconnect();
        long ms = Millis(Clock::now() - start);
        stats_.longestDisconnectMs = std::max(stats_.longestDisconnectMs, ms);
        if (ms > Millis(kDisconnectBound)) {
            ++stats_.slow;
            Unexpected("Disconnect from " + place + " took " + std::to_string(ms) + " ms");
        }
        // Nothing comes once Disconnect has been called, whatever it returned: during a loss
        // report it returns FALSE (the worker has made the session idle already) and drops the
        // rest of the report.
        live_ = false;
        failedConnect_ = false;
        if (loss_) loss_->cut = true;
        return disconnected;
    }

    Target SomeTarget() {
        int pick = Pick(0, 3);
        return pick == 0 ? kBadPassword : pick == 1 ? kClosedPort : kGood;
    }

    // Runs the armed reaction once, inside the handler of the event it waits for.
    void React(const char* event) {
        if (reaction_ == kNone || armedFor_ != event || control_ == nullptr) return;
        Reaction reaction = reaction_;
        reaction_ = kNone;
        reacted_ = true;
        std::string place = std::string("the ") + event + " handler";
        if (reaction == kDisconnect || reaction == kDisconnectConnect) {
            ++stats_.disconnectsFromHandlers;
            TimedDisconnect(place);
        }
        if (reaction == kConnect || reaction == kDisconnectConnect) {
            TimedConnect(place, reactionTarget_);
        }
    }

    void Arm(const char* event, Reaction reaction, Target target) {
        armedFor_ = event;
        reaction_ = reaction;
        reactionTarget_ = target;
        reacted_ = false;
    }

    void ClearLoss() {
        loss_.reset();
        reaction_ = kNone;
    }

    static constexpr const char* kLossVariants[] = {"Connect at once",
                                                    "Connect after pumping",
                                                    "Disconnect and Connect at once",
                                                    "Connect in RequestFailed",
                                                    "Disconnect (and Connect) in RequestFailed",
                                                    "Connect in Disconnected",
                                                    "Disconnect and Connect in Disconnected"};

    // Requests the simulator holds unanswered, then a close by the simulator; the control
    // connects (or disconnects and connects) at once, after pumping, or from the handlers of
    // the loss's own events.
    void LossRound() {
        CVoxtrelCtrl& c = *control_;
        std::string reply;
        SimCounts before;
        ReadCounts(pbx_, before);
        pbx_.Command("mute createcall", reply);
        auto loss = std::make_unique<Loss>();
        int count = Pick(1, 30);
        for (int i = 0; i < count; ++i) {
            std::string id = c.CreateCall("pbx:1", "pbx:100");
            if (id != "0") loss->outstanding.insert(id);
        }
        // The requests are written and waiting for their answers when the connection goes.
        SimCounts now;
        PumpUntil(c, kArrivalBound, [&] {
            ReadCounts(pbx_, now);
            return now.requests - before.requests >= static_cast<long>(loss->outstanding.size());
        });
        pbx_.Command("unmute createcall", reply);
        ++stats_.losses;
        stats_.outstandingAtLoss += static_cast<long>(loss->outstanding.size());
        loss_ = std::move(loss);
        failedConnect_ = false;
        pbx_.Command("close", reply);
        int variant = Pick(0, 6);
        switch (variant) {
            case 0:
                std::this_thread::sleep_for(std::chrono::milliseconds(Pick(0, 30)));
                TimedConnect("right after a loss, without pumping", SomeTarget());
                break;
            case 1:
                std::this_thread::sleep_for(std::chrono::milliseconds(Pick(0, 30)));
                c.PumpEvents(Pick(0, 30));
                TimedConnect("right after a loss, after pumping", SomeTarget());
                break;
            case 2:
                std::this_thread::sleep_for(std::chrono::milliseconds(Pick(0, 30)));
                TimedDisconnect("right after a loss");
                TimedConnect("right after a loss and Disconnect", SomeTarget());
                break;
            case 3:
                Arm("RequestFailed", kConnect, SomeTarget());
                break;
            case 4:
                Arm("RequestFailed", Pick(0, 1) ? kDisconnect : kDisconnectConnect, SomeTarget());
                break;
            case 5:
                Arm("Disconnected", kConnect, SomeTarget());
                break;
            default:
                Arm("Disconnected", kDisconnectConnect, SomeTarget());
                break;
        }
        auto complete = [&] {
            return loss_->cut || (loss_->outstanding.empty() && loss_->disconnected);
        };
        PumpUntil(c, kLossEventsBound, complete);
        // Anything twice comes soon after.
        PumpUntil(c, std::chrono::milliseconds(100), [] { return false; });
        if (!loss_->cut) {
            long missing = static_cast<long>(loss_->outstanding.size()) + !loss_->disconnected;
            if (missing > 0) {
                stats_.lost += missing;
                Unexpected("of a loss with " +
                           std::to_string(loss_->outstanding.size() + loss_->failed.size()) +
                           " requests outstanding, " + std::to_string(loss_->outstanding.size()) +
                           " RequestFailed 102 never came" +
                           (loss_->disconnected ? "" : ", nor Disconnected") + " (" +
                           kLossVariants[variant] + ")");
            }
        }
        reaction_ = kNone;
        pastLosses_.insert(loss_->failed.begin(), loss_->failed.end());
        pastLosses_.insert(loss_->outstanding.begin(), loss_->outstanding.end());
        // A loss that was never reported ends the connection all the same.
        if (!loss_->reconnected) live_ = false;
        loss_.reset();
    }

    // Events of a live connection, with Connect or Disconnect in their handlers.
    void HandlerRound() {
        CVoxtrelCtrl& c = *control_;
        std::string reply;
        if (!extensionTaken_) {
            extensionTaken_ = c.IncomingCallHandling(Extension(), 1);
            // Offers need the extension taken over before they are made.
            PumpUntil(c, std::chrono::milliseconds(200), [] { return false; });
        }
        static const Reaction reactions[] = {kConnect, kDisconnect, kDisconnectConnect};
        Reaction reaction = reactions[Pick(0, 2)];
        Target target = SomeTarget();
        connectedCalls_.clear();
        confirmed_.clear();
        switch (Pick(0, 6)) {
            case 0:
                Arm("CallStateChanged", reaction, target);
                c.CreateCall("pbx:1", "pbx:100");
                break;
            case 1:
                Arm("CallArrived", reaction, target);
                pbx_.Command("offer " + Extension() + " sip:caller@reconnect", reply);
                break;
            case 2:
                Arm("SubscriptionConfirmed", reaction, target);
                c.SubscribeToVoiceMail(Extension());
                break;
            case 3: {
                Arm("MessagePlayed", reaction, target);
                std::string id = c.CreateCall("pbx:1", "pbx:100");
                // Played once the call is connected, after about a second.
                PumpUntil(c, std::chrono::seconds(3), [&] { return connectedCalls_.count(id); });
                c.PlayMessage(id, "m.wav", 1);
                break;
            }
            case 4: {
                Arm("DtmfDigitReceived", reaction, target);
                std::string id = c.CreateCall("pbx:1", "pbx:100");
                PumpUntil(c, std::chrono::seconds(3), [&] { return connectedCalls_.count(id); });
                SimCounts before;
                ReadCounts(pbx_, before);
                c.EnableDtmfDetection(id, 1);
                // The digits need detection on at the simulator.
                SimCounts now;
                PumpUntil(c, kArrivalBound, [&] {
                    ReadCounts(pbx_, now);
                    return now.requests > before.requests;
                });
                pbx_.Command("dtmf " + id + " 5", reply);
                break;
            }
            case 5: {
                Arm("MailArrived", reaction, target);
                std::string id = c.SubscribeToVoiceMail(Extension());
                PumpUntil(c, std::chrono::seconds(3), [&] { return confirmed_.count(id); });
                pbx_.Command("mail " + id + " sip:caller@reconnect 30 7", reply);
                break;
            }
            default:
                Arm("RequestFailed", reaction, target);
                c.CloseCall("123456789");
                break;
        }
        if (!PumpUntil(c, std::chrono::seconds(3), [&] { return reacted_; })) ++stats_.notTriggered;
        // What comes after the reaction is judged too.
        PumpUntil(c, std::chrono::milliseconds(Pick(0, 200)), [] { return false; });
        reaction_ = kNone;
    }

    // Long enough that no outstanding request times out before the close it waits for.
    static constexpr int32_t kTimeout = 5;

    int index_;
    pbx::PbxSimulator& pbx_;
    uint16_t closedPort_;
    std::mt19937 random_;
    Clock::time_point end_;
    CVoxtrelCtrl* control_ = nullptr;
    Ledger ledger_;
    ReconnectStats stats_;
    bool live_ = false;
    bool failedConnect_ = false;
    bool extensionTaken_ = false;
    std::set<std::string> connectedCalls_;
    std::set<std::string> confirmed_;
    std::unique_ptr<Loss> loss_;
    std::set<std::string> pastLosses_;
    std::string armedFor_;
    Reaction reaction_ = kNone;
    Target reactionTarget_ = kGood;
    bool reacted_ = false;
};

// The hostile phase: a control with a simulator of its own gets one hostile message after the
// other (a value nested ten thousand deep, a tag with tens of thousands of attributes, CR
// floods, CR LF CR floods without a terminator, all in small pieces), each followed by a
// request for an unknown call: its failure must come within a couple of seconds, whatever the
// control made of the message before it.
class HostileHost : public QuietEvents {
  public:
    HostileHost(int index, pbx::PbxSimulator& pbx, uint32_t seed, Clock::time_point end)
        : index_(index), pbx_(pbx), random_(seed), end_(end) {}

    void Run() {
        std::unique_ptr<CVoxtrelCtrl> control;
        std::map<std::string, long> injected;
        while (Clock::now() < end_) {
            if (!control) {
                control = std::make_unique<CVoxtrelCtrl>();
                control->SetSessionAccounting(&ledger_);
                control->SetEventSink(this);
                connected_ = false;
            }
            if (!connected_) {
                connected_ = control->Connect(pbx_.Host(), static_cast<int16_t>(pbx_.Port()),
                                              kTimeout, "demo", "demo");
                if (!connected_) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    continue;
                }
            }
            const std::string& kind = SomeHostileKind(Pick(0, 99));
            std::string reply;
            if (!pbx_.Command(kind, reply)) {
                // No connection at the simulator: the control hears of its loss by pumping.
                control->PumpEvents(10);
                continue;
            }
            ++injected[kind];
            Probe(*control, kind);
            if (Pick(0, 7) == 0) control.reset();
        }
        control.reset();
        ledger_.AddTo(totals);
        std::lock_guard<std::mutex> guard(totals.lock);
        HostileStats& sum = totals.hostile;
        for (auto& [kind, count] : injected)
            sum.injected[kind] += count;
        sum.probes += stats_.probes;
        sum.probesLate += stats_.probesLate;
        sum.longestProbeMs = std::max(sum.longestProbeMs, stats_.longestProbeMs);
        sum.connectionsLost += stats_.connectionsLost;
        sum.read += stats_.read;
    }

    void CallStateChanged(const std::string& id, int16_t) override {
        if (id == "0") ++stats_.read;
    }
    void RequestFailed(const std::string& id, int32_t, const std::string&) override {
        if (id == probe_) ++probeEnds_;
    }
    void Disconnected() override {
        connected_ = false;
        ++stats_.connectionsLost;
    }

  private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    void Probe(CVoxtrelCtrl& control, const std::string& kind) {
        probe_ = std::to_string(800000000000ull + static_cast<uint64_t>(index_) * 1000000000ull +
                                static_cast<uint64_t>(++probes_));
        probeEnds_ = 0;
        auto start = Clock::now();
        if (!control.CloseCall(probe_)) {
            // The hostile message has cost the connection already.
            connected_ = false;
            return;
        }
        ++stats_.probes;
        // After a CR LF CR flood the answer joins the flood; a control that cannot read it
        // sees its request time out instead.
        auto bound = kind == "crlfcr-flood"
                         ? std::chrono::duration_cast<Clock::duration>(
                               std::chrono::seconds(kTimeout) + kProbeBound)
                         : std::chrono::duration_cast<Clock::duration>(kProbeBound);
        bool ended = PumpUntil(control, bound, [&] { return probeEnds_ > 0; });
        long ms = Millis(Clock::now() - start);
        stats_.longestProbeMs = std::max(stats_.longestProbeMs, ms);
        if (!ended) {
            ++stats_.probesLate;
            Violation("hostile: the request after " + std::string(kind) + " at host " +
                      std::to_string(index_) + " had no outcome after " + std::to_string(ms) +
                      " ms");
            // Its outcome may still come, once: a new control starts afresh.
            connected_ = false;
            control.Disconnect();
        } else {
            control.PumpEvents(10);
            if (probeEnds_ > 1) {
                Violation("hostile: the request after " + std::string(kind) + " failed " +
                          std::to_string(probeEnds_) + " times");
            }
        }
    }

    static constexpr int32_t kTimeout = 3;

    int index_;
    pbx::PbxSimulator& pbx_;
    std::mt19937 random_;
    Clock::time_point end_;
    Ledger ledger_;
    HostileStats stats_;
    bool connected_ = false;
    std::string probe_;
    long probes_ = 0;
    int probeEnds_ = 0;
};

struct Phases {
    bool mixed = true;
    bool burst = true;
    bool reconnect = true;
    bool hostile = true;
};

bool ParsePhases(const std::string& text, Phases& phases) {
    phases = Phases{false, false, false, false};
    std::istringstream list(text);
    std::string name;
    bool any = false;
    while (std::getline(list, name, ',')) {
        if (name == "mixed") {
            phases.mixed = true;
        } else if (name == "burst") {
            phases.burst = true;
        } else if (name == "reconnect") {
            phases.reconnect = true;
        } else if (name == "hostile") {
            phases.hostile = true;
        } else {
            return false;
        }
        any = true;
    }
    return any;
}

// Runs count hosts of one kind, each with a simulator of its own, until end.
template <typename Make>
bool RunWithOwnSimulators(int count, Clock::time_point end, Make make) {
    std::vector<std::unique_ptr<pbx::PbxSimulator>> simulators;
    for (int i = 0; i < count; ++i) {
        simulators.push_back(StartSimulator());
        if (!simulators.back()) {
            std::fprintf(stderr, "soak: simulator did not start\n");
            return false;
        }
    }
    std::vector<std::thread> hosts;
    for (int i = 0; i < count; ++i)
        hosts.emplace_back([&, i] { make(i, *simulators[static_cast<size_t>(i)], end); });
    for (std::thread& host : hosts)
        host.join();
    return true;
}

// A port on which nothing listens: a Connect to it is refused.
uint16_t ClosedPort() {
    pbx::PbxSimulator pbx;
    if (!pbx.Start(pbx::PbxOptions{})) return 1;
    uint16_t port = pbx.Port();
    pbx.Stop();
    return port;
}

int Soak(int seconds, int controls, int simulatorCount, uint32_t seed, const Phases& phases) {
    // Floods make megabyte buffers come and go. glibc would raise its mmap threshold after the
    // first is freed and keep the later ones in its arenas, which resident memory would show as
    // growth that is no one's; a fixed threshold gives them back to the system when freed.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024);
    // A run that crashes still shows how far it came.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    size_t mainStack = StackOfThisThread();
    size_t threadStack = StackOfNewThreads();
    int threadsBefore = ThreadCount();

    // The seconds are shared by the phases, the mixed one getting the most.
    int weights = (phases.mixed ? 4 : 0) + (phases.burst ? 2 : 0) + (phases.reconnect ? 2 : 0) +
                  (phases.hostile ? 2 : 0);
    auto share = [&](int weight) {
        return std::chrono::milliseconds(std::max<long>(1000, seconds * 1000L * weight / weights));
    };
    // The burst and reconnect phases: a few hosts, each with a simulator of its own.
    int few = std::clamp(controls / 3, 1, 4);
    long early = 0, late = 0, peak = 0;
    std::vector<std::pair<std::string, long>> phaseMs;  // in the order they ran

    if (phases.mixed) {
        auto start = Clock::now();
        std::printf("soak: mixed phase\n");
        std::vector<std::unique_ptr<pbx::PbxSimulator>> simulators;
        std::vector<pbx::PbxSimulator*> pointers;
        for (int i = 0; i < simulatorCount; ++i) {
            auto pbx = std::make_unique<pbx::PbxSimulator>();
            pbx::PbxOptions options;
            options.maxConnections = static_cast<size_t>(controls) * 2 + 8;
            if (!pbx->Start(options)) {
                std::fprintf(stderr, "soak: simulator did not start\n");
                return 1;
            }
            pointers.push_back(pbx.get());
            simulators.push_back(std::move(pbx));
        }
        auto end = start + share(4);
        std::vector<long> resident;
        std::atomic<bool> sampling{true};
        std::thread sampler([&] {
            while (sampling) {
                resident.push_back(ResidentKiB());
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
            }
        });
        std::thread chaos(InjectFaults, pointers, seed ^ 0x9e3779b9u, end, phases.hostile);
        std::vector<std::thread> hosts;
        for (int i = 0; i < controls; ++i) {
            hosts.emplace_back(
                [&, i] { MixedHost(i, pointers, seed + static_cast<uint32_t>(i), end).Run(); });
        }
        for (std::thread& host : hosts)
            host.join();
        chaos.join();
        sampling = false;
        sampler.join();
        simulators.clear();
        // Growth is judged between the end of the first quarter (everything warmed up) and the
        // end of the phase.
        early = resident.empty() ? 0 : resident[resident.size() / 4];
        late = resident.empty() ? 0 : resident.back();
        for (long r : resident)
            peak = std::max(peak, r);
        phaseMs.emplace_back("mixed", Millis(Clock::now() - start));
    }
    if (phases.burst) {
        auto start = Clock::now();
        std::printf("soak: burst phase\n");
        if (!RunWithOwnSimulators(
                few, start + share(2), [&](int i, pbx::PbxSimulator& pbx, Clock::time_point end) {
                    BurstHost(i, pbx, seed + 1000u + static_cast<uint32_t>(i), end).Run();
                })) {
            return 1;
        }
        phaseMs.emplace_back("burst", Millis(Clock::now() - start));
    }
    if (phases.reconnect) {
        auto start = Clock::now();
        std::printf("soak: reconnect phase\n");
        uint16_t closedPort = ClosedPort();
        if (!RunWithOwnSimulators(
                few, start + share(2), [&](int i, pbx::PbxSimulator& pbx, Clock::time_point end) {
                    ReconnectHost(i, pbx, closedPort, seed + 2000u + static_cast<uint32_t>(i), end)
                        .Run();
                })) {
            return 1;
        }
        phaseMs.emplace_back("reconnect", Millis(Clock::now() - start));
    }
    if (phases.hostile) {
        auto start = Clock::now();
        std::printf("soak: hostile phase\n");
        if (!RunWithOwnSimulators(
                std::clamp(controls / 8, 1, 2), start + share(2),
                [&](int i, pbx::PbxSimulator& pbx, Clock::time_point end) {
                    HostileHost(i, pbx, seed + 3000u + static_cast<uint32_t>(i), end).Run();
                })) {
            return 1;
        }
        phaseMs.emplace_back("hostile", Millis(Clock::now() - start));
    }
    int threadsAfter = ThreadCount();

    std::printf("soak: %d s, %d controls, %d simulators, seed %u\n", seconds, controls,
                simulatorCount, seed);
    std::printf("  thread stacks: %zu KiB (main thread %zu KiB)\n", threadStack / 1024,
                mainStack / 1024);
    std::printf("  phases:");
    for (auto& [name, ms] : phaseMs)
        std::printf(" %s %ld ms;", name.c_str(), ms);
    std::printf("\n");
    std::printf("  methods called %ld (%ld from inside event handlers)\n", totals.methodCalls,
                totals.calledFromHandlers);
    std::printf("  messages taken by the sessions %ld, ended twice %ld, never ended %ld\n",
                totals.accepted, totals.doubleEnds, totals.unended);
    for (int i = 0; i < 9; ++i)
        std::printf("    %-16s %ld\n", kOutcomeNames[i], totals.outcomes[i]);
    long events = 0;
    for (auto& [name, count] : totals.events)
        events += count;
    if (phases.mixed) {
        std::printf("  mixed: events %ld, unmatched %ld, hostile state changes read %ld\n", events,
                    totals.unmatchedEvents, totals.hostileReadInMixed);
        for (auto& [name, count] : totals.events)
            std::printf("    %-22s %ld\n", name.c_str(), count);
        std::printf("  mixed: faults injected:");
        for (auto& [name, count] : totals.faultsInjected)
            std::printf(" %s %ld;", name.c_str(), count);
        std::printf(
            "\n  mixed: resident memory: %ld KiB after warm-up, %ld KiB at the end, "
            "peak %ld KiB\n",
            early, late, peak);
    }
    if (phases.burst) {
        const BurstStats& b = totals.burst;
        std::printf(
            "  burst: %ld rounds (%ld failed connects); requests queued %ld, received by "
            "the simulator %ld; answers queued %ld, received %ld\n",
            b.rounds, b.connectFailures, b.requestsQueued, b.requestsReceived, b.answersQueued,
            b.answersReceived);
        std::printf(
            "  burst: request failures missing %ld, twice %ld; offers sent %ld, arrived "
            "%ld, accepted in handlers %ld, answers received %ld\n",
            b.requestFailuresMissing, b.requestFailuresTwice, b.offersSent, b.offersArrived,
            b.offersAnswered, b.offerAnswersReceived);
        std::printf("  burst: bursts not in full within %ld ms: %ld; longest arrival %ld ms\n",
                    Millis(kArrivalBound), b.lateBursts, b.longestArrivalMs);
    }
    if (phases.reconnect) {
        const ReconnectStats& r = totals.reconnect;
        std::printf(
            "  reconnect: %ld rounds, %ld losses with %ld requests outstanding: %ld "
            "RequestFailed 102, %ld Disconnected\n",
            r.rounds, r.losses, r.outstandingAtLoss, r.lossFailures, r.lossDisconnects);
        std::printf(
            "  reconnect: Connect %ld TRUE (longest %ld ms), %ld FALSE (longest %ld ms); %ld from "
            "handlers (longest %ld ms); Disconnect %ld from handlers (longest of all %ld ms)\n",
            r.connectsTrue, r.longestTrueMs, r.connectsFalse, r.longestFalseMs,
            r.connectsFromHandlers, r.longestFromHandlerMs, r.disconnectsFromHandlers,
            r.longestDisconnectMs);
        for (auto& [place, count] : r.connectsAt)
            std::printf("    Connect from %-40s %ld\n", place.c_str(), count);
        std::printf(
            "  reconnect: too slow %ld, events lost %ld, twice %ld, unexpected %ld; "
            "handler rounds whose event did not come %ld\n",
            r.slow, r.lost, r.twice, r.unexpected, r.notTriggered);
    }
    if (phases.hostile) {
        const HostileStats& h = totals.hostile;
        std::printf("  hostile: injected:");
        for (auto& [kind, count] : h.injected)
            std::printf(" %s %ld;", kind.c_str(), count);
        std::printf(
            "\n  hostile: %ld requests after them, %ld without an outcome within %ld ms, "
            "longest %ld ms; connections lost %ld; hostile state changes read %ld\n",
            h.probes, h.probesLate, Millis(kProbeBound), h.longestProbeMs, h.connectionsLost,
            h.read);
    }
    std::printf("  threads: %d before, %d after\n", threadsBefore, threadsAfter);
    std::printf("  violations %ld\n", totals.violationCount);
    for (const std::string& violation : totals.violations)
        std::printf("    %s\n", violation.c_str());

    bool bounded = kSanitized || (threadsAfter == threadsBefore && late <= early + 16 * 1024);
    if (kSanitized) std::printf("  (memory and threads not judged under a sanitizer)\n");
    bool stacks = threadStack == kStackBytes;
    if (!stacks) std::printf("  thread stacks are not 1 MiB\n");
    bool ok = totals.doubleEnds == 0 && totals.unended == 0 && totals.unmatchedEvents == 0 &&
              totals.violationCount == 0 && bounded && stacks && (!phases.mixed || events > 0);
    std::printf("soak: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}

// N controls on N host threads: connect, create a call, see it progress, disconnect, go.
int Scale(int count) {
    RaiseDescriptorLimit();
    pbx::PbxSimulator pbx;
    pbx::PbxOptions options;
    options.maxConnections = static_cast<size_t>(count) + 16;
    if (!pbx.Start(options)) return 1;
    long before = ResidentKiB();
    std::atomic<int> connected{0};
    std::atomic<int> worked{0};
    std::atomic<int> maxDescriptor{0};
    std::atomic<int> ready{0};
    std::atomic<long> residentAll{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> hosts;
    class Progress : public VoxtrelEvents {
      public:
        void CallStateChanged(const std::string&, int16_t) override { ++states; }
        int states = 0;
    };
    for (int i = 0; i < count; ++i) {
        hosts.emplace_back([&] {
            CVoxtrelCtrl control;
            Progress progress;
            control.SetEventSink(&progress);
            int descriptor = control.EventDescriptor();
            int seen = maxDescriptor.load();
            while (descriptor > seen && !maxDescriptor.compare_exchange_weak(seen, descriptor)) {
            }
            if (control.Connect(pbx.Host(), static_cast<int16_t>(pbx.Port()), 20, "demo", "demo")) {
                ++connected;
                control.CreateCall("pbx:1", "pbx:2");
                auto deadline = Clock::now() + std::chrono::seconds(30);
                while (progress.states == 0 && Clock::now() < deadline)
                    control.PumpEvents(50);
                if (progress.states > 0) ++worked;
            }
            // Everyone holds on until all are connected: the peak is measured with all alive.
            if (++ready == count) residentAll = ResidentKiB();
            while (!release)
                control.PumpEvents(20);
            control.Disconnect();
        });
    }
    while (ready < count)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release = true;
    for (std::thread& host : hosts)
        host.join();
    pbx.Stop();
    double perControl = (residentAll - before) / static_cast<double>(count);
    std::printf(
        "scale: %d controls on %d host threads: %d connected, %d saw their call progress,\n"
        "  highest event descriptor %d, resident memory %.0f KiB per control "
        "(control, host thread and the simulator's side)\n",
        count, count, connected.load(), worked.load(), maxDescriptor.load(), perControl);
    bool ok = connected == count && worked == count && maxDescriptor > 1024;
    std::printf("scale: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    RestartWithSmallStacks(argv);
    int seconds = 20, controls = 8, simulators = 2, scale = 0;
    uint32_t seed = static_cast<uint32_t>(std::random_device{}());
    Phases phases;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        int value = std::atoi(argv[i + 1]);
        if (option == "--seconds") {
            seconds = value;
        } else if (option == "--controls") {
            controls = value;
        } else if (option == "--simulators") {
            simulators = value;
        } else if (option == "--seed") {
            seed = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (option == "--scale") {
            scale = value;
        } else if (option == "--phases" && !ParsePhases(argv[i + 1], phases)) {
            std::fprintf(stderr, "soak: --phases takes mixed, burst, reconnect, hostile\n");
            return 2;
        } else if (option == "--hostile") {
            std::istringstream list(argv[i + 1]);
            hostileKinds.clear();
            for (std::string kind; std::getline(list, kind, ',');) {
                if (std::find(std::begin(kHostileKinds), std::end(kHostileKinds), kind) ==
                    std::end(kHostileKinds)) {
                    std::fprintf(
                        stderr, "soak: --hostile takes nest, attributes, cr-flood, crlfcr-flood\n");
                    return 2;
                }
                hostileKinds.push_back(kind);
            }
            if (hostileKinds.empty()) return 2;
        }
    }
    return scale > 0 ? Scale(scale) : Soak(seconds, controls, simulators, seed, phases);
}
