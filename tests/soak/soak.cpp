// Soak and scale runs of the whole control against in-process simulators.
//   voxtrel_soak [--seconds S] [--controls N] [--simulators K] [--seed X]
//       many controls, each on a host thread of its own, issue a random mix of all fifteen
//       methods, from their threads and from inside event handlers, while the simulators inject
//       every kind of fault (late, faulted and missing answers, random closes, split writes,
//       garbage, floods, slow reading); every request must end exactly once and every event
//       must belong to something its control started, with no memory growth and no thread
//       left behind.
//   voxtrel_soak --scale N
//       N controls with their host threads against one simulator: each connects, works and is
//       destroyed cleanly; descriptors above 1024 are in use.
#include <sys/resource.h>

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
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

const char* const kOutcomeNames[] = {"written",         "answered",       "faulted",
                                     "timed out",       "closed locally", "closed remotely",
                                     "connect timeout", "unwritable",     "discarded"};

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
};

Totals totals;

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

// One host thread with its control: random methods, pumping, and handlers that call back.
class Host : public VoxtrelEvents {
  public:
    Host(int index, std::vector<pbx::PbxSimulator*> simulators, uint32_t seed,
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
    }

    void CallStateChanged(const std::string& id, int16_t) override { Call("CallStateChanged", id); }
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
};

// Drives the simulators' consoles: every kind of injected fault (late answers, faults, silence,
// random closes, split writes, garbage, floods, slow reading), calm spells, offers and closes.
void InjectFaults(std::vector<pbx::PbxSimulator*> simulators, uint32_t seed,
                  Clock::time_point end) {
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
        switch (pick(0, 29)) {
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

int Soak(int seconds, int controls, int simulatorCount, uint32_t seed) {
    // Floods make megabyte buffers come and go. glibc would raise its mmap threshold after the
    // first is freed and keep the later ones in its arenas, which resident memory would show as
    // growth that is no one's; a fixed threshold gives them back to the system when freed.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024);
    int threadsBefore = ThreadCount();
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
    auto start = Clock::now();
    auto end = start + std::chrono::seconds(seconds);
    std::vector<long> resident;
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling) {
            resident.push_back(ResidentKiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
    std::thread chaos(InjectFaults, pointers, seed ^ 0x9e3779b9u, end);
    std::vector<std::thread> hosts;
    for (int i = 0; i < controls; ++i) {
        hosts.emplace_back(
            [&, i] { Host(i, pointers, seed + static_cast<uint32_t>(i), end).Run(); });
    }
    for (std::thread& host : hosts)
        host.join();
    chaos.join();
    sampling = false;
    sampler.join();
    simulators.clear();
    int threadsAfter = ThreadCount();

    // Growth is judged between the end of the first quarter (everything warmed up) and the end.
    long early = resident.empty() ? 0 : resident[resident.size() / 4];
    long late = resident.empty() ? 0 : resident.back();
    long peak = 0;
    for (long r : resident)
        peak = std::max(peak, r);
    std::printf("soak: %d s, %d controls, %d simulators, seed %u\n", seconds, controls,
                simulatorCount, seed);
    std::printf("  methods called %ld (%ld from inside event handlers)\n", totals.methodCalls,
                totals.calledFromHandlers);
    std::printf("  messages taken by the sessions %ld, ended twice %ld, never ended %ld\n",
                totals.accepted, totals.doubleEnds, totals.unended);
    for (int i = 0; i < 9; ++i)
        std::printf("    %-16s %ld\n", kOutcomeNames[i], totals.outcomes[i]);
    long events = 0;
    for (auto& [name, count] : totals.events)
        events += count;
    std::printf("  events %ld, unmatched %ld\n", events, totals.unmatchedEvents);
    for (auto& [name, count] : totals.events)
        std::printf("    %-22s %ld\n", name.c_str(), count);
    std::printf("  faults injected:");
    for (auto& [name, count] : totals.faultsInjected)
        std::printf(" %s %ld;", name.c_str(), count);
    std::printf("\n  resident memory: %ld KiB after warm-up, %ld KiB at the end, peak %ld KiB\n",
                early, late, peak);
    std::printf("  threads: %d before, %d after\n", threadsBefore, threadsAfter);

    bool bounded = kSanitized || (threadsAfter == threadsBefore && late <= early + 16 * 1024);
    if (kSanitized) std::printf("  (memory and threads not judged under a sanitizer)\n");
    bool ok = totals.doubleEnds == 0 && totals.unended == 0 && totals.unmatchedEvents == 0 &&
              bounded && events > 0;
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
        void MessagePlayed(const std::string&) override {}
        void DtmfDigitReceived(const std::string&, int16_t) override {}
        void RequestFailed(const std::string&, int32_t, const std::string&) override {}
        void Disconnected() override {}
        void CallArrived(const std::string&, const std::string&, const std::string&,
                         const std::string&) override {}
        void MailArrived(const std::string&, const std::string&, const std::string&, int32_t,
                         int32_t) override {}
        void SubscriptionConfirmed(const std::string&, bool, int32_t) override {}
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
    int seconds = 20, controls = 8, simulators = 2, scale = 0;
    uint32_t seed = static_cast<uint32_t>(std::random_device{}());
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        int value = std::atoi(argv[i + 1]);
        if (option == "--seconds")
            seconds = value;
        else if (option == "--controls")
            controls = value;
        else if (option == "--simulators")
            simulators = value;
        else if (option == "--seed")
            seed = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (option == "--scale")
            scale = value;
    }
    return scale > 0 ? Scale(scale) : Soak(seconds, controls, simulators, seed);
}
