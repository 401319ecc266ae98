// How the simulator answers the requests of each method: normally, with a fault (queued by the
// console or drawn at a chosen rate), or not at all, and how late. One entry per method of the
// method table.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <string_view>

#include "protocol/xmlrpc_method.h"

namespace voxtrel::pbx {

struct InjectedFault {
    int32_t code = 0;
    std::string text;
};

enum class AnswerMode {
    kNormal,  // the service's own answer
    kFault,   // the injected fault instead
    kSilent,  // no answer at all
};

class MethodBehaviorTable {
  public:
    static constexpr size_t kMaxQueuedFaults = 1024;
    static constexpr size_t kMaxFaultText = 1024;
    // A day: a longer delay is no longer a late answer but a missing one, which mute gives.
    static constexpr std::chrono::milliseconds kMaxDelay{24 * 60 * 60 * 1000};

    // False for a type outside the table, a full queue or a text beyond kMaxFaultText.
    bool AddFault(uint32_t methodType, InjectedFault fault);
    // From now on each request of the type gets the fault with that chance; 0 ends it.
    bool SetFaultRate(uint32_t methodType, uint32_t percent, InjectedFault fault);
    bool SetMuted(uint32_t methodType, bool muted);
    // Every answer to the type waits that long; 0 ends it.
    bool SetDelay(uint32_t methodType, std::chrono::milliseconds delay);
    // Back to normal answers for every method: no faults, rates, silences or delays.
    void Reset();

    // The mode for the next request of that type: a queued fault is used up and handed out
    // first, then the rate's fault is drawn from random. A muted method keeps its queued faults
    // for when it answers again.
    AnswerMode Take(uint32_t methodType, InjectedFault& fault, std::mt19937_64& random);

    bool Muted(uint32_t methodType) const;
    size_t QueuedFaults(uint32_t methodType) const;
    uint32_t FaultRate(uint32_t methodType) const;
    std::chrono::milliseconds Delay(uint32_t methodType) const;

  private:
    struct Behavior {
        bool muted = false;
        std::deque<InjectedFault> faults;
        uint32_t ratePercent = 0;
        InjectedFault rateFault;
        std::chrono::milliseconds delay{0};
    };
    std::array<Behavior, kMethodCount> behaviors_;
};

// True with the chance of percent in a hundred.
bool Chance(std::mt19937_64& random, uint32_t percent);

// The type of a method named in full or by its last part ("createcall"), letter case ignored;
// -1 when no method has that name.
int FindMethodType(std::string_view name);
// The last part of a method's name: "createcall" for type 0.
std::string_view ShortMethodName(uint32_t methodType);

}  // namespace voxtrel::pbx
