// Call-control requests: their params, reading and dispatch.
#include "protocol/call_control.h"

#include "protocol/call_service_notifications.h"
namespace voxtrel {

namespace {

// Parses a target text into a fresh record; false when there is no text or it does not parse.
bool ParseTarget(const XmlRpcValueString* text, PartyAddress& target) {
    ResetPartyAddress(target);
    return text != nullptr && ParsePartyAddress(text->value, target);
}

}  // namespace

bool CreateCallMethod::Write(std::string& out) const {
    if (!idParam || !from || !to) return false;
    return WriteRequest(out, {idParam.get(), from.get(), to.get()});
}

void CreateCallMethod::Dispatch(CallServiceNotifications& session) {
    PartyAddress target;
    if (from && ParseTarget(to.get(), target)) session.OnCreateCall(GetId(), from->value, target);
}

bool CreateCallMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, idParam) &&
           ReadRequiredParam(navigator, kXmlRpcString, from) &&
           ReadRequiredParam(navigator, kXmlRpcString, to) && !HasMoreElements(navigator);
}

bool CreateCallMethod::SetParams(uint64_t callId, const std::string& fromText,
                                 const PartyAddress& target) {
    SetIdText(idParam, callId);
    std::string targetText;
    if (!FormatPartyAddress(target, targetText)) return false;
    SetString(to, targetText);
    SetString(from, fromText);
    return true;
}

bool CloseCallMethod::Write(std::string& out) const {
    if (!idParam) return false;
    return WriteRequest(out, {idParam.get()});
}

void CloseCallMethod::Dispatch(CallServiceNotifications& session) {
    session.OnCloseCall(GetId());
}

bool CloseCallMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, idParam) && !HasMoreElements(navigator);
}

bool CloseCallMethod::SetParams(uint64_t callId) {
    SetIdText(idParam, callId);
    return true;
}

bool TransferCallMethod::Write(std::string& out) const {
    if (!idParam || !to) return false;
    return WriteRequest(out, {idParam.get(), to.get()});
}

void TransferCallMethod::Dispatch(CallServiceNotifications& session) {
    PartyAddress target;
    if (ParseTarget(to.get(), target)) session.OnTransferCall(GetId(), target);
}

bool TransferCallMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, idParam) &&
           ReadRequiredParam(navigator, kXmlRpcString, to) && !HasMoreElements(navigator);
}

bool TransferCallMethod::SetParams(uint64_t callId, const PartyAddress& target) {
    std::string targetText;
    if (!FormatPartyAddress(target, targetText)) return false;
    SetIdText(idParam, callId);
    SetString(to, targetText);
    return true;
}

bool CallPairMethod::Write(std::string& out) const {
    if (!idParam || !otherCall) return false;
    return WriteRequest(out, {idParam.get(), otherCall.get()});
}

bool CallPairMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, idParam) &&
           ReadRequiredParam(navigator, kXmlRpcString, otherCall) && !HasMoreElements(navigator);
}

bool CallPairMethod::SetParams(uint64_t callId, uint64_t otherCallId) {
    SetIdText(idParam, callId);
    SetIdText(otherCall, otherCallId);
    return true;
}

void JoinCallsMethod::Dispatch(CallServiceNotifications& session) {
    if (otherCall) session.OnJoinCalls(GetId(), ParseId(otherCall->value));
}

void UnjoinCallsMethod::Dispatch(CallServiceNotifications& session) {
    if (otherCall) session.OnUnjoinCalls(GetId(), ParseId(otherCall->value));
}

bool PlayMessageMethod::Write(std::string& out) const {
    if (!idParam || !fileName) return false;
    return WriteRequest(out, {idParam.get(), fileName.get(), playCount.get()});
}

void PlayMessageMethod::Dispatch(CallServiceNotifications& session) {
    if (fileName)
        session.OnPlayMessage(GetId(), fileName->value, playCount ? playCount->value : -1);
}

bool PlayMessageMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, idParam) &&
           ReadRequiredParam(navigator, kXmlRpcString, fileName) &&
           ReadOptionalLastParam(navigator, kXmlRpcInt, playCount);
}

bool PlayMessageMethod::SetParams(uint64_t callId, const std::string& name, int32_t count) {
    SetIdText(idParam, callId);
    SetString(fileName, name);
    SetInt(playCount, count);
    return true;
}

bool EnableDtmfDetectionMethod::Write(std::string& out) const {
    if (!idParam || !onoff) return false;
    return WriteRequest(out, {idParam.get(), onoff.get()});
}

void EnableDtmfDetectionMethod::Dispatch(CallServiceNotifications& session) {
    if (onoff) session.OnEnableDtmfDetection(GetId(), onoff->value);
}

bool EnableDtmfDetectionMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, idParam) &&
           ReadRequiredParam(navigator, kXmlRpcBool, onoff) && !HasMoreElements(navigator);
}

bool EnableDtmfDetectionMethod::SetParams(uint64_t callId, int32_t flag) {
    SetIdText(idParam, callId);
    SetBool(onoff, flag == 1);
    return true;
}

}  // namespace voxtrel
