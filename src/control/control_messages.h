// The eight messages by which the session's worker hands notifications to the control's window,
// and the records they carry. A message owns its texts, so a delivery dropped on the host's side
// never refers to the worker's stack.
#pragma once

#include <cstdint>
#include <string>

namespace voxtrel {

// Private window messages, from WM_APP on.
enum ControlMessageId : uint32_t {
    WM_CALLARRIVED = 0x8000,
    WM_CALLSTATECHANGED = 0x8001,
    WM_MESSAGEPLAYED = 0x8002,
    WM_DTMFDIGITRECEIVED = 0x8003,
    WM_REQUESTFAILED = 0x8004,
    WM_DISCONNECTED = 0x8005,
    WM_MAILARRIVED = 0x8006,
    WM_SUBSCRIPTIONCONFIRMED = 0x8007,
};

struct CallArrivedInfo {
    std::string caller;
    std::string callee;
    uint64_t origCallId = 0;
};

struct RequestFailedInfo {
    int32_t code = 0;
    std::string text;
};

struct MailArrivedInfo {
    std::string caller;
    std::string time;
    int32_t duration = 0;
    int32_t mailId = 0;
};

struct SubscriptionInfo {
    int32_t confirmed = 0;
    int32_t errorCode = 0;
};

// One message as the window receives it: the id text (the message's first parameter), a scalar
// (its second, for the state and the digit) and the record of its kind.
struct ControlMessage {
    uint32_t message = 0;
    std::string id;
    int64_t value = 0;
    CallArrivedInfo callArrived;
    RequestFailedInfo requestFailed;
    MailArrivedInfo mailArrived;
    SubscriptionInfo subscription;
};

}  // namespace voxtrel
