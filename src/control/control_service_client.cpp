// Formatting the notifications that the host sees and handing them to the control's window.
#include "control/control_service_client.h"

namespace voxtrel {

ControlServiceClient::ControlServiceClient(CVoxtrelCtrl* owner, EventMailbox* window)
    : owner_(owner), window_(window) {}

ControlServiceClient::~ControlServiceClient() {
    Shutdown();
}

void ControlServiceClient::Forward(ControlMessage message) {
    if (State() != kAuthenticated || owner_ == nullptr || window_ == nullptr) return;
    window_->Deliver(std::move(message), [this] { return State() == kAuthenticated; });
}

void ControlServiceClient::OnAuthenticateResponse(bool success, const std::string&) {
    ChangeState(kConnected, success ? kAuthenticated : kClosing);
}

void ControlServiceClient::OnCallArrived(uint64_t callId, const PartyAddress& caller,
                                         const PartyAddress& callee, uint64_t origCallId) {
    ControlMessage message;
    message.message = WM_CALLARRIVED;
    if (!FormatPartyAddress(caller, message.callArrived.caller) ||
        !FormatPartyAddress(callee, message.callArrived.callee)) {
        return;
    }
    message.id = FormatId(callId);
    message.callArrived.origCallId = origCallId;
    Forward(std::move(message));
}

void ControlServiceClient::OnCallStateChanged(uint64_t callId, int32_t state) {
    ControlMessage message;
    message.message = WM_CALLSTATECHANGED;
    message.id = FormatId(callId);
    message.value = state;
    Forward(std::move(message));
}

void ControlServiceClient::OnMessagePlayed(uint64_t callId) {
    ControlMessage message;
    message.message = WM_MESSAGEPLAYED;
    message.id = FormatId(callId);
    Forward(std::move(message));
}

void ControlServiceClient::OnDtmfDigitReceived(uint64_t callId, char digit) {
    ControlMessage message;
    message.message = WM_DTMFDIGITRECEIVED;
    message.id = FormatId(callId);
    message.value = static_cast<signed char>(digit);
    Forward(std::move(message));
}

void ControlServiceClient::OnSubscriptionConfirmed(uint64_t subscriptionId, bool confirmed,
                                                   int32_t errorCode) {
    ControlMessage message;
    message.message = WM_SUBSCRIPTIONCONFIRMED;
    message.id = FormatId(subscriptionId);
    message.subscription.confirmed = confirmed ? 1 : 0;
    message.subscription.errorCode = errorCode;
    Forward(std::move(message));
}

void ControlServiceClient::OnMailArrived(uint64_t subscriptionId, const PartyAddress& from,
                                         const std::string& time, int32_t duration,
                                         int32_t mailId) {
    ControlMessage message;
    message.message = WM_MAILARRIVED;
    if (!FormatPartyAddress(from, message.mailArrived.caller)) return;
    message.id = FormatId(subscriptionId);
    message.mailArrived.time = time;
    message.mailArrived.duration = duration;
    message.mailArrived.mailId = mailId;
    Forward(std::move(message));
}

void ControlServiceClient::OnRequestFailed(uint64_t callId, int32_t code, const std::string& text) {
    ControlMessage message;
    message.message = WM_REQUESTFAILED;
    message.id = FormatId(callId);
    message.requestFailed.code = code;
    message.requestFailed.text = text;
    Forward(std::move(message));
}

void ControlServiceClient::NotifyDisconnected() {
    ControlMessage message;
    message.message = WM_DISCONNECTED;
    Forward(std::move(message));
}

}  // namespace voxtrel
