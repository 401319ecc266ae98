// The messages the protocol benchmarks measure, as this side writes them: a createcall request, a
// callstatechanged and a mailarrived notification, and the plain answer to a closecall request.
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

// The request whose answer the plain answer is: a received answer is read against it.
inline std::unique_ptr<XmlRpcRequestMethod> CloseCallMessage() {
    auto message = std::make_unique<CloseCallMethod>();
    message->SetParams(13323469184593209344u);
    return message;
}

inline std::unique_ptr<XmlRpcMethod> AnswerMessage() {
    std::unique_ptr<XmlRpcResponseMethod> answer = CloseCallMessage()->CreateResponse(false);
    answer->SetId(13323469184593209344u);
    return answer;
}

struct NamedMessage {
    const char* name;
    std::unique_ptr<XmlRpcMethod> (*make)();
    // The request the message answers; null for a request or notification.
    std::unique_ptr<XmlRpcRequestMethod> (*answers)();
};

template <std::unique_ptr<XmlRpcRequestMethod> (*make)()>
std::unique_ptr<XmlRpcMethod> AsMethod() {
    return make();
}

inline const NamedMessage kMessages[] = {
    {"createcall", AsMethod<CreateCallMessage>, nullptr},
    {"callstatechanged", AsMethod<CallStateChangedMessage>, nullptr},
    {"mailarrived", AsMethod<MailArrivedMessage>, nullptr},
    {"answer", AnswerMessage, CloseCallMessage},
};

// The message's bytes, without the terminator, as the session's reader gets them.
inline std::string MessageText(const NamedMessage& message) {
    std::string text;
    message.make()->Write(text);
    text.resize(text.size() - kMessageTerminator.size());
    return text;
}

}  // namespace voxtrel::bench
