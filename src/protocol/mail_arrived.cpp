// Voice-mail notices: params, reading, dispatch and the service side's setter.
#include "protocol/mail_arrived.h"

#include "protocol/call_service_notifications.h"
#include "protocol/local_time.h"

namespace voxtrel {

bool MailArrivedMethod::Write(std::string& out) const {
    if (!idParam || !dataParam) return false;
    return WriteRequest(out, {idParam.get(), dataParam.get()});
}

void MailArrivedMethod::Dispatch(CallServiceNotifications& session) {
    if (!idParam || !dataParam) return;
    PartyAddress from;
    ResetPartyAddress(from);
    auto* sender = GetMemberAs<XmlRpcValueString>(*dataParam, "From", kXmlRpcString);
    if (sender == nullptr || !ParsePartyAddress(sender->value, from)) return;
    auto* time = GetMemberAs<XmlRpcValueDateTime>(*dataParam, "Time", kXmlRpcDateTime);
    auto* duration = GetMemberAs<XmlRpcValueInt>(*dataParam, "Duration", kXmlRpcInt);
    auto* mailId = GetMemberAs<XmlRpcValueInt>(*dataParam, "MailID", kXmlRpcInt);
    if (time == nullptr || duration == nullptr || mailId == nullptr) return;
    session.OnMailArrived(GetId(), from, time->textRef, duration->value, mailId->value);
}

bool MailArrivedMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, idParam) &&
           ReadRequiredParam(navigator, kXmlRpcStruct, dataParam) && !HasMoreElements(navigator);
}

bool MailArrivedMethod::SetParams(uint64_t subscriptionId, const PartyAddress& from, int32_t time,
                                  int32_t duration, int32_t mailId) {
    std::string fromText;
    if (!FormatPartyAddress(from, fromText)) return false;
    SetIdText(idParam, subscriptionId);
    if (!dataParam) dataParam = std::make_unique<XmlRpcValueStruct>();
    dataParam->SetMember("From", std::make_unique<XmlRpcValueString>(fromText));
    dataParam->SetMember("Time", std::make_unique<XmlRpcValueDateTime>(FormatLocalTime(time)));
    dataParam->SetMember("Duration", std::make_unique<XmlRpcValueInt>(duration));
    dataParam->SetMember("MailID", std::make_unique<XmlRpcValueInt>(mailId));
    return true;
}

std::string FormatLocalTime(time_t time) {
    char text[32] = {};
    std::tm calendar;
    if (LocalCalendarTime(time, calendar)) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &calendar);
    }
    return text;
}

}  // namespace voxtrel
