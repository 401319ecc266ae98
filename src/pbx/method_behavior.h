// How the simulator answers the requests of each method: normally, with a fault queued by the
// console, or not at all. One entry per method of the method table.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
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
    kFault,   // the queued fault instead
    kSilent,  // no answer at all
};

class MethodBehaviorTable {
  public:
    static constexpr size_t kMaxQueuedFaults = 1024;

    // False for a type outside the table or a full queue.
    bool AddFault(uint32_t methodType, InjectedFault fault);
    bool SetMuted(uint32_t methodType, bool muted);

    // The mode for the next request of that type; a queued fault is used up and handed out. A
    // muted method keeps its queued faults for when it answers again.
    AnswerMode Take(uint32_t methodType, InjectedFault& fault);

    bool Muted(uint32_t methodType) const;
    size_t QueuedFaults(uint32_t methodType) const;

  private:
    struct Behavior {
        bool muted = false;
        std::deque<InjectedFault> faults;
    };
    std::array<Behavior, kMethodCount> behaviors_;
};

// The type of a method named in full or by its last part ("createcall"), letter case ignored;
// -1 when no method has that name.
int FindMethodType(std::string_view name);
// The last part of a method's name: "createcall" for type 0.
std::string_view ShortMethodName(uint32_t methodType);

}  // namespace voxtrel::pbx
