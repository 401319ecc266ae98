// Call offers and their answers, on both the receiving and the sending side.
#include "protocol/call_offer.h"

#include <string_view>
#include "protocol/call_service_notifications.h"

#include "protocol/fault_response.h"

namespace voxtrel {

namespace {

constexpr std::string_view kMessageTakerMarker = "actor=\"msg-taker\"";

// A party's text in an offer: sip user@host when it has a host, else tel with its number.
bool OfferPartyText(const PartyAddress& party, std::string& text) {
    if (party.host.empty()) {
        text = "tel:" + party.number;
        return true;
    }
    if (!JoinUserHost(text, party.number, party.host, false)) return false;
    text.insert(0, "sip:");
    return true;
}

bool ParseMember(const XmlRpcValueStruct& record, const char* name, PartyAddress& party) {
    ResetPartyAddress(party);
    auto* text = GetMemberAs<XmlRpcValueString>(record, name, kXmlRpcString);
    return text != nullptr && ParsePartyAddress(text->value, party);
}

std::unique_ptr<XmlRpcValueArray> ArrayOfOne(const std::string& text) {
    auto array = std::make_unique<XmlRpcValueArray>();
    array->Append(std::make_unique<XmlRpcValueString>(text));
    return array;
}

}  // namespace

bool CallArrivedMethod::Write(std::string& out) const {
    if (!dataParam || !idParam) return false;
    return WriteRequest(out, {dataParam.get(), idParam.get()});
}

void CallArrivedMethod::Dispatch(CallServiceNotifications& session) {
    if (!dataParam) return;
    PartyAddress caller;
    PartyAddress callee;
    if (!ParseMember(*dataParam, "From", caller) || !ParseMember(*dataParam, "To", callee)) return;
    auto* origin = GetMemberAs<XmlRpcValueString>(*dataParam, "OrigCallID", kXmlRpcString);
    uint64_t origCallId = origin != nullptr ? ParseId(origin->value) : 0;
    session.OnCallArrived(GetId(), caller, callee, origCallId);
}

std::unique_ptr<XmlRpcResponseMethod> CallArrivedMethod::CreateResponse(bool fault) const {
    if (fault) return std::make_unique<FaultResponseMethod>(methodType);
    return std::make_unique<CallArrivedResponseMethod>();
}

bool CallArrivedMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcStruct, dataParam) &&
           ReadRequiredParam(navigator, kXmlRpcString, idParam) && !HasMoreElements(navigator);
}

bool CallArrivedMethod::SetParams(uint64_t callId, const PartyAddress& caller,
                                  const PartyAddress& callee, uint64_t origCallId) {
    SetIdText(idParam, callId);
    std::string callerText;
    std::string calleeText;
    if (!OfferPartyText(caller, callerText) || !OfferPartyText(callee, calleeText)) return false;
    if (!dataParam) dataParam = std::make_unique<XmlRpcValueStruct>();
    dataParam->SetMember("From", std::make_unique<XmlRpcValueString>(callerText));
    dataParam->SetMember("To", std::make_unique<XmlRpcValueString>(calleeText));
    dataParam->SetMember("Contact", std::make_unique<XmlRpcValueString>(callerText));
    if (origCallId != 0) {
        dataParam->SetMember("OrigCallID",
                             std::make_unique<XmlRpcValueString>(FormatId(origCallId)));
    }
    return true;
}

bool CallArrivedResponseMethod::Write(std::string& out) const {
    if (!answerStruct || !idParam) return false;
    return WriteResponse(out, {answerStruct.get(), idParam.get()});
}

void CallArrivedResponseMethod::StartAnswer(uint64_t callId, const char* action) {
    SetId(callId);
    if (!answerStruct) answerStruct = std::make_unique<XmlRpcValueStruct>();
    answerStruct->SetMember("action", std::make_unique<XmlRpcValueString>(action));
}

void CallArrivedResponseMethod::SetCaller(const std::string& callerIdText,
                                          const std::string& displayNameText) {
    if (!callerIdText.empty()) {
        answerStruct->SetMember("callerid", std::make_unique<XmlRpcValueString>(callerIdText));
    }
    if (!displayNameText.empty()) {
        answerStruct->SetMember("displayname",
                                std::make_unique<XmlRpcValueString>(displayNameText));
    }
}

bool CallArrivedResponseMethod::BuildAccept(uint64_t callId, const std::string& callerIdText,
                                            const std::string& displayNameText) {
    StartAnswer(callId, "accept");
    SetCaller(callerIdText, displayNameText);
    return true;
}

bool CallArrivedResponseMethod::BuildRedirect(uint64_t callId, std::vector<PartyAddress> targetList,
                                              const std::string& callerIdText,
                                              const std::string& displayNameText) {
    StartAnswer(callId, "redirect");
    if (!targetList.empty()) {
        auto array = std::make_unique<XmlRpcValueArray>();
        for (const PartyAddress& target : targetList) {
            std::string text;
            if (FormatPartyAddress(target, text)) {
                array->Append(std::make_unique<XmlRpcValueString>(std::move(text)));
            }
        }
        answerStruct->SetMember("target", std::move(array));
    }
    SetCaller(callerIdText, displayNameText);
    return true;
}

bool CallArrivedResponseMethod::BuildDecline(uint64_t callId, const std::string& reasonText) {
    StartAnswer(callId, "decline");
    if (!reasonText.empty()) answerStruct->SetMember("reason", ArrayOfOne(reasonText));
    return true;
}

bool CallArrivedResponseMethod::ReadParams(XMLNavigator& navigator) {
    if (!ReadRequiredParam(navigator, kXmlRpcStruct, answerStruct)) return false;
    const XmlRpcValueStruct& answer = *answerStruct;
    if (auto* callIdText = GetMemberAs<XmlRpcValueString>(answer, "CallID", kXmlRpcString)) {
        SetString(idParam, callIdText->value);
    }
    if (auto* action = GetMemberAs<XmlRpcValueString>(answer, "action", kXmlRpcString)) {
        if (EqualsIgnoreCase(action->value.c_str(), "decline")) {
            actionCode = kActionDecline;
            auto* reasons = GetMemberAs<XmlRpcValueArray>(answer, "reason", kXmlRpcArray);
            if (reasons != nullptr && !reasons->elements.empty()) {
                // The first element's text, whatever its kind carries as text.
                const XmlRpcValue* first = reasons->elements.front().get();
                if (first->valueType >= kXmlRpcDateTime && first->valueType <= kXmlRpcBase64) {
                    reason = static_cast<const XmlRpcValueString*>(first)->value;
                }
            }
        } else if (EqualsIgnoreCase(action->value.c_str(), "redirect")) {
            actionCode = kActionRedirect;
            if (auto* list = GetMemberAs<XmlRpcValueArray>(answer, "target", kXmlRpcArray)) {
                for (const auto& element : list->elements) {
                    if (element->valueType == kXmlRpcString) {
                        targets.push_back(
                            static_cast<const XmlRpcValueString*>(element.get())->value);
                    }
                }
            }
        }
    }
    if (auto* text = GetMemberAs<XmlRpcValueString>(answer, "callerid", kXmlRpcString)) {
        callerId = text->value;
    }
    if (auto* text = GetMemberAs<XmlRpcValueString>(answer, "displayname", kXmlRpcString)) {
        displayName = text->value;
    }
    std::unique_ptr<XmlRpcValue> second;
    switch (ReadParam(navigator, kXmlRpcString, second)) {
        case ParamStatus::kRead:
            idParam.reset(static_cast<XmlRpcValueString*>(second.release()));
            return true;
        case ParamStatus::kMissing:
        case ParamStatus::kNoValue:
            // Only a typed value that is not a string spoils the answer; an untyped or nil one
            // leaves the id to the struct's "CallID".
            return true;
        default:
            return false;
    }
}

void CallArrivedResponseMethod::Dispatch(CallServiceNotifications& session) {
    switch (actionCode) {
        case kActionAccept:
            session.OnCallAccepted(GetId(), callerId, displayName);
            break;
        case kActionDecline:
            session.OnCallDeclined(GetId());
            break;
        case kActionRedirect: {
            std::vector<PartyAddress> parsed;
            for (std::string text : targets) {
                PartyAddress target;
                ResetPartyAddress(target);
                if (TakeMessageTakerMarker(text)) target.kind |= kMessageTaker;
                if (ParsePartyAddress(text, target)) parsed.push_back(std::move(target));
            }
            if (parsed.empty()) {
                session.OnCallAccepted(GetId(), callerId, displayName);
            } else {
                session.OnCallRedirected(GetId(), parsed, callerId, displayName);
            }
            break;
        }
        default:
            break;
    }
}

bool TakeMessageTakerMarker(std::string& target) {
    size_t at = target.find(kMessageTakerMarker);
    if (at == std::string::npos) return false;
    // The marker is introduced by one character, normally ';'; at the very start there is none.
    size_t start = at == 0 ? 0 : at - 1;
    target.erase(start, at + kMessageTakerMarker.size() - start);
    return true;
}

}  // namespace voxtrel
