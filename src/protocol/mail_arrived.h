// The voice-mail notice: the subscription id and a struct with the sender, time, duration and
// mail id.
#pragma once

#include <ctime>
#include <memory>
#include <string>

#include "protocol/party_address.h"
#include "protocol/xmlrpc_method.h"

namespace voxtrel {

class MailArrivedMethod : public XmlRpcRequestMethod {
  public:
    MailArrivedMethod() : XmlRpcRequestMethod(kMailArrived) {}
    bool Write(std::string& out) const override;
    // Nothing is dispatched unless all four members are there with their exact kinds and the
    // sender parses.
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadParams(XMLNavigator& navigator) override;
    // The time is written as local time, "%Y-%m-%d %H:%M:%S".
    virtual bool SetParams(uint64_t subscriptionId, const PartyAddress& from, int32_t time,
                           int32_t duration, int32_t mailId);

    std::unique_ptr<XmlRpcValueStruct> dataParam;
};

// Local calendar time as the notice writes it; empty when the conversion fails.
std::string FormatLocalTime(time_t time);

}  // namespace voxtrel
