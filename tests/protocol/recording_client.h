// Shared by the protocol tests and the interoperability tool: a CallServiceNotifications that
// records every notification as one line of text, and one written document of every kind with
// the exact bytes it must have.
#pragma once

#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
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

// Each notification as a line: its name and its arguments, in order.
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

    std::string lines;  // one line a notification, without a last line end

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
        lines += (lines.empty() ? "" : "\n") + S(name);
        ((lines += " " + Text(parts)), ...);
    }
};

// The request type a document is read as the answer to; kRequest reads it as a request.
constexpr uint32_t kRequest = kMethodCount;

// Reads a document and dispatches it: the notifications it made, one per line, or "unread".
inline std::string ReadAndDispatch(uint32_t answerTo, std::string_view text) {
    static MessageReader reader;  // one for every document, as the session keeps one
    std::unique_ptr<XmlRpcMethod> read;
    if (reader.Open(text) == MessageReader::Root::kMethodCall && answerTo == kRequest) {
        read = reader.ReadRequest();
    } else if (answerTo != kRequest) {
        read = reader.ReadResponse(*CreateRequest(MethodName(answerTo)));
    }
    if (!read) return "unread";
    RecordingClient client;
    read->Dispatch(client);
    return client.lines;
}

inline PartyAddress Address(const char* text) {
    PartyAddress a;
    ResetPartyAddress(a);
    ParsePartyAddress(text, a);
    return a;
}

// The document a message writes after Set (SetParams unless named) with the arguments, if any.
template <auto Set = nullptr, typename Method, typename... Arg>
std::string Written(Method&& message, const Arg&... args) {
    if constexpr (!std::is_null_pointer_v<decltype(Set)>) (message.*Set)(args...);
    if constexpr (std::is_null_pointer_v<decltype(Set)> && sizeof...(args) > 0)
        message.SetParams(args...);
    std::string out;
    return message.Write(out) ? out : "(not written)";
}

using Values = std::initializer_list<std::string>;

// The expected documents, built the way the writer lays them out: a line for each element that
// holds others, CR LF after each line and one more at the end.
inline std::string Join(std::string text, Values items, const char* before, const char* after) {
    for (const std::string& item : items)
        text += before + item + after;
    return text;
}
inline std::string V(const std::string& type, const std::string& text) {
    return "<value><" + type + ">" + text + "</" + type + "></value>";
}
inline const auto Str = [](const std::string& text) { return V("string", text); };
inline const auto Int = [](int32_t value) { return V("int", std::to_string(value)); };
inline const auto Bool = [](int value) { return V("boolean", std::to_string(value)); };
inline const auto Array = [](Values values) {
    return Join("<value><array><data>\r\n", values, "", "\r\n") + "</data></array></value>";
};
// Members as name, value, name, value...
inline std::string Struct(Values members) {
    std::string text = "<value><struct>\r\n";
    for (auto at = members.begin(); at != members.end(); at += 2)
        text += "<member>\r\n<name>" + at[0] + "</name>\r\n" + at[1] + "\r\n</member>\r\n";
    return text + "</struct></value>";
}
inline const std::string kDecl = "<?xml version=\"1.0\"?>\r\n";
inline std::string Params(Values values) {
    return Join("<params>\r\n", values, "<param>\r\n", "\r\n</param>\r\n") + "</params>\r\n";
}
inline std::string Call(const std::string& method, Values values) {
    return kDecl + "<methodCall>\r\n<methodName>Services.CallProcessingService." + method +
           "</methodName>\r\n" + Params(values) + "</methodCall>\r\n\r\n";
}
inline std::string Response(Values values) {
    return kDecl + "<methodResponse>\r\n" + Params(values) + "</methodResponse>\r\n\r\n";
}
inline std::string Fault(const std::string& faultStruct) {
    return kDecl + "<methodResponse>\r\n<fault>\r\n" + faultStruct +
           "\r\n</fault>\r\n</methodResponse>\r\n\r\n";
}

struct Golden {
    std::string written, bytes, read;  // what this side writes, what it must write, how it reads
    uint32_t answerTo = kRequest;      // as for ReadAndDispatch
};

// One document of every kind this side writes.
inline std::vector<Golden> GoldenDocuments() {
    using Answer = CallArrivedResponseMethod;
    // A mail notice's time is local: the runs set TZ east of UTC, so a UTC time (13:02:01) shows.
    const std::time_t sent = 1146747721;
    char when[20];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&sent));
    const std::string id = Str("42"), i43 = Str("43");
    return {
        {Written(CreateCallMethod(), 1234567890123u, "pbx:200", Address("PBX:100")),
         Call("createcall", {Str("1234567890123"), Str("pbx:200"), Str("pbx:100")}),
         "OnCreateCall 1234567890123 pbx:200 {kind=0 number=100}"},
        {Written(CloseCallMethod(), 42), Call("closecall", {id}), "OnCloseCall 42"},
        {Written(TransferCallMethod(), 42, Address("tel:555")),
         Call("transfercall", {id, Str("tel:555")}), "OnTransferCall 42 {kind=3 number=555}"},
        {Written(JoinCallsMethod(), 42, 43), Call("joincalls", {id, i43}), "OnJoinCalls 42 43"},
        {Written(UnjoinCallsMethod(), 42, 43), Call("unjoincalls", {id, i43}),
         "OnUnjoinCalls 42 43"},
        {Written(CallStateChangedMethod(), 42, 3), Call("callstatechanged", {id, Int(3)}),
         "OnCallStateChanged 42 3"},
        {Written(PlayMessageMethod(), 42, "hello.wav", -1),
         Call("playmessage", {id, Str("hello.wav"), Int(-1)}), "OnPlayMessage 42 hello.wav -1"},
        {Written(MessagePlayedMethod(), 42), Call("messageplayed", {id}), "OnMessagePlayed 42"},
        {Written(EnableDtmfDetectionMethod(), 42, 1), Call("enabledtmfdetection", {id, Bool(1)}),
         "OnEnableDtmfDetection 42 true"},
        {Written(DtmfDigitReceivedMethod(), 42, '#'), Call("dtmfdigitdetected", {id, Int(35)}),
         "OnDtmfDigitReceived 42 #"},
        {Written(IncomingCallHandlingMethod(), "100", 1),
         Call("incomingcallhandling", {Str("100"), Bool(1)}), "OnIncomingCallHandling 100 true"},
        {Written(CallArrivedMethod(), 42, Address("sip:1@h"), Address("pbx:2"), 17),
         Call("process", {Struct({"From", Str("sip:1@h"), "To", Str("tel:2"), "Contact",
                                  Str("sip:1@h"), "OrigCallID", Str("17")}),
                          id}),
         "OnCallArrived 42 {kind=1 number=1 host=h} {kind=3 number=2} 17"},
        {Written(AuthenticateMethod(), "user", ""), Call("authenticate", {Str("user"), Str("")}),
         "OnAuthenticate user "},
        {Written(SubscribeMethod(), 77, "100"),
         Call("subscribe", {Str("77"), Int(1), Struct({"extension", Str("100")})}),
         "OnSubscribe 77 100"},
        {Written(UnsubscribeMethod(), 77), Call("unsubscribe", {Str("77")}), "OnUnsubscribe 77"},
        {Written(MailArrivedMethod(), 5, Address("sip:alice@host"), 1146747721, 12, 7),
         Call("mailarrived",
              {Str("5"), Struct({"From", Str("sip:alice@host"), "Time", V("dateTime.iso8601", when),
                                 "Duration", Int(12), "MailID", Int(7)})}),
         "OnMailArrived 5 {kind=1 number=alice host=host} " + std::string(when) + " 12 7"},
        {Written<&XmlRpcResponseMethod::SetId>(XmlRpcResponseMethod(kCallStateChanged), 42),
         Response({id}), "", kCallStateChanged},
        {Written(AuthenticateResponseMethod(), true, "welcome"),
         Response({Bool(1), Str("welcome")}), "OnAuthenticateResponse true welcome", kAuthenticate},
        {Written(SubscribeResponseMethod(), 77, true, 0), Response({Str("77"), Bool(1), Int(0)}),
         "OnSubscriptionConfirmed 77 true 0", kSubscribe},
        {Written<&Answer::BuildAccept>(Answer(), 42, "100", "Desk"),
         Response(
             {Struct({"action", Str("accept"), "callerid", Str("100"), "displayname", Str("Desk")}),
              id}),
         "OnCallAccepted 42 100 Desk", kProcess},
        {Written<&Answer::BuildRedirect>(Answer(), 42, std::vector{Address("Pbx:200")}, "", ""),
         Response({Struct({"action", Str("redirect"), "target", Array({Str("pbx:200")})}), id}),
         "OnCallRedirected 42 {kind=0 number=200}  ", kProcess},
        {Written<&Answer::BuildDecline>(Answer(), 42, "busy"),
         Response({Struct({"action", Str("decline"), "reason", Array({Str("busy")})}), id}),
         "OnCallDeclined 42", kProcess},
        {Written<&Answer::BuildDecline>(Answer(), 42, ""),
         Response({Struct({"action", Str("decline")}), id}), "OnCallDeclined 42", kProcess},
        {Written(FaultResponseMethod(kCloseCall), 4, "T"),
         Fault(Struct({"faultCode", Int(4), "faultString", Str("T")})), "OnRequestFailed 0 4 T",
         kCloseCall},
    };
}

}  // namespace voxtrel
