// Incoming-call registration, voice-mail subscription and unsubscription.
#include "protocol/subscription.h"

#include "protocol/call_service_notifications.h"
#include "protocol/fault_response.h"

namespace voxtrel {

bool IncomingCallHandlingMethod::Write(std::string& out) const {
    if (!extensionName || !enable) return false;
    return WriteRequest(out, {extensionName.get(), enable.get()});
}

void IncomingCallHandlingMethod::Dispatch(CallServiceNotifications& session) {
    if (extensionName && enable)
        session.OnIncomingCallHandling(extensionName->value, enable->value);
}

bool IncomingCallHandlingMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, extensionName) &&
           ReadRequiredParam(navigator, kXmlRpcBool, enable) && !HasMoreElements(navigator);
}

bool IncomingCallHandlingMethod::SetParams(const std::string& extension, int32_t flag) {
    SetString(extensionName, extension);
    SetBool(enable, flag == 1);
    return true;
}

bool SubscribeMethod::Write(std::string& out) const {
    if (!idParam || !subscriptionType) return false;
    return WriteRequest(out, {idParam.get(), subscriptionType.get(), subscriptionData.get()});
}

void SubscribeMethod::Dispatch(CallServiceNotifications& session) {
    if (!idParam || !subscriptionType || subscriptionType->value != kVoiceMailSubscription ||
        !subscriptionData) {
        return;
    }
    auto* extension = GetMemberAs<XmlRpcValueString>(*subscriptionData, "extension", kXmlRpcString);
    if (extension != nullptr) session.OnSubscribe(GetId(), extension->value);
}

std::unique_ptr<XmlRpcResponseMethod> SubscribeMethod::CreateResponse(bool fault) const {
    if (fault) return std::make_unique<FaultResponseMethod>(methodType);
    return std::make_unique<SubscribeResponseMethod>();
}

bool SubscribeMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, idParam) &&
           ReadRequiredParam(navigator, kXmlRpcInt, subscriptionType) &&
           ReadOptionalLastParam(navigator, kXmlRpcStruct, subscriptionData);
}

bool SubscribeMethod::SetParams(uint64_t subscriptionId, const std::string& extension) {
    SetIdText(idParam, subscriptionId);
    SetInt(subscriptionType, kVoiceMailSubscription);
    if (!subscriptionData) subscriptionData = std::make_unique<XmlRpcValueStruct>();
    subscriptionData->SetMember("extension", std::make_unique<XmlRpcValueString>(extension));
    return true;
}

bool UnsubscribeMethod::Write(std::string& out) const {
    if (!idParam) return false;
    return WriteRequest(out, {idParam.get()});
}

void UnsubscribeMethod::Dispatch(CallServiceNotifications& session) {
    if (idParam) session.OnUnsubscribe(GetId());
}

bool UnsubscribeMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, idParam) && !HasMoreElements(navigator);
}

bool UnsubscribeMethod::SetParams(uint64_t subscriptionId) {
    SetIdText(idParam, subscriptionId);
    return true;
}

bool SubscribeResponseMethod::Write(std::string& out) const {
    if (!idParam || !confirmed || !errorCode) return false;
    return WriteResponse(out, {idParam.get(), confirmed.get(), errorCode.get()});
}

void SubscribeResponseMethod::Dispatch(CallServiceNotifications& session) {
    if (idParam && confirmed && errorCode) {
        session.OnSubscriptionConfirmed(GetId(), confirmed->value, errorCode->value);
    }
}

bool SubscribeResponseMethod::ReadParams(XMLNavigator& navigator) {
    return XmlRpcResponseMethod::ReadParams(navigator) &&
           ReadRequiredParam(navigator, kXmlRpcBool, confirmed) &&
           ReadRequiredParam(navigator, kXmlRpcInt, errorCode);
}

bool SubscribeResponseMethod::SetParams(uint64_t subscriptionId, bool isConfirmed, int32_t code) {
    SetIdText(idParam, subscriptionId);
    SetBool(confirmed, isConfirmed);
    SetInt(errorCode, code);
    return true;
}

}  // namespace voxtrel
