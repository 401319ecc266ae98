// Call notifications: params, reading and dispatch.
#include "protocol/call_notifications.h"

#include "protocol/call_service_notifications.h"
namespace voxtrel {

bool CallIntNotification::Write(std::string& out) const {
    if (!idParam || !dataParam) return false;
    return WriteRequest(out, {idParam.get(), dataParam.get()});
}

bool CallIntNotification::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, idParam) &&
           ReadRequiredParam(navigator, kXmlRpcInt, dataParam) && !HasMoreElements(navigator);
}

void CallStateChangedMethod::Dispatch(CallServiceNotifications& session) {
    if (dataParam) session.OnCallStateChanged(GetId(), dataParam->value);
}

bool CallStateChangedMethod::SetParams(uint64_t callId, int32_t state) {
    SetIdText(idParam, callId);
    SetInt(dataParam, state);
    return true;
}

bool MessagePlayedMethod::Write(std::string& out) const {
    if (!idParam) return false;
    return WriteRequest(out, {idParam.get()});
}

void MessagePlayedMethod::Dispatch(CallServiceNotifications& session) {
    session.OnMessagePlayed(GetId());
}

bool MessagePlayedMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, idParam) && !HasMoreElements(navigator);
}

bool MessagePlayedMethod::SetParams(uint64_t callId) {
    SetIdText(idParam, callId);
    return true;
}

void DtmfDigitReceivedMethod::Dispatch(CallServiceNotifications& session) {
    if (dataParam) {
        session.OnDtmfDigitReceived(GetId(), static_cast<char>(dataParam->value & 0xFF));
    }
}

bool DtmfDigitReceivedMethod::SetParams(uint64_t callId, char digit) {
    SetIdText(idParam, callId);
    SetInt(dataParam, static_cast<signed char>(digit));
    return true;
}

}  // namespace voxtrel
