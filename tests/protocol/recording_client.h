// Shared by the protocol tests and the interoperability tool: a CallServiceNotifications that
// records every notification as one line of text, and one written document of every kind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/authenticate.h"
#include "protocol/call_control.h"
#include "protocol/call_notifications.h"
#include "protocol/call_offer.h"
#include "protocol/call_service_notifications.h"
#include "protocol/fault_response.h"
#include "protocol/mail_arrived.h"
#include "protocol/subscription.h"

namespace voxtrel {

inline std::string Describe(const PartyAddress& a) {
    std::string text = "{kind=" + std::to_string(a.kind) + " number=" + a.number;
    if (!a.option.empty()) text += " option=" + a.option;
    if (!a.displayName.empty()) text += " name=" + a.displayName;
    if (!a.host.empty()) text += " host=" + a.host;
    if (!a.port.empty()) text += " port=" + a.port;
    return text + "}";
}

class RecordingClient : public CallServiceNotifications {
    using S = std::string;
    using Id = uint64_t;
    using P = PartyAddress;
    using L = std::vector<PartyAddress>;

  public:
    void OnAuthenticate(const S& u, const S& p) override { Add(__func__, u, p); }
    void OnAuthenticateResponse(bool ok, const S& t) override { Add(__func__, ok, t); }
    void OnIncomingCallHandling(const S& e, bool on) override { Add(__func__, e, on); }
    void OnCallArrived(Id i, const P& f, const P& t, Id o) override { Add(__func__, i, f, t, o); }
    void OnCallAccepted(Id i, const S& c, const S& n) override { Add(__func__, i, c, n); }
    void OnCallRedirected(Id i, const L& t, const S& c, const S& n) override {
        Add(__func__, i, t, c, n);
    }
    void OnCallDeclined(Id i) override { Add(__func__, i); }
    void OnCreateCall(Id i, const S& f, const P& t) override { Add(__func__, i, f, t); }
    void OnCloseCall(Id i) override { Add(__func__, i); }
    void OnTransferCall(Id i, const P& t) override { Add(__func__, i, t); }
    void OnJoinCalls(Id i, Id o) override { Add(__func__, i, o); }
    void OnUnjoinCalls(Id i, Id o) override { Add(__func__, i, o); }
    void OnPlayMessage(Id i, const S& f, int32_t n) override { Add(__func__, i, f, n); }
    void OnEnableDtmfDetection(Id i, bool on) override { Add(__func__, i, on); }
    void OnCallStateChanged(Id i, int32_t s) override { Add(__func__, i, s); }
    void OnMessagePlayed(Id i) override { Add(__func__, i); }
    void OnDtmfDigitReceived(Id i, char d) override { Add(__func__, i, d); }
    void OnSubscribe(Id i, const S& e) override { Add(__func__, i, e); }
    void OnUnsubscribe(Id i) override { Add(__func__, i); }
    void OnSubscriptionConfirmed(Id i, bool ok, int32_t c) override { Add(__func__, i, ok, c); }
    void OnMailArrived(Id i, const P& f, const S& t, int32_t d, int32_t m) override {
        Add(__func__, i, f, t, d, m);
    }
    void OnRequestFailed(Id i, int32_t c, const S& t) override { Add(__func__, i, c, t); }

    std::vector<std::string> calls;

  private:
    static S Text(const S& s) { return s; }
    static S Text(Id v) { return std::to_string(v); }
    static S Text(int32_t v) { return std::to_string(v); }
    static S Text(bool v) { return v ? "true" : "false"; }
    static S Text(char c) { return S(1, c); }
    static S Text(const P& a) { return Describe(a); }
    static S Text(const L& list) {
        S text;
        for (const P& a : list)
            text += (text.empty() ? "" : " ") + Describe(a);
        return text;
    }
    template <typename... Part>
    void Add(const char* name, const Part&... parts) {
        S line = name;
        ((line += " " + Text(parts)), ...);
        calls.push_back(line);
    }
};

// The request type a document is read as the answer to; kReadAsRequest reads it as a request.
constexpr uint32_t kReadAsRequest = kMethodCount;

// Reads a document and dispatches it: the notifications it made, one per line, or "unread".
inline std::string ReadAndDispatch(uint32_t answerTo, std::string_view text) {
    std::unique_ptr<XmlRpcMethod> read;
    if (answerTo == kReadAsRequest) {
        read = ParseRequest(text);
    } else if (auto request = CreateRequest(MethodName(answerTo))) {
        read = request->ParseResponse(text);
    }
    if (!read) return "unread";
    RecordingClient client;
    read->Dispatch(client);
    std::string lines;
    for (const std::string& call : client.calls)
        lines += (lines.empty() ? "" : "\n") + call;
    return lines;
}

inline PartyAddress Address(const char* text) {
    PartyAddress a;
    ResetPartyAddress(a);
    ParsePartyAddress(text, a);
    return a;
}

inline std::string Written(const XmlRpcMethod& message) {
    std::string out;
    return message.Write(out) ? out : "(not written)";
}

template <typename Method, typename... Arg>
std::string Written(const Arg&... args) {
    Method message;
    message.SetParams(args...);
    return Written(message);
}

struct Sample {
    const char* name;
    uint32_t answerTo;  // as for ReadAndDispatch
    std::string document;
};

// One document of every kind this side writes; the mail notice's time is written in local time.
inline std::vector<Sample> WrittenSamples() {
    const uint32_t r = kReadAsRequest;
    XmlRpcResponseMethod ack(kCallStateChanged);
    ack.SetId(42);
    CallArrivedResponseMethod accept, redirect, decline, plainDecline;
    accept.BuildAccept(42, "100", "Desk");
    redirect.BuildRedirect(42, {Address("Pbx:200")}, "", "");
    decline.BuildDecline(42, "busy");
    plainDecline.BuildDecline(42, "");
    FaultResponseMethod fault(kCloseCall);
    fault.SetParams(4, "T");
    return {
        {"createcall", r, Written<CreateCallMethod>(1234567890123u, "pbx:200", Address("PBX:100"))},
        {"closecall", r, Written<CloseCallMethod>(42)},
        {"transfercall", r, Written<TransferCallMethod>(42, Address("tel:555"))},
        {"joincalls", r, Written<JoinCallsMethod>(42, 43)},
        {"unjoincalls", r, Written<UnjoinCallsMethod>(42, 43)},
        {"callstatechanged", r, Written<CallStateChangedMethod>(42, 3)},
        {"playmessage", r, Written<PlayMessageMethod>(42, "hello.wav", -1)},
        {"messageplayed", r, Written<MessagePlayedMethod>(42)},
        {"enabledtmfdetection", r, Written<EnableDtmfDetectionMethod>(42, 1)},
        {"dtmfdigitdetected", r, Written<DtmfDigitReceivedMethod>(42, '#')},
        {"incomingcallhandling", r, Written<IncomingCallHandlingMethod>("100", 1)},
        {"process", r, Written<CallArrivedMethod>(42, Address("sip:1@h"), Address("pbx:2"), 17)},
        {"authenticate", r, Written<AuthenticateMethod>("user", "")},
        {"subscribe", r, Written<SubscribeMethod>(77, "100")},
        {"unsubscribe", r, Written<UnsubscribeMethod>(77)},
        {"mailarrived", r,
         Written<MailArrivedMethod>(5, Address("sip:alice@host"), 1146747721, 12, 7)},
        {"ack", kCallStateChanged, Written(ack)},
        {"authenticate answer", kAuthenticate,
         Written<AuthenticateResponseMethod>(true, "welcome")},
        {"subscribe answer", kSubscribe, Written<SubscribeResponseMethod>(77, true, 0)},
        {"accept", kProcess, Written(accept)},
        {"redirect", kProcess, Written(redirect)},
        {"decline", kProcess, Written(decline)},
        {"plain decline", kProcess, Written(plainDecline)},
        {"fault", kCloseCall, Written(fault)},
    };
}

}  // namespace voxtrel
