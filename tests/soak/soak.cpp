// Soak and scale runs of the whole control against in-process simulators.
//   voxtrel_soak [--seconds S] [--controls N] [--simulators K] [--seed X]
//                [--phases mixed,burst,reconnect,hostile]
//                [--hostile nest,attributes,cr-flood,crlfcr-flood]
//       The phases (all unless --phases names some) run one after the other, sharing the
//       seconds; each host class below says what its phase does and what must hold. Over all of
//       them every request ends exactly once, memory stays flat and no thread is left behind,
//       and every thread runs on a 1 MiB stack. At the end each phase's figures are printed by
//       name, then the violations; the exit status is 1 when there is any.
//   voxtrel_soak --scale N
//       N controls with their host threads against one simulator: each connects, works and is
//       destroyed cleanly; descriptors above 1024 are in use.
#include <sys/resource.h>

#include <malloc.h>
#include <pthread.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
constexpr const char* kStackMarker = "VOXTREL_SOAK_STACK_SET";  // the run has restarted itself
// The bounds the phases hold the control to.
constexpr auto kArrivalBound = seconds(2);     // a burst, in full, at the simulator
constexpr long kQuickMs = 1200;                // a failing Connect, a Disconnect: about a second
constexpr auto kProbeBound = seconds(2);       // a request after a hostile message
constexpr auto kLossEventsBound = seconds(3);  // the failures and Disconnected

const char* const kOutcomeNames[] = {"written",         "answered",       "faulted",
                                     "timed out",       "closed locally", "closed remotely",
                                     "connect timeout", "unwritable",     "discarded"};
const std::vector<std::string> kPhases = {"mixed", "burst", "reconnect", "hostile"};
const std::vector<std::string> kHostileKinds = {"nest", "attributes", "cr-flood", "crlfcr-flood"};
std::vector<std::string> hostileKinds = kHostileKinds;  // --hostile narrows them down
uint16_t closedPort = 1;  // nothing listens there: a Connect to it is refused

long Millis(Clock::duration duration) {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(duration).count());
}

template <typename... Parts>
std::string Str(const Parts&... parts) {
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}

// Named counts; those named "longest ..." are maxima.
using Figures = std::map<std::string, long>;

// Counts across all controls of the run.
struct Totals {
    std::mutex lock;
    long accepted = 0, doubleEnds = 0, unended = 0, outcomes[9] = {}, violationCount = 0;
    std::map<std::string, Figures> phases;
    std::vector<std::string> violations;
} totals;

void Violation(Text text) {
    std::lock_guard<std::mutex> guard(totals.lock);
    if (++totals.violationCount <= 40) totals.violations.push_back(text);
    std::fprintf(stderr, "soak: %s\n", text.c_str());
}

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long ThreadCount() {
    using std::filesystem::directory_iterator;
    return std::distance(directory_iterator("/proc/self/task"), directory_iterator());
}

// glibc reads the stack limit once, when the process starts, as the default stack size of the
// threads it makes: setting the limit later changes nothing for them. So the run sets it and
// starts itself again, once, before any thread exists; if it cannot, the stacks' check says so.
void RestartWithSmallStacks(char** argv) {
    rlimit limit;
    if (getenv(kStackMarker) != nullptr || getrlimit(RLIMIT_STACK, &limit) != 0) return;
    if (limit.rlim_cur == kStackBytes) return;
    limit.rlim_cur = kStackBytes;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < kStackBytes) return;
    if (setrlimit(RLIMIT_STACK, &limit) != 0) return;
    setenv(kStackMarker, "1", 1);
    execv("/proc/self/exe", argv);
}

size_t StackOfThisThread() {
    pthread_attr_t attributes;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
    return size;
}

// What a simulator has received from all its connections ("requests", "accepted" ...).
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

void PumpFor(CVoxtrelCtrl& control, int ms) {
    PumpUntil(control, milliseconds(ms), [] { return false; });
}

using Simulators = std::vector<pbx::PbxSimulator*>;

// Where a host runs: its phase, its number, the simulators (its own is the one at its number),
// its seed and the end of the phase.
struct Place {
    std::string phase;
    int index;
    Simulators& simulators;
    uint32_t seed;
    Clock::time_point end;
};

// What the hosts of every phase share: a control on the host's thread, made afresh now and then;
// the messages its sessions take, until they end; its events as one call; and its figures, which
// go into the phase's at the end (the checks' among them even when nothing failed).
class Host : public VoxtrelEvents, public SessionAccounting {
  public:
    Host(const Place& at, int dropOdds, std::initializer_list<const char*> checks = {})
        : at_(at),
          pbx_(*at.simulators[size_t(at.index) % at.simulators.size()]),
          random_(at.seed),
          dropOdds_(dropOdds) {
        for (const char* check : checks)
            figures_[check] = 0;
    }

    // Rounds until the end; after each, the control goes one time in dropOdds + 1.
    void Run() {
        while (Clock::now() < at_.end) {
            if (!control_) {
                control_ = std::make_unique<CVoxtrelCtrl>();
                control_->SetSessionAccounting(this);
                control_->SetEventSink(this);
                Fresh();
            }
            if (!Round(*control_)) {
                std::this_thread::sleep_for(milliseconds(50));
            } else if (Pick(0, dropOdds_) == 0) {
                control_.reset();
            }
        }
        control_.reset();
        std::lock_guard<std::mutex> guard(totals.lock);
        totals.accepted += accepted_;
        totals.doubleEnds += doubleEnds_;
        totals.unended += static_cast<long>(open_.size());
        for (int i = 0; i < 9; ++i)
            totals.outcomes[i] += outcomes_[i];
        for (auto& [name, value] : figures_) {
            long& sum = totals.phases[at_.phase][name];
            sum = name.rfind("longest", 0) == 0 ? std::max(sum, value) : sum + value;
        }
    }

    void Accepted(const XmlRpcMethod& message) override {
        std::lock_guard<std::mutex> guard(lock_);
        open_.insert(&message);
        ++accepted_;
    }
    void Ended(const XmlRpcMethod& message, Outcome outcome) override {
        std::lock_guard<std::mutex> guard(lock_);
        doubleEnds_ += open_.erase(&message) != 1;
        ++outcomes_[outcome];
    }
    void CallStateChanged(Text id, int16_t state) override { On("CallStateChanged", id, state); }
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
    // Every event: what it concerns ("" for Disconnected) and its number (a state, a code).
    virtual void On(Text event, Text id, int number) = 0;
    virtual void Fresh() {}                         // a new control: the one before is forgotten
    virtual bool Round(CVoxtrelCtrl& control) = 0;  // false: the control could not connect

    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    void Longest(Text name, long ms) { figures_[name] = std::max(figures_[name], ms); }
    // A violation, counted under the figure of its check (if it has one).
    template <typename... Parts>
    void Fail(const char* figure, const Parts&... parts) {
        if (figure) ++figures_[figure];
        Violation(Str(at_.phase, ": ", parts..., " at host ", at_.index));
    }
    bool ConnectTo(int32_t timeout, uint16_t port = 0, const char* password = "demo") {
        return control_->Connect(pbx_.Host(), static_cast<int16_t>(port ? port : pbx_.Port()),
                                 timeout, "demo", password);
    }
    // Pumps until the simulator has received so many requests and accepted answers more than
    // before, or the bound passes; what it has received by then goes to now.
    bool Arrived(Figures before, long requests, long accepted, Figures& now) {
        return PumpUntil(*control_, kArrivalBound, [&] {
            now = Counts(pbx_);
            return now["requests"] - before["requests"] >= requests &&
                   now["accepted"] - before["accepted"] >= accepted;
        });
    }

    Place at_;
    pbx::PbxSimulator& pbx_;
    std::mt19937 random_;
    int dropOdds_;
    std::mutex lock_;
    std::set<const XmlRpcMethod*> open_;
    long accepted_ = 0, doubleEnds_ = 0, outcomes_[9] = {};
    std::unique_ptr<CVoxtrelCtrl> control_;
    Figures figures_;
};

// The mixed phase: many controls, each on a host thread of its own and living for a random
// number of actions, call a random mix of all fifteen methods from their threads and from inside
// event handlers while InjectFaults makes the simulators misbehave; every event must concern
// something its control started.
class MixedHost : public Host {
  public:
    explicit MixedHost(const Place& at)
        : Host(at, 0, {"unmatched events", "hostile state changes read"}) {}

  private:
    void On(Text event, Text id, int) override {
        // Call 0 is the one the hostile messages name: a control that reads them says so.
        if (event == "CallStateChanged" && id == "0") {
            ++figures_["hostile state changes read"];
            return;
        }
        ++figures_["event " + event];
        ++figures_["events"];
        bool mail = event == "MailArrived" || event == "SubscriptionConfirmed";
        if (!(event == "Disconnected" || event == "CallArrived" ||
              (mail ? subscriptions_ : calls_).count(id) ||
              (event == "RequestFailed" &&
               (id == "0" || subscriptions_.count(id) || used_.count(id))))) {
            Fail("unmatched events", event, " for ", id, ", which the control did not start");
        }
        if (event == "CallArrived") {
            // Offers are answered from inside the handler, one way or another.
            calls_.insert(id);
            int how = Pick(0, 2);
            if (how == 0) control_->AcceptCall(id, "100", "Soak");
            if (how == 1) control_->RejectCall(id);
            if (how == 2) control_->ForwardCall(id, "pbx:" + Extension(), "", "");
            ++figures_["methods called from handlers"];
        } else if (event != "Disconnected" && event != "MailArrived" && control_ &&
                   Pick(0, 3) == 0) {
            ++figures_["methods called from handlers"];
            Act(true);
        }
    }
    // The ids of the control before go, so that the run's memory is the control's and not this
    // bookkeeping's.
    void Fresh() override {
        calls_.clear();
        subscriptions_.clear();
        used_.clear();
    }
    bool Round(CVoxtrelCtrl& control) override {
        for (int i = Pick(50, 400); i > 0 && Clock::now() < at_.end; --i) {
            Act(false);
            control.PumpEvents(Pick(0, 20));
        }
        return true;
    }
    std::string Extension() { return "ext" + std::to_string(at_.index % 4); }
    std::string SomeCall() {
        if (calls_.empty() || Pick(0, 9) == 0) return std::to_string(Pick(0, 1000));
        return *std::next(calls_.begin(), Pick(0, static_cast<int>(calls_.size()) - 1));
    }

    void Act(bool inHandler) {
        CVoxtrelCtrl& c = *control_;
        ++figures_["methods called"];
        std::string call = SomeCall(), other = SomeCall();
        auto use = [&](Text id) { return *used_.insert(id).first; };
        auto keep = [](std::set<std::string>& ids, Text id) {
            if (id != "0") ids.insert(id);
        };
        static const char* const targets[] = {"pbx:100", "pbx:busy", "pbx:noanswer", "sip:a@h",
                                              "bad"};
        Simulators& simulators = at_.simulators;
        const std::function<void()> actions[] = {
            [&] {
                pbx::PbxSimulator* pbx = simulators[size_t(Pick(0, int(simulators.size()) - 1))];
                c.Connect(pbx->Host(), static_cast<int16_t>(pbx->Port()), 2, "demo", "demo");
            },
            // Connections last long enough for unanswered requests to reach their time-out.
            [&] {
                if (Pick(0, 3) == 0) c.Disconnect();
            },
            [&] { keep(calls_, c.CreateCall("pbx:1", targets[Pick(0, 4)])); },
            [&] { c.CloseCall(use(call)); },
            [&] { c.TransferCall(use(call), Pick(0, 1) ? "pbx:102" : "pbx:unreachable"); },
            [&] { c.JoinCalls(use(call), use(other)); },
            [&] { c.UnjoinCalls(use(call), use(other)); },
            [&] { c.PlayMessage(use(call), "m.wav", static_cast<int16_t>(Pick(-1, 2))); },
            [&] { c.EnableDtmfDetection(use(call), Pick(0, 1)); },
            [&] { c.IncomingCallHandling(Extension(), Pick(0, 3) ? 1 : 0); },
            [&] { c.AcceptCall(use(call), "", ""); },
            [&] { c.RejectCall(use(call)); },
            [&] { c.ForwardCall(use(call), "tel:5", "", ""); },
            [&] { keep(subscriptions_, c.SubscribeToVoiceMail(Extension())); },
            [&] { c.Unsubscribe(use(subscriptions_.empty() ? "1" : *subscriptions_.begin())); },
            [&] {
                if (!c.CreateControlWindow()) c.DestroyControlWindow();
            },
            [&] {
                if (!c.HasControlWindow()) c.CreateControlWindow();
            },
        };
        int action = Pick(0, 18);
        // Connecting and disconnecting from handlers are the reconnect phase's.
        if (inHandler && (action <= 1 || action == 16)) action = 2;
        actions[std::min(action, 16)]();
    }

    std::set<std::string> calls_, subscriptions_, used_;
};

// Drives the simulators' consoles until the hosts are done: every kind of injected fault (late
// answers, faults, silence, random closes, split writes, garbage, floods, slow reading, and
// hostile messages when asked for), calm spells and offers; and samples the resident memory.
void InjectFaults(Simulators& simulators, uint32_t seed, bool hostile,
                  const std::atomic<bool>& hostsRunning, std::vector<long>& resident) {
    std::mt19937 random(seed);
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    static const char* const methods[] = {
        "createcall",  "closecall",           "transfercall",         "joincalls", "unjoincalls",
        "playmessage", "enabledtmfdetection", "incomingcallhandling", "subscribe", "unsubscribe"};
    std::string reply, method;
    // Each simulator's random choices repeat with the run's seed.
    for (size_t i = 0; i < simulators.size(); ++i)
        simulators[i]->Command(Str("chaos seed ", seed + i + 1), reply);
    // Each fault with its command (none: not this time); as many picks again are offers.
    std::vector<std::pair<std::string, std::function<std::string()>>> faults = {
        {"fault answer", [&] { return Str("fault ", method, " ", pick(1, 99), " soak"); }},
        {"fault rate",
         [&] { return Str("fault-rate ", method, " ", pick(5, 60), " ", pick(1, 99), " soak"); }},
        {"never answer", [&] { return "mute " + method; }},
        // Some late answers come after the session has given up on their request.
        {"answer late",
         [&] { return Str("delay ", method, " ", pick(0, 3) ? pick(20, 800) : 2500); }},
        {"close at random", [&] { return Str("chaos close ", pick(1, 4)); }},
        {"connection closed", [&] { return pick(0, 3) ? "" : "close"; }},
        {"split writes", [&] { return pick(0, 1) ? "chaos split on" : "chaos split off"; }},
        {"garbage", [&] { return "garbage"; }},
        {"flood", [&] { return pick(0, 1) ? "" : "flood"; }},
        {"slow read", [&] { return Str("chaos slow-read ", pick(0, 2) ? pick(500, 20000) : 0); }},
        {"calm spell", [&] { return "chaos off"; }},  // every injected fault of the simulator ends
        {"", [&] { return hostileKinds[size_t(pick(0, 99)) % hostileKinds.size()]; }},
    };
    faults.insert(faults.begin(), faults.front());
    if (!hostile) faults.pop_back();
    Figures injected;
    for (auto sample = Clock::now(); hostsRunning;) {
        if (Clock::now() >= sample) {
            resident.push_back(ResidentKiB());
            sample += milliseconds(250);
        }
        std::this_thread::sleep_for(milliseconds(pick(20, 120)));
        pbx::PbxSimulator& pbx = *simulators[size_t(pick(0, int(simulators.size()) - 1))];
        method = methods[pick(0, 9)];
        size_t which = size_t(pick(0, int(faults.size()) * 2 - 1));
        if (which >= faults.size()) {
            pbx.Command(Str("offer ext", pick(0, 3), " sip:caller@soak"), reply);
        } else if (std::string command = faults[which].second();
                   !command.empty() && pbx.Command(command, reply)) {
            ++injected["fault injected: " +
                       (faults[which].first.empty() ? command : faults[which].first)];
        }
    }
    for (pbx::PbxSimulator* pbx : simulators)
        pbx->Command("chaos off", reply);
    std::lock_guard<std::mutex> guard(totals.lock);
    for (auto& [name, count] : injected)
        totals.phases["mixed"][name] += count;
}

// The burst phase: a few controls, each with a simulator of its own. Each round queues 300 to
// 3000 CloseCall requests (for calls no one has: each fails once) and AcceptCall answers in a
// tight loop on the host's thread, then has the simulator send 200 to 1000 offers in one write,
// each accepted in its CallArrived handler; all of it reaches the simulator within 2 s.
class BurstHost : public Host {
  public:
    explicit BurstHost(const Place& at)
        : Host(at, 3, {"request failures missing", "request failures twice", "bursts late"}) {}

  private:
    void On(Text event, Text id, int) override {
        auto close = closes_.find(id);
        if (event == "RequestFailed" && close != closes_.end()) ++close->second;
        if (event != "CallArrived") return;
        ++arrived_;
        answered_ += control_ && control_->AcceptCall(id, "100", "Burst");
        lastAnswer_ = Clock::now();
    }
    bool Round(CVoxtrelCtrl& control) override {
        if (!ConnectTo(10)) return !++figures_["failed connects"];
        ++figures_["rounds"];
        Requests(control);
        Offers(control);
        control.Disconnect();  // the calls the offers made end with the connection
        return true;
    }

    // Counts what the simulator has received of the requests and answers since before, and
    // reports a burst that has not arrived in full within the bound.
    void Arrive(const Figures& before, long requests, long answers, Clock::time_point since,
                Text what) {
        Figures now;
        bool all = Arrived(before, requests, answers, now);
        long ms = Millis(Clock::now() - since);
        Longest("longest arrival ms", ms);
        long gotRequests = std::min(now["requests"] - before.at("requests"), requests);
        long gotAnswers = std::min(now["accepted"] - before.at("accepted"), answers);
        if (requests > 0) figures_["requests received"] += gotRequests;
        figures_[what + " answers received"] += gotAnswers;
        if (all) return;
        Fail("bursts late", requests, " requests and ", answers, " ", what,
             " answers sent, the simulator had ", gotRequests, " and ", gotAnswers, " after ", ms,
             " ms");
    }

    void Requests(CVoxtrelCtrl& control) {
        Figures before = Counts(pbx_);
        closes_.clear();
        long answers = 0;
        // Ids no call has: every close fails with the service's fault, once.
        uint64_t base = 900000000000ull + uint64_t(at_.index) * 1000000000ull +
                        uint64_t(figures_["rounds"]) * 10000ull;
        for (int i = Pick(300, 3000); i > 0; --i) {
            std::string id = std::to_string(base + uint64_t(i));
            if (Pick(0, 1) == 0 && control.CloseCall(id)) closes_[id] = 0;
            if (!closes_.count(id)) answers += control.AcceptCall(id, "", "");
        }
        long requests = long(closes_.size()), missing = 0, twice = 0;
        figures_["requests queued"] += requests;
        figures_["queued answers queued"] += answers;
        Arrive(before, requests, answers, Clock::now(), "queued");
        // Each close fails once, by the fault or, when the burst stalled, by its time-out.
        PumpUntil(control, seconds(13), [&] {
            return std::all_of(closes_.begin(), closes_.end(),
                               [](const auto& close) { return close.second > 0; });
        });
        control.PumpEvents(20);
        for (const auto& [id, count] : closes_) {
            missing += count == 0;
            twice += count > 1;
        }
        figures_["request failures missing"] += missing;
        figures_["request failures twice"] += twice;
        if (missing + twice > 0) {
            Fail(nullptr, "of ", requests, " closes, ", missing, " never failed and ", twice,
                 " failed twice");
        }
    }

    void Offers(CVoxtrelCtrl& control) {
        std::string extension = "burst" + std::to_string(at_.index), reply;
        Figures before = Counts(pbx_);
        if (!control.IncomingCallHandling(extension, 1)) return;
        int count = Pick(200, 1000);
        arrived_ = answered_ = 0;
        // The offers go out once the extension is taken over, which is soon.
        std::string offers = Str("offers ", count, " ", extension, " sip:caller@burst");
        if (!PumpUntil(control, kArrivalBound, [&] { return pbx_.Command(offers, reply); })) {
            return Fail("bursts late", "IncomingCallHandling had no effect within ",
                        Millis(kArrivalBound), " ms: ", reply);
        }
        figures_["offers sent"] += count;
        lastAnswer_ = Clock::now();
        // The offers come in one write; the control hands them over one at a time.
        PumpUntil(control, seconds(10), [&] { return arrived_ >= count; });
        figures_["offers arrived"] += arrived_;
        figures_["offer answers queued in handlers"] += answered_;
        if (arrived_ < count) Fail("bursts late", arrived_, " of ", count, " offers arrived");
        Arrive(before, 0, answered_, lastAnswer_, "offer");
    }

    std::map<std::string, int> closes_;
    long arrived_ = 0, answered_ = 0;
    Clock::time_point lastAnswer_;
};

// The reconnect phase: a few controls, each with a simulator of its own, call Connect and
// Disconnect inside every kind of event handler, and right after the simulator closed the
// connection with requests outstanding (with and without pumping first); to the simulator, with
// a wrong password or to a closed port. Connect returns within about a second, or within the
// time-out and five seconds when it connects, and Disconnect within about a second; each
// outstanding request fails once with 102, then one Disconnected comes (unless Disconnect, called
// meanwhile, ends the report); nothing comes after a failed Connect or after Disconnect.
class ReconnectHost : public Host {
  public:
    explicit ReconnectHost(const Place& at)
        : Host(at, 5,
               {"too slow", "lost", "twice", "unexpected", "rounds whose event did not come"}) {}

  private:
    enum Reaction { kNone, kConnect, kDisconnect, kDisconnectConnect };
    static constexpr int32_t kTimeout = 5;  // no outstanding request times out before its close

    // The requests that were outstanding when the simulator closed the connection.
    struct Loss {
        std::set<std::string> outstanding, failed;
        bool disconnected = false;
        bool cut = false;          // Disconnect came during the report: the rest is dropped
        bool reconnected = false;  // Connect returned TRUE since: the new connection's events come
    };

    void On(Text event, Text id, int number) override {
        if (event == "CallStateChanged" && number == 3) connectedCalls_.insert(id);
        if (event == "SubscriptionConfirmed") confirmed_.insert(id);
        bool lossFailure = event == "RequestFailed" && number == 102;
        if (loss_ && (event == "Disconnected" ||
                      (lossFailure && (loss_->outstanding.count(id) || loss_->failed.count(id))))) {
            Report(id);
        } else if (lossFailure && pastLosses_.count(id)) {
            Fail("twice", "RequestFailed 102 for ", id, " after its loss was over");
        } else if (event == "Disconnected" || !live_) {
            // Without a connection only the loss's own reports may come.
            Fail("unexpected", event, live_ ? " without a loss" : " with no connection");
            live_ = false;
        } else {
            React(event);
        }
    }

    // A report of the loss: the RequestFailed 102 of an outstanding request, or (no id) the
    // Disconnected after them.
    void Report(Text id) {
        Loss& loss = *loss_;
        std::string name = id.empty() ? "Disconnected" : "RequestFailed 102 for " + id;
        if (loss.cut) Fail("unexpected", name, " after Disconnect");
        if (id.empty() ? loss.disconnected : loss.failed.count(id) > 0) {
            return Fail("twice", name, " twice");
        }
        if (loss.disconnected) Fail("unexpected", name, " after Disconnected");
        // Events read before the close still come before the loss's reports; from the first
        // report on, the connection is gone unless a Connect has made a new one.
        if (!loss.reconnected) live_ = false;
        loss.outstanding.erase(id);
        loss.disconnected |= id.empty();
        if (!id.empty()) loss.failed.insert(id);
        ++figures_[id.empty() ? "loss Disconnected" : "loss RequestFailed 102"];
        React(id.empty() ? "Disconnected" : "RequestFailed");
    }

    // To the simulator, with a wrong password (target 1) or to a closed port (target 2).
    bool TimedConnect(Text place, int target) {
        auto start = Clock::now();
        bool connected =
            ConnectTo(kTimeout, target == 2 ? closedPort : 0, target == 1 ? "wrong" : "demo");
        long ms = Millis(Clock::now() - start);
        std::string result = connected ? "Connect TRUE" : "Connect FALSE";
        ++figures_[result];
        ++figures_["Connect from " + place];
        Longest("longest " + result + " ms", ms);
        if (place.find("handler") != std::string::npos) {
            ++figures_["Connect from handlers"];
            Longest("longest Connect from a handler ms", ms);
        }
        if (ms > (connected ? (kTimeout + 5) * 1000L : kQuickMs)) {
            Fail("too slow", result, " from ", place, " after ", ms, " ms");
        }
        live_ |= connected;
        extensionTaken_ &= !connected;
        if (connected && loss_) loss_->reconnected = true;
        return connected;
    }

    void TimedDisconnect(Text place) {
        auto start = Clock::now();
        control_->Disconnect();
        long ms = Millis(Clock::now() - start);
        Longest("longest Disconnect ms", ms);
        if (ms > kQuickMs) Fail("too slow", "Disconnect from ", place, " took ", ms, " ms");
        // Nothing comes once Disconnect has been called, whatever it returned: during a loss
        // report it returns FALSE (the worker has made the session idle already) and drops the
        // rest of the report.
        live_ = false;
        if (loss_) loss_->cut = true;
    }
    int SomeTarget() { return std::max(0, Pick(-1, 2)); }

    // Runs the armed reaction once, inside the handler of the event it waits for.
    void React(Text event) {
        if (reaction_ == kNone || armedFor_ != event || !control_) return;
        Reaction reaction = std::exchange(reaction_, kNone);
        reacted_ = true;
        if (reaction != kConnect) {
            ++figures_["Disconnect from handlers"];
            TimedDisconnect("the " + event + " handler");
        }
        if (reaction != kDisconnect) TimedConnect("the " + event + " handler", target_);
    }
    void Arm(const char* event, Reaction reaction) {
        armedFor_ = event;
        reaction_ = reaction;
        target_ = SomeTarget();
        reacted_ = false;
    }

    void Fresh() override { live_ = extensionTaken_ = false; }
    bool Round(CVoxtrelCtrl& control) override {
        if (!live_ && !TimedConnect("the host's thread", 0)) return false;
        ++figures_["rounds"];
        Pick(0, 1) == 0 ? LossRound(control) : HandlerRound(control);
        reaction_ = kNone;
        return true;
    }

    // Requests the simulator holds unanswered, then its close; the control connects (or
    // disconnects and connects) at once, after pumping, or in the handlers of the loss's reports.
    void LossRound(CVoxtrelCtrl& c) {
        static const char* const variants[] = {
            "right after a loss, without pumping", "right after a loss, after pumping",
            "right after a loss and Disconnect",   "in RequestFailed",
            "in RequestFailed, Disconnect first",  "in Disconnected",
            "in Disconnected, Disconnect first"};
        static const Reaction reactions[] = {kConnect, kDisconnect, kConnect, kDisconnectConnect};
        std::string reply;
        Figures before = Counts(pbx_), now;
        pbx_.Command("mute createcall", reply);
        auto loss = std::make_unique<Loss>();
        for (int i = Pick(1, 30); i > 0; --i)
            loss->outstanding.insert(c.CreateCall("pbx:1", "pbx:100"));
        loss->outstanding.erase("0");
        long count = long(loss->outstanding.size());
        Arrived(before, count, 0, now);  // written and waiting for their answers when it closes
        pbx_.Command("unmute createcall", reply);
        ++figures_["losses"];
        figures_["loss requests outstanding"] += count;
        loss_ = std::move(loss);
        pbx_.Command("close", reply);
        int variant = Pick(0, 6);
        if (variant < 3) {
            std::this_thread::sleep_for(milliseconds(Pick(0, 30)));
            if (variant == 1) c.PumpEvents(Pick(0, 30));
            if (variant == 2) TimedDisconnect("right after a loss");
            TimedConnect(variants[variant], SomeTarget());
        } else {
            Arm(variant < 5 ? "RequestFailed" : "Disconnected",
                variant == 4 && Pick(0, 1) ? kDisconnectConnect : reactions[variant - 3]);
        }
        PumpUntil(c, kLossEventsBound, [&] {
            return loss_->cut || (loss_->outstanding.empty() && loss_->disconnected);
        });
        PumpFor(c, 100);  // anything twice comes soon after
        long missing = long(loss_->outstanding.size()) + !loss_->disconnected;
        if (!loss_->cut && missing > 0) {
            figures_["lost"] += missing;
            Fail(nullptr, "of ", count, " requests outstanding at a loss, RequestFailed 102 of ",
                 loss_->outstanding.size(), loss_->disconnected ? "" : " and Disconnected",
                 " never came (reacting ", variants[variant], ")");
        }
        pastLosses_.insert(loss_->failed.begin(), loss_->failed.end());
        pastLosses_.insert(loss_->outstanding.begin(), loss_->outstanding.end());
        if (!loss_->reconnected) live_ = false;  // an unreported loss ends the connection too
        loss_.reset();
    }

    // Events of a live connection, with Connect or Disconnect in their handlers.
    void HandlerRound(CVoxtrelCtrl& c) {
        static const char* const events[] = {
            "CallStateChanged",  "CallArrived", "SubscriptionConfirmed", "MessagePlayed",
            "DtmfDigitReceived", "MailArrived", "RequestFailed"};
        std::string extension = "rc" + std::to_string(at_.index), reply, id;
        if (!extensionTaken_) {
            extensionTaken_ = c.IncomingCallHandling(extension, 1);
            PumpFor(c, 200);  // offers need the extension taken over before they are made
        }
        connectedCalls_.clear();
        confirmed_.clear();
        int kind = Pick(0, 6);
        Arm(events[kind], static_cast<Reaction>(Pick(kConnect, kDisconnectConnect)));
        auto pumpUntilIn = [&](std::set<std::string>& ids) {
            PumpUntil(c, seconds(3), [&] { return ids.count(id) > 0; });
        };
        if (kind == 0 || kind == 3 || kind == 4) id = c.CreateCall("pbx:1", "pbx:100");
        // Messages are played and digits detected once the call is connected, in about a second.
        if (kind == 3 || kind == 4) pumpUntilIn(connectedCalls_);
        if (kind == 3) c.PlayMessage(id, "m.wav", 1);
        if (kind == 1) pbx_.Command("offer " + extension + " sip:caller@reconnect", reply);
        if (kind == 2 || kind == 5) id = c.SubscribeToVoiceMail(extension);
        if (kind == 5) pumpUntilIn(confirmed_);
        if (kind == 5) pbx_.Command("mail " + id + " sip:caller@reconnect 30 7", reply);
        if (kind == 6) c.CloseCall("123456789");
        if (kind == 4) {
            Figures before = Counts(pbx_), now;
            c.EnableDtmfDetection(id, 1);
            Arrived(before, 1, 0, now);  // the digits need detection on at the simulator
            pbx_.Command("dtmf " + id + " 5", reply);
        }
        if (!PumpUntil(c, seconds(3), [&] { return reacted_; })) {
            ++figures_["rounds whose event did not come"];
        }
        PumpFor(c, Pick(0, 200));  // what comes after the reaction is judged too
    }

    bool live_ = false, extensionTaken_ = false, reacted_ = false;
    std::set<std::string> connectedCalls_, confirmed_, pastLosses_;
    std::unique_ptr<Loss> loss_;
    std::string armedFor_;
    Reaction reaction_ = kNone;
    int target_ = 0;
};

// The hostile phase: one or two controls, each with a simulator of its own, get one hostile
// message after the other (a value nested ten thousand deep, a tag with tens of thousands of
// attributes, CR floods, CR LF CR floods without a terminator, all in small pieces), each
// followed by a request for an unknown call whose failure comes, once, within 2 s.
class HostileHost : public Host {
  public:
    explicit HostileHost(const Place& at)
        : Host(at, 7, {"requests late", "requests ended twice", "hostile state changes read"}) {}

  private:
    static constexpr int32_t kTimeout = 3;

    void On(Text event, Text id, int) override {
        if (event == "CallStateChanged" && id == "0") ++figures_["hostile state changes read"];
        probeEnds_ += event == "RequestFailed" && id == probe_;
        if (event != "Disconnected") return;
        connected_ = false;
        ++figures_["connections lost"];
    }
    void Fresh() override { connected_ = false; }
    bool Round(CVoxtrelCtrl& control) override {
        if (!connected_ && !(connected_ = ConnectTo(kTimeout))) return false;
        const std::string& kind = hostileKinds[size_t(Pick(0, 99)) % hostileKinds.size()];
        std::string reply;
        // Without a connection at the simulator the control hears of its loss by pumping.
        if (!pbx_.Command(kind, reply)) return control.PumpEvents(10), true;
        ++figures_["injected " + kind];
        probe_ = std::to_string(800000000000ull + uint64_t(at_.index) * 1000000000ull +
                                uint64_t(++probes_));
        probeEnds_ = 0;
        auto start = Clock::now();
        // A failed CloseCall: the hostile message has cost the connection already.
        if (!(connected_ = control.CloseCall(probe_))) return true;
        ++figures_["requests after them"];
        // After a CR LF CR flood the answer joins the flood; a control that cannot read it sees
        // its request time out instead.
        Clock::duration bound = kProbeBound;
        if (kind == "crlfcr-flood") bound += seconds(kTimeout);
        bool ended = PumpUntil(control, bound, [&] { return probeEnds_ > 0; });
        long ms = Millis(Clock::now() - start);
        Longest("longest request ms", ms);
        if (!ended) {
            Fail("requests late", "the request after ", kind, " had no outcome after ", ms, " ms");
            // Its outcome may still come, once: a new connection starts afresh.
            connected_ = false;
            control.Disconnect();
            return true;
        }
        control.PumpEvents(10);
        if (probeEnds_ > 1) Fail("requests ended twice", "the request after ", kind, " twice");
        return true;
    }

    bool connected_ = false;
    std::string probe_;
    long probes_ = 0;
    int probeEnds_ = 0;
};

int Soak(int secs, int controls, int simulatorCount, uint32_t seed,
         const std::vector<std::string>& phases) {
    // Floods make megabyte buffers come and go. glibc would raise its mmap threshold after the
    // first is freed and keep the later ones in its arenas, which resident memory would show as
    // growth that is no one's; a fixed threshold gives them back to the system when freed.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024);
    setvbuf(stdout, nullptr, _IOLBF, 0);  // a run that crashes still shows how far it came
    size_t mainStack = StackOfThisThread(), threadStack = 0;
    std::thread([&] { threadStack = StackOfThisThread(); }).join();
    long threadsBefore = ThreadCount();
    auto chosen = [&](const std::string& name) {
        return std::find(phases.begin(), phases.end(), name) != phases.end();
    };
    // The mixed phase gets twice the others' share of the seconds.
    int weights = 2 * int(phases.size()) + 2 * chosen("mixed");
    {
        pbx::PbxSimulator pbx;  // its port, once it has gone, is closed
        if (pbx.Start(pbx::PbxOptions{})) closedPort = pbx.Port();
    }
    std::vector<long> resident;
    std::string timing;
    for (uint32_t p = 0; p < kPhases.size(); ++p) {
        if (!chosen(kPhases[p])) continue;
        std::printf("soak: %s phase\n", kPhases[p].c_str());
        auto start = Clock::now();
        auto end = start + milliseconds(std::max(1000L, secs * 1000L * (p ? 2 : 4) / weights));
        // The mixed phase's controls share the simulators; the others' have one each.
        int count = p == 0 ? controls : std::clamp(controls / (p == 3 ? 8 : 3), 1, p == 3 ? 2 : 4);
        pbx::PbxOptions options;
        options.maxConnections = size_t(controls) * 2 + 8;
        // Answers to thousands of requests may wait while the control delivers its events.
        if (p > 0) options.maxOutputBytes = size_t{32} << 20;
        std::vector<std::unique_ptr<pbx::PbxSimulator>> owned;
        Simulators simulators;
        for (int i = 0; i < (p == 0 ? simulatorCount : count); ++i) {
            simulators.push_back(owned.emplace_back(std::make_unique<pbx::PbxSimulator>()).get());
            if (!simulators.back()->Start(options)) return std::puts("soak: no simulator"), 1;
        }
        std::atomic<bool> running{true};
        std::thread chaos([&] {
            if (p == 0)
                InjectFaults(simulators, seed ^ 0x9e3779b9u, chosen("hostile"), running, resident);
        });
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([&, i] {
                Place at{kPhases[p], i, simulators, seed + 1000 * p + i, end};
                p == 0   ? MixedHost(at).Run()
                : p == 1 ? BurstHost(at).Run()
                : p == 2 ? ReconnectHost(at).Run()
                         : HostileHost(at).Run();
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        running = false;
        chaos.join();
        timing += Str(" ", kPhases[p], " ", Millis(Clock::now() - start), " ms;");
    }
    long threadsAfter = ThreadCount();

    // Growth is judged between the end of the first quarter (everything warmed up) and the end.
    long early = resident.empty() ? 0 : resident[resident.size() / 4];
    long late = resident.empty() ? 0 : resident.back();
    if (chosen("mixed")) {
        Figures& mixed = totals.phases["mixed"];
        mixed["resident KiB after warm-up"] = early;
        mixed["resident KiB at the end"] = late;
        mixed["resident KiB at the peak"] =
            resident.empty() ? 0 : *std::max_element(resident.begin(), resident.end());
        if (mixed["events"] == 0) Violation("mixed: no events at all");
    }
    if (totals.doubleEnds + totals.unended > 0) Violation("messages ended twice or never");
    if (threadStack != kStackBytes) Violation("thread stacks are not 1 MiB");
    if (!kSanitized && threadsAfter != threadsBefore) Violation("threads left behind");
    if (!kSanitized && late > early + 16 * 1024) Violation("mixed: resident memory grew");

    std::printf("soak: %d s, %d controls, %d simulators, seed %u\n", secs, controls, simulatorCount,
                seed);
    std::printf("  thread stacks: %zu KiB (main thread %zu KiB)\n  phases:%s\n", threadStack / 1024,
                mainStack / 1024, timing.c_str());
    std::printf("  messages taken by the sessions %ld, ended twice %ld, never ended %ld\n",
                totals.accepted, totals.doubleEnds, totals.unended);
    for (int i = 0; i < 9; ++i)
        std::printf("    %-16s %ld\n", kOutcomeNames[i], totals.outcomes[i]);
    for (const std::string& name : kPhases) {
        if (chosen(name)) std::printf("  %s:\n", name.c_str());
        for (auto& [figure, value] : totals.phases[name])
            std::printf("    %-48s %ld\n", figure.c_str(), value);
    }
    std::printf("  threads: %ld before, %ld after\n", threadsBefore, threadsAfter);
    if (kSanitized) std::printf("  (memory and threads not judged under a sanitizer)\n");
    std::printf("  violations %ld\n", totals.violationCount);
    for (const std::string& violation : totals.violations)
        std::printf("    %s\n", violation.c_str());
    std::printf("soak: %s\n", totals.violationCount == 0 ? "ok" : "FAILED");
    return totals.violationCount == 0 ? 0 : 1;
}

// N controls on N host threads: connect, create a call, see it progress, disconnect, go.
int Scale(int count) {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    pbx::PbxSimulator pbx;
    pbx::PbxOptions options;
    options.maxConnections = static_cast<size_t>(count) + 16;
    if (!pbx.Start(options)) return 1;
    long before = ResidentKiB();
    std::atomic<int> connected{0}, worked{0}, maxDescriptor{0}, ready{0};
    std::atomic<long> residentAll{0};
    std::vector<std::thread> hosts;
    struct Progress : public VoxtrelEvents {
        void CallStateChanged(Text, int16_t) override { ++states; }
        int states = 0;
    };
    for (int i = 0; i < count; ++i) {
        hosts.emplace_back([&] {
            CVoxtrelCtrl control;
            Progress progress;
            control.SetEventSink(&progress);
            int descriptor = control.EventDescriptor(), seen = maxDescriptor.load();
            while (descriptor > seen && !maxDescriptor.compare_exchange_weak(seen, descriptor)) {
            }
            if (control.Connect(pbx.Host(), static_cast<int16_t>(pbx.Port()), 20, "demo", "demo")) {
                ++connected;
                control.CreateCall("pbx:1", "pbx:2");
                worked += PumpUntil(control, seconds(30), [&] { return progress.states > 0; });
            }
            // Everyone holds on until the last has measured the peak, with all alive.
            if (++ready == count) {
                residentAll = ResidentKiB();
                ++ready;
            }
            while (ready <= count)
                control.PumpEvents(20);
            control.Disconnect();
        });
    }
    for (std::thread& host : hosts)
        host.join();
    pbx.Stop();
    std::printf(
        "scale: %d controls on %d host threads: %d connected, %d saw their call progress,\n"
        "  highest event descriptor %d, resident memory %.0f KiB per control "
        "(control, host thread and the simulator's side)\n",
        count, count, connected.load(), worked.load(), maxDescriptor.load(),
        double(residentAll - before) / count);
    bool ok = connected == count && worked == count && maxDescriptor > 1024;
    std::printf("scale: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}

// A comma-separated list of items that are all among the known, into list.
bool ParseList(const std::string& text, const std::vector<std::string>& known,
               std::vector<std::string>& list) {
    std::istringstream items(text);
    list.clear();
    for (std::string item; std::getline(items, item, ',');) {
        if (std::find(known.begin(), known.end(), item) == known.end()) return false;
        list.push_back(item);
    }
    return !list.empty();
}

}  // namespace

int main(int argc, char** argv) {
    RestartWithSmallStacks(argv);
    int secs = 20, controls = 8, simulators = 2, scale = 0;
    uint32_t seed = static_cast<uint32_t>(std::random_device{}());
    std::vector<std::string> phases = kPhases;
    std::map<std::string, int*> numbers = {{"--seconds", &secs},
                                           {"--controls", &controls},
                                           {"--simulators", &simulators},
                                           {"--scale", &scale}};
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (numbers.count(option)) *numbers[option] = std::atoi(argv[i + 1]);
        if (option == "--seed")
            seed = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        bool ofPhases = option == "--phases";
        const std::vector<std::string>& known = ofPhases ? kPhases : kHostileKinds;
        if ((ofPhases || option == "--hostile") &&
            !ParseList(argv[i + 1], known, ofPhases ? phases : hostileKinds)) {
            std::string names;
            for (const std::string& name : known)
                names += (names.empty() ? "" : ", ") + name;
            std::fprintf(stderr, "soak: %s takes %s\n", option.c_str(), names.c_str());
            return 2;
        }
    }
    return scale > 0 ? Scale(scale) : Soak(secs, controls, simulators, seed, phases);
}
