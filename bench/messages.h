// The three messages the protocol benchmarks measure: a createcall request, a callstatechanged
// notification and a mailarrived notification, as this side writes them.
#pragma once

#include <memory>
#include <string>

#include "protocol/call_control.h"
#include "protocol/call_notifications.h"
#include "protocol/mail_arrived.h"

namespace voxtrel::bench {

inline PartyAddress Address(const char* text) {
    PartyAddress address;
    ResetPartyAddress(address);
    ParsePartyAddress(text, address);
    return address;
}

inline std::unique_ptr<XmlRpcRequestMethod> CreateCallMessage() {
    auto message = std::make_unique<CreateCallMethod>();
    message->SetParams(13323469184593209344u, "pbx:200", Address("pbx:100"));
    return message;
}

inline std::unique_ptr<XmlRpcRequestMethod> CallStateChangedMessage() {
    auto message = std::make_unique<CallStateChangedMethod>();
    message->SetParams(13323469184593209344u, 3);
    return message;
}

inline std::unique_ptr<XmlRpcRequestMethod> MailArrivedMessage() {
    auto message = std::make_unique<MailArrivedMethod>();
    message->SetParams(13323469184593209345u, Address("sip:alice@pbx.example.com"), 1146747721, 42,
                       1007);
    return message;
}

struct NamedMessage {
    const char* name;
    std::unique_ptr<XmlRpcRequestMethod> (*make)();
};

inline const NamedMessage kMessages[] = {
    {"createcall", CreateCallMessage},
    {"callstatechanged", CallStateChangedMessage},
    {"mailarrived", MailArrivedMessage},
};

}  // namespace voxtrel::bench
