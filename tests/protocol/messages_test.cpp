// Protocol messages: the exact bytes of every written document, what documents read as, and the
// bounds that reading keeps.
#include <gtest/gtest.h>

#include <ctime>
#include <initializer_list>
#include <string>

#include "recording_client.h"
#include "small_stack.h"

namespace voxtrel {
namespace {

using Calls = std::vector<std::string>;
using Values = std::initializer_list<std::string>;
constexpr uint32_t kRequest = kReadAsRequest;

// The expected documents, built the way the writer lays them out: a line for each element that
// holds others, CR LF after each line and one more at the end.
std::string Join(std::string text, Values items, const char* before, const char* after) {
    for (const std::string& item : items)
        text += before + item + after;
    return text;
}
std::string V(const std::string& type, const std::string& text) {
    return "<value><" + type + ">" + text + "</" + type + "></value>";
}
const auto Str = [](const std::string& text) { return V("string", text); };
const auto Int = [](int32_t value) { return V("int", std::to_string(value)); };
const auto Bool = [](int value) { return V("boolean", std::to_string(value)); };
const auto Array = [](Values values) {
    return Join("<value><array><data>\r\n", values, "", "\r\n") + "</data></array></value>";
};
std::string Struct(std::initializer_list<std::pair<std::string, std::string>> members) {
    std::string text = "<value><struct>\r\n";
    for (const auto& [name, value] : members)
        text += "<member>\r\n<name>" + name + "</name>\r\n" + value + "\r\n</member>\r\n";
    return text + "</struct></value>";
}
const std::string kDecl = "<?xml version=\"1.0\"?>\r\n";
std::string Call(const std::string& method, Values values) {
    return Join(kDecl + "<methodCall>\r\n<methodName>Services.CallProcessingService." + method +
                    "</methodName>\r\n<params>\r\n",
                values, "<param>\r\n", "\r\n</param>\r\n") +
           "</params>\r\n</methodCall>\r\n\r\n";
}
std::string Response(Values values) {
    return Join(kDecl + "<methodResponse>\r\n<params>\r\n", values, "<param>\r\n",
                "\r\n</param>\r\n") +
           "</params>\r\n</methodResponse>\r\n\r\n";
}
std::string Fault(const std::string& faultStruct) {
    return kDecl + "<methodResponse>\r\n<fault>\r\n" + faultStruct +
           "\r\n</fault>\r\n</methodResponse>\r\n\r\n";
}

// The C library's own local-time text of a time, for comparison with what the mail notice writes.
std::string LocalText(time_t time) {
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&time));
    return text;
}

TEST(Golden, EveryWrittenDocumentAndWhatItReadsAs) {
    const std::string when = LocalText(1146747721);
    const std::string id = Str("42");
    const struct {
        const char* name;
        std::string bytes;
        Calls read;
    } golden[] = {
        {"createcall",
         Call("createcall", {Str("1234567890123"), Str("pbx:200"), Str("pbx:100")}),
         {"OnCreateCall 1234567890123 pbx:200 {kind=0 number=100}"}},
        {"closecall", Call("closecall", {id}), {"OnCloseCall 42"}},
        {"transfercall",
         Call("transfercall", {id, Str("tel:555")}),
         {"OnTransferCall 42 {kind=3 number=555}"}},
        {"joincalls", Call("joincalls", {id, Str("43")}), {"OnJoinCalls 42 43"}},
        {"unjoincalls", Call("unjoincalls", {id, Str("43")}), {"OnUnjoinCalls 42 43"}},
        {"callstatechanged", Call("callstatechanged", {id, Int(3)}), {"OnCallStateChanged 42 3"}},
        {"playmessage",
         Call("playmessage", {id, Str("hello.wav"), Int(-1)}),
         {"OnPlayMessage 42 hello.wav -1"}},
        {"messageplayed", Call("messageplayed", {id}), {"OnMessagePlayed 42"}},
        {"enabledtmfdetection",
         Call("enabledtmfdetection", {id, Bool(1)}),
         {"OnEnableDtmfDetection 42 true"}},
        {"dtmfdigitdetected",
         Call("dtmfdigitdetected", {id, Int(35)}),
         {"OnDtmfDigitReceived 42 #"}},
        {"incomingcallhandling",
         Call("incomingcallhandling", {Str("100"), Bool(1)}),
         {"OnIncomingCallHandling 100 true"}},
        {"process",
         Call("process", {Struct({{"From", Str("sip:1@h")},
                                  {"To", Str("tel:2")},
                                  {"Contact", Str("sip:1@h")},
                                  {"OrigCallID", Str("17")}}),
                          id}),
         {"OnCallArrived 42 {kind=1 number=1 host=h} {kind=3 number=2} 17"}},
        {"authenticate", Call("authenticate", {Str("user"), Str("")}), {"OnAuthenticate user "}},
        {"subscribe",
         Call("subscribe", {Str("77"), Int(1), Struct({{"extension", Str("100")}})}),
         {"OnSubscribe 77 100"}},
        {"unsubscribe", Call("unsubscribe", {Str("77")}), {"OnUnsubscribe 77"}},
        {"mailarrived",
         Call("mailarrived", {Str("5"), Struct({{"From", Str("sip:alice@host")},
                                                {"Time", V("dateTime.iso8601", when)},
                                                {"Duration", Int(12)},
                                                {"MailID", Int(7)}})}),
         {"OnMailArrived 5 {kind=1 number=alice host=host} " + when + " 12 7"}},
        {"ack", Response({id}), {}},
        {"authenticate answer",
         Response({Bool(1), Str("welcome")}),
         {"OnAuthenticateResponse true welcome"}},
        {"subscribe answer",
         Response({Str("77"), Bool(1), Int(0)}),
         {"OnSubscriptionConfirmed 77 true 0"}},
        {"accept",
         Response({Struct({{"action", Str("accept")},
                           {"callerid", Str("100")},
                           {"displayname", Str("Desk")}}),
                   id}),
         {"OnCallAccepted 42 100 Desk"}},
        {"redirect",
         Response({Struct({{"action", Str("redirect")}, {"target", Array({Str("pbx:200")})}}), id}),
         {"OnCallRedirected 42 {kind=0 number=200}  "}},
        {"decline",
         Response({Struct({{"action", Str("decline")}, {"reason", Array({Str("busy")})}}), id}),
         {"OnCallDeclined 42"}},
        {"plain decline",
         Response({Struct({{"action", Str("decline")}}), id}),
         {"OnCallDeclined 42"}},
        {"fault",
         Fault(Struct({{"faultCode", Int(4)}, {"faultString", Str("T")}})),
         {"OnRequestFailed 0 4 T"}},
    };
    const std::vector<Sample> samples = WrittenSamples();
    ASSERT_EQ(samples.size(), std::size(golden));
    for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_STREQ(samples[i].name, golden[i].name);
        EXPECT_EQ(samples[i].document, golden[i].bytes) << golden[i].name;
        EXPECT_EQ(ReadAndDispatch(samples[i].answerTo, samples[i].document), golden[i].read)
            << golden[i].name;
    }
}

TEST(Writing, MissingFieldsAppendNothingAndSettersFollowTheirRules) {
    std::string out;
    EXPECT_FALSE(CreateCallMethod().Write(out) || CloseCallMethod().Write(out) ||
                 JoinCallsMethod().Write(out) || PlayMessageMethod().Write(out) ||
                 AuthenticateMethod().Write(out) || AuthenticateResponseMethod().Write(out) ||
                 SubscribeResponseMethod().Write(out) || FaultResponseMethod(0).Write(out) ||
                 MailArrivedMethod().Write(out) || XmlRpcResponseMethod(1).Write(out) ||
                 CallArrivedResponseMethod().Write(out));  // the router's empty offer answer
    EXPECT_TRUE(out.empty());

    FaultResponseMethod fault(kCloseCall);
    fault.SetParams(-1, "");
    CallArrivedResponseMethod redirect;
    redirect.BuildRedirect(42, {}, "", "");
    SubscribeMethod subscribe;
    subscribe.SetParams(1, "");
    subscribe.SetParams(2, "200");
    // Flags are on for 1 alone; optional members are left out when empty or zero.
    const std::pair<std::string, std::string> cases[] = {
        {Written<EnableDtmfDetectionMethod>(1, 0),
         Call("enabledtmfdetection", {Str("1"), Bool(0)})},
        {Written<EnableDtmfDetectionMethod>(1, 2),
         Call("enabledtmfdetection", {Str("1"), Bool(0)})},
        {Written<EnableDtmfDetectionMethod>(1, -1),
         Call("enabledtmfdetection", {Str("1"), Bool(0)})},
        {Written<IncomingCallHandlingMethod>("1", 2),
         Call("incomingcallhandling", {Str("1"), Bool(0)})},
        {Written<DtmfDigitReceivedMethod>(3, '\xE9'),
         Call("dtmfdigitdetected", {Str("3"), Int(-23)})},
        {Written(fault), Fault(Struct({{"faultCode", Int(-1)}}))},
        {Written(redirect), Response({Struct({{"action", Str("redirect")}}), Str("42")})},
        {Written(subscribe),
         Call("subscribe", {Str("2"), Int(1), Struct({{"extension", Str("200")}})})},
        {Written<CallArrivedMethod>(9, Address("sip:1@h:5060"), Address("pbx:2"), 0),
         Call(
             "process",
             {Struct({{"From", Str("sip:1@h")}, {"To", Str("tel:2")}, {"Contact", Str("sip:1@h")}}),
              Str("9")})},
    };
    for (const auto& [written, expected] : cases)
        EXPECT_EQ(written, expected);

    // A redirect target that does not format is left out; a sip address without a user sets no
    // address param.
    PartyAddress noUser{"", "", "", "", "", kPartySip};
    redirect.BuildRedirect(42, {Address("pbx:1"), noUser}, "id", "name");
    EXPECT_EQ(ReadAndDispatch(kProcess, Written(redirect)),
              Calls{"OnCallRedirected 42 {kind=0 number=1} id name"});
    CreateCallMethod create;
    EXPECT_FALSE(create.SetParams(5, "from", noUser));
    EXPECT_FALSE(create.from || create.to);
    TransferCallMethod transfer;
    EXPECT_FALSE(transfer.SetParams(5, noUser));
    EXPECT_FALSE(transfer.idParam);
}

TEST(Ids, WrittenInDecimalAndReadDigitByDigit) {
    EXPECT_EQ(FormatId(0), "0");
    EXPECT_EQ(FormatId(18446744073709551615u), "18446744073709551615");
    EXPECT_EQ(MethodName(kMethodCount), nullptr);
    const std::pair<const char*, uint64_t> ids[] = {
        {"", 0},
        {"12345", 12345},
        {"007", 7},
        {"18446744073709551615", 18446744073709551615u},
        {"18446744073709551616", 0},  // wraps
        {"1a", 10 + ('a' - '0')},     // unvalidated
        {" 1", uint64_t(' ' - '0') * 10 + 1},
        {"\xE9", uint64_t(int64_t(-23) - '0')},  // a signed byte
    };
    for (const auto& [text, id] : ids)
        EXPECT_EQ(ParseId(text), id) << text;
}

// Documents as they come from the service: what each request reads as.
TEST(Reading, Requests) {
    const std::string one = Str("1"), file = Str("a.wav"), ext = Str("100");
    const std::string from = Str("sip:1@h"), to = Str("pbx:2");
    const std::pair<std::string, Calls> cases[] = {
        // Names: letter case is ignored, nothing else.
        {"<METHODCALL><MethodName>services.CALLPROCESSINGSERVICE.CloseCall</MethodName><Params>"
         "<PARAM><VALUE><STRING>9</STRING></VALUE></PARAM></Params></METHODCALL>",
         {"OnCloseCall 9"}},
        {"<methodCall><methodName> Services.CallProcessingService.closecall</methodName><params>"
         "<param><value><string>1</string></value></param></params></methodCall>",
         {"unread"}},
        {Call("close", {one}), {"unread"}},
        {Call("closecalls", {one}), {"unread"}},
        {Call("", {one}), {"unread"}},
        {"<methodCall><methodName>Services.CallProcessingService.closecall</methodName>"
         "</methodCall>",
         {"unread"}},
        {"<methodResponse><params/></methodResponse>", {"unread"}},
        {"", {"unread"}},
        // Param counts and types.
        {Call("callstatechanged", {one, Int(3), Int(4)}), {"unread"}},
        {Call("callstatechanged", {one, Str("3")}), {"unread"}},
        {Call("messageplayed", {one, one}), {"unread"}},
        {Call("closecall", {"<value>1</value>"}), {"unread"}},
        {Call("joincalls", {one}), {"unread"}},
        {Call("incomingcallhandling", {one, Bool(1), one}), {"unread"}},
        {Call("process", {one, Struct({})}), {"unread"}},
        {Call("createcall", {one, one, ext}), {}},  // no prefix: not an address
        {Call("dtmfdigitdetected", {one, Int(309)}), {"OnDtmfDigitReceived 1 5"}},
        // Optional last params: another type is passed over, a further param is not.
        {Call("playmessage", {one, file, V("i4", "3")}), {"OnPlayMessage 1 a.wav 3"}},
        {Call("playmessage", {one, file, Str("3")}), {"OnPlayMessage 1 a.wav -1"}},
        {Call("playmessage", {one, file, Struct({{"x", one}}), Int(3)}), {"unread"}},
        {Call("playmessage", {one, file, Int(3), Int(4)}), {"unread"}},
        {Call("subscribe", {one, Int(1), Struct({{"EXTENSION", ext}})}), {"OnSubscribe 1 100"}},
        {Call("subscribe", {one, Int(1)}), {}},
        {Call("subscribe", {one, Int(2), Struct({{"extension", ext}})}), {}},
        {Call("subscribe", {one, Int(1), Struct({{"extension", Int(100)}})}), {}},
        {Call("subscribe", {one, Int(1), Struct({{"extension", ext}}), one}), {"unread"}},
        // Offers: both parties must read; the original call is a string member.
        {Call("process", {Struct({{"From", from}, {"To", to}}), one}),
         {"OnCallArrived 1 {kind=1 number=1 host=h} {kind=0 number=2} 0"}},
        {Call("process", {Struct({{"From", from}, {"To", to}, {"origcallid", Str("17")}}), one}),
         {"OnCallArrived 1 {kind=1 number=1 host=h} {kind=0 number=2} 17"}},
        {Call("process", {Struct({{"From", from}, {"To", to}, {"OrigCallID", Int(17)}}), one}),
         {"OnCallArrived 1 {kind=1 number=1 host=h} {kind=0 number=2} 0"}},
        {Call("process", {Struct({{"To", to}}), one}), {}},
        {Call("process", {Struct({{"From", Str("sip:1")}, {"To", to}}), one}), {}},
        {Call("process", {Struct({{"From", from}, {"To", Str("2")}}), one}), {}},
    };
    for (const auto& [text, calls] : cases)
        EXPECT_EQ(ReadAndDispatch(kRequest, text), calls) << text;
}

TEST(Reading, AnOptionalLastParamThatDoesNotReadIsReadPastToItsEnd) {
    const std::string one = Str("1"), file = Str("a.wav");
    for (const char* third : {
             "<value>5</value>",
             "<value></value>",
             "<value><nil/></value>",
             "<value><struct><member><value><int>1</int></value></member></struct></value>",
             "<value><struct><member><name>x</name><value><nil/></value></member></struct></value>",
             "<value><array><value><int>1</int></value></array></value>",
             "<value><array></array></value>",
         }) {
        EXPECT_EQ(ReadAndDispatch(kRequest, Call("playmessage", {one, file, third})),
                  Calls{"OnPlayMessage 1 a.wav -1"})
            << third;
        EXPECT_EQ(ReadAndDispatch(kRequest, Call("playmessage", {one, file, third, one})),
                  Calls{"unread"})
            << third;
        EXPECT_EQ(ReadAndDispatch(kRequest, Call("subscribe", {one, Int(1), third})), Calls{})
            << third;
        EXPECT_EQ(ReadAndDispatch(kRequest, Call("subscribe", {one, Int(1), third, one})),
                  Calls{"unread"})
            << third;
    }
}

// Answers as they come from the service: what each reads as, given the request it answers.
TEST(Reading, Answers) {
    const std::string one = Str("1"), id = Str("42"), ok = Str("welcome");
    const auto action = [](const char* name) { return std::pair{"action", Str(name)}; };
    const std::pair<std::string, std::string> decline = action("decline");
    const std::pair<std::string, std::string> taker = {
        "target",
        Array({Str("sip:100@host;actor=\"msg-taker\""), Int(5), Str("actor=\"msg-taker\"pbx:3")})};
    const struct {
        uint32_t answerTo;
        std::string text;
        Calls calls;
    } cases[] = {
        // A plain answer needs a string first param and reads nothing more.
        {kCloseCall, Response({one, Str("2")}), {}},
        {kCloseCall, Response({Bool(1)}), {"unread"}},
        {kCloseCall, Response({Int(1)}), {"unread"}},
        {kCloseCall, Response({}), {"unread"}},
        {kCloseCall, "<methodResponse><other/></methodResponse>", {"unread"}},
        {kAuthenticate, Response({Bool(0), ok}), {"OnAuthenticateResponse false welcome"}},
        {kAuthenticate, Response({Bool(1), ok, Int(5)}), {"OnAuthenticateResponse true welcome"}},
        // Swapped params read as a fault answer without a struct, which reports nothing.
        {kAuthenticate, Response({ok, Bool(1)}), {}},
        {kAuthenticate, Response({Bool(1)}), {"unread"}},
        {kSubscribe,
         Response({Str("77"), Bool(0), Int(3)}),
         {"OnSubscriptionConfirmed 77 false 3"}},
        {kSubscribe, Response({Str("77")}), {}},
        {kSubscribe, Response({Int(77)}), {"unread"}},
        // Faults: member names in any letter case, an i4 code, no text.
        {kUnjoinCalls, Fault(Struct({{"FAULTCODE", Int(-1)}})), {"OnRequestFailed 0 -1 "}},
        {kUnjoinCalls,
         Fault(Struct({{"x", Int(1)}, {"FaultString", Str("no")}, {"faultCode", V("i4", "9")}})),
         {"OnRequestFailed 0 9 no"}},
        {kUnjoinCalls, Fault(Struct({{"faultCode", Str("4")}})), {}},
        {kUnjoinCalls, Fault(Str("x")), {"unread"}},
        // Offer answers.
        {kProcess,
         Response({Struct({action("ACCEPT"), {"callerid", Str("100")}}), id}),
         {"OnCallAccepted 42 100 "}},
        {kProcess, Response({Struct({action("hold")}), id}), {"OnCallAccepted 42  "}},
        {kProcess, Response({Struct({decline, {"CallID", Str("9")}})}), {"OnCallDeclined 9"}},
        {kProcess,
         Response({Struct({action("redirect"), taker}), id}),
         {"OnCallRedirected 42 {kind=2147483649 number=100 host=host} "
          "{kind=2147483648 number=3}  "}},
        {kProcess,
         Response({Struct({action("redirect"), {"target", Array({Str("no")})}}), id}),
         {"OnCallAccepted 42  "}},
        {kProcess, Response({Struct({action("accept")}), Int(42)}), {"unread"}},
        // An untyped or nil second param is passed over; the id then comes from "CallID" alone.
        {kProcess, Response({Struct({decline}), "<value>42</value>"}), {"OnCallDeclined 0"}},
        {kProcess, Response({Struct({decline}), "<value><nil/></value>"}), {"OnCallDeclined 0"}},
        {kProcess, Response({Struct({decline}), "<value></value>"}), {"OnCallDeclined 0"}},
        {kProcess,
         Response({Struct({decline, {"CallID", Str("9")}}), "<value><nil/></value>"}),
         {"OnCallDeclined 9"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadAndDispatch(c.answerTo, c.text), c.calls) << c.text;

    // A fault reads as such whatever the request, with its type, and its id is the one set.
    auto fault = SubscribeMethod().ParseResponse(Fault(Struct({{"faultCode", Int(2)}})));
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->methodType, kSubscribe);
    fault->SetId(55);
    RecordingClient client;
    fault->Dispatch(client);
    EXPECT_EQ(client.calls, Calls{"OnRequestFailed 55 2 "});
}

TEST(Reading, DeclineReasonIsTheFirstTextOfItsList) {
    const std::pair<std::string, std::string> reasons[] = {
        {Str("busy"), "busy"},
        {V("dateTime.iso8601", "20060504T13:02:01"), "20060504T13:02:01"},
        {V("base64", "YnVzeQ=="), "YnVzeQ=="},
        {V("double", "1.5"), ""},
        {Int(1), ""},
    };
    for (const auto& [value, text] : reasons) {
        CallArrivedResponseMethod read;
        ASSERT_TRUE(read.ReadDocument(
            Response({Struct({{"action", Str("decline")}, {"reason", Array({value, Str("x")})}}),
                      Str("43")})));
        EXPECT_EQ(read.actionCode, kActionDecline);
        EXPECT_EQ(read.reason, text) << value;
        EXPECT_EQ(read.GetId(), 43u);
    }
}

TEST(Reading, TheMessageTakerMarkerGoesWithTheCharacterBeforeIt) {
    const std::pair<std::string, std::string> targets[] = {
        {"pbx:3;actor=\"msg-taker\";x", "pbx:3;x"},
        {"sip:1@h;actor=\"msg-taker\"", "sip:1@h"},
        {"actor=\"msg-taker\"pbx:3", "pbx:3"},
    };
    for (auto [text, left] : targets) {
        EXPECT_TRUE(TakeMessageTakerMarker(text));
        EXPECT_EQ(text, left);
    }
    std::string plain = "pbx:3;actor=msg-taker";
    EXPECT_FALSE(TakeMessageTakerMarker(plain));
    EXPECT_EQ(plain, "pbx:3;actor=msg-taker");
}

std::string Repeat(const std::string& piece, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

TEST(Reading, DocumentsBeyondTheBoundsAreDroppedOnAWorkerStack) {
    const std::string id = Str("1"), file = Str("a.wav");
    std::string wideParam = "<param";
    for (int i = 0; i < 65; ++i)
        wideParam += " a" + std::to_string(i) + "=''";
    std::string wide = Call("closecall", {id});
    wide.replace(wide.find("<param>"), 7, wideParam + ">");
    const std::pair<uint32_t, std::string> documents[] = {
        // Element nesting: start tags alone nest, end tags being optional.
        {kRequest, Call("callstatechanged", {Repeat("<value><array><data>", 10000), Int(1)})},
        {kRequest, Call("playmessage", {id, file, Repeat("<value><array><data>", 30)})},
        // Value nesting through empty-element tags, which nest no elements.
        {kRequest,
         Call("playmessage", {id, file,
                              "<value><array><data>" + Repeat("<value/><array/><data/>", 10000) +
                                  "</data></array></value>"})},
        {kRequest,
         Call("subscribe",
              {id, Int(1),
               "<value><struct>" + Repeat("<member/><name>m</name><value/><struct/>", 10000) +
                   "</struct></value>"})},
        // A tag with more attributes than the bound.
        {kRequest, wide},
        // As answers too: the first param is all that a plain answer reads.
        {kCloseCall, Response({Repeat("<value><array><data>", 10000)})},
        {kCloseCall, Response({"<value><array><data>" + Repeat("<value/><array/><data/>", 10000)})},
    };
    for (const auto& [answerTo, text] : documents) {
        Calls calls;
        ASSERT_TRUE(test::RunOnSmallStack([&] { calls = ReadAndDispatch(answerTo, text); }));
        EXPECT_EQ(calls, Calls{"unread"}) << text.substr(0, 160);
    }
}

}  // namespace
}  // namespace voxtrel
