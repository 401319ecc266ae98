// The per-method answer table and the method name lookup of the console commands.
#include "pbx/method_behavior.h"

#include "xml/xml_navigator.h"

namespace voxtrel::pbx {

namespace {

constexpr std::string_view kServicePrefix = "Services.CallProcessingService.";

}  // namespace

bool MethodBehaviorTable::AddFault(uint32_t methodType, InjectedFault fault) {
    if (methodType >= kMethodCount) return false;
    auto& faults = behaviors_[methodType].faults;
    if (faults.size() >= kMaxQueuedFaults) return false;
    faults.push_back(std::move(fault));
    return true;
}

bool MethodBehaviorTable::SetMuted(uint32_t methodType, bool muted) {
    if (methodType >= kMethodCount) return false;
    behaviors_[methodType].muted = muted;
    return true;
}

AnswerMode MethodBehaviorTable::Take(uint32_t methodType, InjectedFault& fault) {
    if (methodType >= kMethodCount) return AnswerMode::kNormal;
    Behavior& behavior = behaviors_[methodType];
    if (behavior.muted) return AnswerMode::kSilent;
    if (behavior.faults.empty()) return AnswerMode::kNormal;
    fault = std::move(behavior.faults.front());
    behavior.faults.pop_front();
    return AnswerMode::kFault;
}

bool MethodBehaviorTable::Muted(uint32_t methodType) const {
    return methodType < kMethodCount && behaviors_[methodType].muted;
}

size_t MethodBehaviorTable::QueuedFaults(uint32_t methodType) const {
    return methodType < kMethodCount ? behaviors_[methodType].faults.size() : 0;
}

std::string_view ShortMethodName(uint32_t methodType) {
    const char* name = MethodName(methodType);
    if (name == nullptr) return {};
    return std::string_view(name).substr(kServicePrefix.size());
}

int FindMethodType(std::string_view name) {
    std::string text(name);
    for (uint32_t type = 0; type < kMethodCount; ++type) {
        if (EqualsIgnoreCase(text.c_str(), MethodName(type)) ||
            EqualsIgnoreCase(text.c_str(), MethodName(type) + kServicePrefix.size())) {
            return static_cast<int>(type);
        }
    }
    return -1;
}

}  // namespace voxtrel::pbx
