// Protocol messages: exact written bytes, reading rules, answers and dispatch.
#include <gtest/gtest.h>

#include <ctime>
#include <initializer_list>
#include <string>

#include "protocol/authenticate.h"
#include "protocol/call_control.h"
#include "protocol/call_notifications.h"
#include "protocol/call_offer.h"
#include "protocol/fault_response.h"
#include "protocol/mail_arrived.h"
#include "protocol/subscription.h"
#include "recording_client.h"
#include "small_stack.h"

namespace voxtrel {
namespace {

using Calls = std::vector<std::string>;

// A document from its lines: each ends with CR LF, and one more CR LF ends the message.
std::string Doc(std::initializer_list<const char*> lines) {
    std::string text;
    for (const char* line : lines)
        text += std::string(line) + "\r\n";
    return text + "\r\n";
}

std::string Written(const XmlRpcMethod& message) {
    std::string out;
    EXPECT_TRUE(message.Write(out));
    return out;
}

PartyAddress Address(const char* text) {
    PartyAddress a;
    ResetPartyAddress(a);
    EXPECT_TRUE(ParsePartyAddress(text, a)) << text;
    return a;
}

// Parses a request and dispatches it; the calls it made, or {"unread"}.
Calls DispatchRequest(const std::string& text) {
    auto request = ParseRequest(text);
    if (!request) return {"unread"};
    RecordingClient client;
    request->Dispatch(client);
    return client.calls;
}

// Reads text as the answer to request, dispatches it; {"unread"} when it does not read.
Calls DispatchAnswer(const XmlRpcRequestMethod& request, const std::string& text) {
    auto answer = request.ParseResponse(text);
    if (!answer) return {"unread"};
    RecordingClient client;
    answer->Dispatch(client);
    return client.calls;
}

const char* const kDecl = "<?xml version=\"1.0\"?>";

// A request document with the given method (short name) and param value lines.
std::string Call(const char* method, std::initializer_list<const char*> values) {
    std::string text = std::string(kDecl) + "\r\n<methodCall>\r\n<methodName>" +
                       "Services.CallProcessingService." + method + "</methodName>\r\n<params>\r\n";
    for (const char* v : values)
        text += std::string("<param>\r\n") + v + "\r\n</param>\r\n";
    return text + "</params>\r\n</methodCall>\r\n\r\n";
}

std::string Response(std::initializer_list<const char*> values) {
    std::string text = std::string(kDecl) + "\r\n<methodResponse>\r\n<params>\r\n";
    for (const char* v : values)
        text += std::string("<param>\r\n") + v + "\r\n</param>\r\n";
    return text + "</params>\r\n</methodResponse>\r\n\r\n";
}

std::string Fault(const char* members) {
    return std::string(kDecl) + "\r\n<methodResponse>\r\n<fault>\r\n<value><struct>" + members +
           "</struct></value>\r\n</fault>\r\n</methodResponse>\r\n\r\n";
}

TEST(MethodTable, NamesAndIds) {
    EXPECT_STREQ(MethodName(kCreateCall), "Services.CallProcessingService.createcall");
    EXPECT_STREQ(MethodName(kProcess), "Services.CallProcessingService.process");
    EXPECT_STREQ(MethodName(kMailArrived), "Services.CallProcessingService.mailarrived");
    EXPECT_EQ(MethodName(16), nullptr);
    for (uint32_t code = 0; code < kMethodCount; ++code) {
        auto request = CreateRequest(MethodName(code));
        ASSERT_TRUE(request) << code;
        EXPECT_EQ(request->methodType, code);
        EXPECT_EQ(request->isRequest, 1u);
        EXPECT_EQ(request->GetId(), 0u);
    }
    EXPECT_TRUE(CreateRequest("SERVICES.CALLPROCESSINGSERVICE.CLOSECALL"));
    EXPECT_FALSE(CreateRequest(" Services.CallProcessingService.closecall"));
    EXPECT_FALSE(CreateRequest("Services.CallProcessingService.close"));
    EXPECT_FALSE(CreateRequest("Services.CallProcessingService.closecalls"));
    EXPECT_FALSE(CreateRequest(""));
}

TEST(Ids, WrittenInDecimalAndReadDigitByDigit) {
    EXPECT_EQ(FormatId(0), "0");
    EXPECT_EQ(FormatId(18446744073709551615u), "18446744073709551615");
    EXPECT_EQ(ParseId(""), 0u);
    EXPECT_EQ(ParseId("12345"), 12345u);
    EXPECT_EQ(ParseId("007"), 7u);
    EXPECT_EQ(ParseId("18446744073709551615"), 18446744073709551615u);
    EXPECT_EQ(ParseId("18446744073709551616"), 0u);  // wraps
    EXPECT_EQ(ParseId("1a"), 10u + ('a' - '0'));     // unvalidated
    EXPECT_EQ(ParseId(" 1"), uint64_t(' ' - '0') * 10 + 1);
    EXPECT_EQ(ParseId("\xE9"), uint64_t(int64_t(-23) - '0'));  // a signed byte
}

TEST(Golden, CloseCallAndItsAcknowledgement) {
    CloseCallMethod close;
    close.SetParams(42);
    EXPECT_EQ(Written(close),
              Doc({kDecl, "<methodCall>",
                   "<methodName>Services.CallProcessingService.closecall</methodName>", "<params>",
                   "<param>", "<value><string>42</string></value>", "</param>", "</params>",
                   "</methodCall>"}));
    auto ack = close.CreateResponse(false);
    ack->SetId(close.GetId());
    EXPECT_EQ(Written(*ack), Doc({kDecl, "<methodResponse>", "<params>", "<param>",
                                  "<value><string>42</string></value>", "</param>", "</params>",
                                  "</methodResponse>"}));
}

TEST(Golden, CreateCall) {
    CreateCallMethod create;
    ASSERT_TRUE(create.SetParams(1234567890123u, "pbx:200", Address("PBX:100")));
    EXPECT_EQ(
        Written(create),
        Doc({kDecl, "<methodCall>",
             "<methodName>Services.CallProcessingService.createcall</methodName>", "<params>",
             "<param>", "<value><string>1234567890123</string></value>", "</param>", "<param>",
             "<value><string>pbx:200</string></value>", "</param>", "<param>",
             "<value><string>pbx:100</string></value>", "</param>", "</params>", "</methodCall>"}));
}

TEST(Golden, Authenticate) {
    AuthenticateMethod auth;
    auth.SetParams("", "");
    EXPECT_EQ(Written(auth),
              Doc({kDecl, "<methodCall>",
                   "<methodName>Services.CallProcessingService.authenticate</methodName>",
                   "<params>", "<param>", "<value><string></string></value>", "</param>", "<param>",
                   "<value><string></string></value>", "</param>", "</params>", "</methodCall>"}));
    AuthenticateResponseMethod answer;
    answer.SetParams(true, "OK");
    EXPECT_EQ(Written(answer), Response({"<value><boolean>1</boolean></value>",
                                         "<value><string>OK</string></value>"}));
}

TEST(Golden, Subscribe) {
    SubscribeMethod subscribe;
    subscribe.SetParams(77, "100");
    EXPECT_EQ(Written(subscribe),
              Doc({kDecl,
                   "<methodCall>",
                   "<methodName>Services.CallProcessingService.subscribe</methodName>",
                   "<params>",
                   "<param>",
                   "<value><string>77</string></value>",
                   "</param>",
                   "<param>",
                   "<value><int>1</int></value>",
                   "</param>",
                   "<param>",
                   "<value><struct>",
                   "<member>",
                   "<name>extension</name>",
                   "<value><string>100</string></value>",
                   "</member>",
                   "</struct></value>",
                   "</param>",
                   "</params>",
                   "</methodCall>"}));
    SubscribeResponseMethod answer;
    answer.SetParams(77, true, 0);
    EXPECT_EQ(Written(answer),
              Response({"<value><string>77</string></value>", "<value><boolean>1</boolean></value>",
                        "<value><int>0</int></value>"}));
}

TEST(Golden, CallStateChangedAndItsAcknowledgement) {
    std::string notice =
        Doc({kDecl, "<methodCall>",
             "<methodName>Services.CallProcessingService.callstatechanged</methodName>", "<params>",
             "<param>", "<value><string>42</string></value>", "</param>", "<param>",
             "<value><int>3</int></value>", "</param>", "</params>", "</methodCall>"});
    CallStateChangedMethod built;
    built.SetParams(42, 3);
    EXPECT_EQ(Written(built), notice);

    auto request = ParseRequest(notice);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->methodType, kCallStateChanged);
    auto ack = request->CreateResponse(false);
    ack->SetId(request->GetId());
    EXPECT_EQ(ack->methodType, kCallStateChanged);
    EXPECT_EQ(Written(*ack), Response({"<value><string>42</string></value>"}));
    EXPECT_EQ(DispatchRequest(notice), (Calls{"OnCallStateChanged 42 3"}));
}

TEST(Golden, CallOfferAnswers) {
    CallArrivedResponseMethod accept;
    accept.BuildAccept(42, "100", "Desk");
    EXPECT_EQ(Written(accept), Doc({kDecl,
                                    "<methodResponse>",
                                    "<params>",
                                    "<param>",
                                    "<value><struct>",
                                    "<member>",
                                    "<name>action</name>",
                                    "<value><string>accept</string></value>",
                                    "</member>",
                                    "<member>",
                                    "<name>callerid</name>",
                                    "<value><string>100</string></value>",
                                    "</member>",
                                    "<member>",
                                    "<name>displayname</name>",
                                    "<value><string>Desk</string></value>",
                                    "</member>",
                                    "</struct></value>",
                                    "</param>",
                                    "<param>",
                                    "<value><string>42</string></value>",
                                    "</param>",
                                    "</params>",
                                    "</methodResponse>"}));

    CallArrivedResponseMethod decline;
    decline.BuildDecline(42, "");
    EXPECT_EQ(Written(decline), Response({"<value><struct>\r\n<member>\r\n<name>action</name>\r\n"
                                          "<value><string>decline</string></value>\r\n</member>\r\n"
                                          "</struct></value>",
                                          "<value><string>42</string></value>"}));

    CallArrivedResponseMethod redirect;
    redirect.BuildRedirect(42, {Address("Pbx:200")}, "", "");
    EXPECT_EQ(Written(redirect),
              Response({"<value><struct>\r\n<member>\r\n<name>action</name>\r\n"
                        "<value><string>redirect</string></value>\r\n</member>\r\n<member>\r\n"
                        "<name>target</name>\r\n<value><array><data>\r\n"
                        "<value><string>pbx:200</string></value>\r\n</data></array></value>\r\n"
                        "</member>\r\n</struct></value>",
                        "<value><string>42</string></value>"}));
}

TEST(Golden, FaultAnswer) {
    FaultResponseMethod fault(kCloseCall);
    fault.SetParams(4, "T");
    std::string text = Written(fault);
    EXPECT_EQ(text, Fault("\r\n<member>\r\n<name>faultCode</name>\r\n<value><int>4</int></value>"
                          "\r\n</member>\r\n<member>\r\n<name>faultString</name>\r\n"
                          "<value><string>T</string></value>\r\n</member>\r\n"));
    CloseCallMethod close;
    close.SetParams(42);
    EXPECT_EQ(DispatchAnswer(close, text), (Calls{"OnRequestFailed 0 4 T"}));
}

// The C library's own local-time text of a time, for comparison with what the setter writes.
std::string LocalText(time_t time) {
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&time));
    return text;
}

TEST(Golden, MailArrived) {
    const time_t left = 1146747721;
    std::string when = LocalText(left);
    MailArrivedMethod mail;
    ASSERT_TRUE(mail.SetParams(5, Address("sip:alice@host"), static_cast<int32_t>(left), 12, 7));
    std::string data =
        "<value><struct>\r\n<member>\r\n<name>From</name>\r\n"
        "<value><string>sip:alice@host</string></value>\r\n</member>\r\n"
        "<member>\r\n<name>Time</name>\r\n<value><dateTime.iso8601>" +
        when +
        "</dateTime.iso8601></value>\r\n</member>\r\n<member>\r\n"
        "<name>Duration</name>\r\n<value><int>12</int></value>\r\n</member>\r\n"
        "<member>\r\n<name>MailID</name>\r\n<value><int>7</int></value>\r\n"
        "</member>\r\n</struct></value>";
    EXPECT_EQ(Written(mail),
              Call("mailarrived", {"<value><string>5</string></value>", data.c_str()}));
    EXPECT_EQ(DispatchRequest(Written(mail)),
              (Calls{"OnMailArrived 5 {kind=1 number=alice host=host} " + when + " 12 7"}));
    EXPECT_EQ(FormatLocalTime(0).size(), 19u);
}

TEST(Writing, RequiredFieldsMissingAppendNothing) {
    std::string out;
    EXPECT_FALSE(CreateCallMethod().Write(out));
    EXPECT_FALSE(CloseCallMethod().Write(out));
    EXPECT_FALSE(JoinCallsMethod().Write(out));
    EXPECT_FALSE(PlayMessageMethod().Write(out));
    EXPECT_FALSE(AuthenticateMethod().Write(out));
    EXPECT_FALSE(AuthenticateResponseMethod().Write(out));
    EXPECT_FALSE(SubscribeResponseMethod().Write(out));
    EXPECT_FALSE(FaultResponseMethod(0).Write(out));
    EXPECT_FALSE(CallArrivedResponseMethod().Write(out));  // the router's empty offer answer
    EXPECT_FALSE(MailArrivedMethod().Write(out));
    EXPECT_FALSE(XmlRpcResponseMethod(1).Write(out));
    EXPECT_TRUE(out.empty());
}

TEST(Writing, EveryMessageEndsWithOneTerminator) {
    CreateCallMethod create;
    create.SetParams(1, "a", Address("tel:1"));
    PlayMessageMethod play;
    play.SetParams(1, "f.wav", -1);
    CallArrivedMethod offer;
    offer.SetParams(9, Address("sip:1@h"), Address("pbx:2"), 3);
    FaultResponseMethod fault(3);
    fault.SetParams(-1, "");
    for (const XmlRpcMethod* m :
         std::initializer_list<const XmlRpcMethod*>{&create, &play, &offer, &fault}) {
        std::string text = Written(*m);
        EXPECT_EQ(text.find("\r\n\r\n"), text.size() - 4);
    }
    EXPECT_NE(Written(play).find("<value><int>-1</int></value>"), std::string::npos);
}

TEST(Writing, SettersFollowTheFlagAndAddressRules) {
    EnableDtmfDetectionMethod dtmf;
    for (int32_t flag : {0, 2, -1}) {
        dtmf.SetParams(1, flag);
        EXPECT_FALSE(dtmf.onoff->value) << flag;
    }
    dtmf.SetParams(1, 1);
    EXPECT_TRUE(dtmf.onoff->value);

    IncomingCallHandlingMethod handling;
    handling.SetParams("100", -1);
    EXPECT_FALSE(handling.enable->value);
    handling.SetParams("100", 1);
    EXPECT_TRUE(handling.enable->value);

    CreateCallMethod create;
    PartyAddress noUser;
    ResetPartyAddress(noUser);
    noUser.kind = kPartySip;
    EXPECT_FALSE(create.SetParams(5, "from", noUser));
    EXPECT_FALSE(create.from);
    EXPECT_FALSE(create.to);

    TransferCallMethod transfer;
    EXPECT_FALSE(transfer.SetParams(5, noUser));
    EXPECT_FALSE(transfer.idParam);

    DtmfDigitReceivedMethod digit;
    digit.SetParams(3, '#');
    EXPECT_EQ(digit.dataParam->value, 35);
    digit.SetParams(3, '\xE9');
    EXPECT_EQ(digit.dataParam->value, -23);

    SubscribeMethod subscribe;
    subscribe.SetParams(1, "");
    subscribe.SetParams(2, "200");
    ASSERT_EQ(subscribe.subscriptionData->members.size(), 1u);
    EXPECT_EQ(subscribe.GetId(), 2u);
}

TEST(Reading, NamesIgnoreLetterCase) {
    std::string text =
        "<?xml version=\"1.0\"?><METHODCALL><MethodName>SERVICES.CALLPROCESSINGSERVICE.CLOSECALL"
        "</MethodName><Params><PARAM><VALUE><STRING>9</STRING></VALUE></PARAM></Params>"
        "</METHODCALL>";
    EXPECT_EQ(DispatchRequest(text), (Calls{"OnCloseCall 9"}));
}

TEST(Reading, RequestsThatDoNotRead) {
    // White space around the method name, unknown names, a missing params element.
    EXPECT_EQ(DispatchRequest("<methodCall><methodName> Services.CallProcessingService.closecall"
                              "</methodName><params></params></methodCall>"),
              Calls{"unread"});
    EXPECT_EQ(DispatchRequest(Call("hold", {"<value><string>1</string></value>"})),
              Calls{"unread"});
    EXPECT_EQ(DispatchRequest("<methodCall><methodName>Services.CallProcessingService.closecall"
                              "</methodName></methodCall>"),
              Calls{"unread"});
    EXPECT_EQ(DispatchRequest("<methodResponse><params/></methodResponse>"), Calls{"unread"});
    EXPECT_EQ(DispatchRequest(""), Calls{"unread"});
    // Param counts and types.
    EXPECT_EQ(DispatchRequest(Call("callstatechanged",
                                   {"<value><string>1</string></value>",
                                    "<value><int>3</int></value>", "<value><int>4</int></value>"})),
              Calls{"unread"});
    EXPECT_EQ(DispatchRequest(Call("callstatechanged", {"<value><string>1</string></value>",
                                                        "<value><string>3</string></value>"})),
              Calls{"unread"});
    EXPECT_EQ(DispatchRequest(Call("messageplayed", {"<value><string>1</string></value>",
                                                     "<value><string>2</string></value>"})),
              Calls{"unread"});
    EXPECT_EQ(DispatchRequest(Call("closecall", {"<value>1</value>"})), Calls{"unread"});
    EXPECT_EQ(DispatchRequest(Call("joincalls", {"<value><string>1</string></value>"})),
              Calls{"unread"});
    EXPECT_EQ(DispatchRequest(Call("incomingcallhandling", {"<value><string>1</string></value>",
                                                            "<value><boolean>1</boolean></value>",
                                                            "<value><string>x</string></value>"})),
              Calls{"unread"});
    // The offer's struct must come first.
    EXPECT_EQ(DispatchRequest(Call("process", {"<value><string>1</string></value>",
                                               "<value><struct></struct></value>"})),
              Calls{"unread"});
}

TEST(Reading, OptionalLastParams) {
    EXPECT_EQ(DispatchRequest(Call("playmessage", {"<value><string>1</string></value>",
                                                   "<value><string>a.wav</string></value>"})),
              Calls{"OnPlayMessage 1 a.wav -1"});
    EXPECT_EQ(DispatchRequest(Call("playmessage", {"<value><string>1</string></value>",
                                                   "<value><string>a.wav</string></value>",
                                                   "<value><i4>3</i4></value>"})),
              Calls{"OnPlayMessage 1 a.wav 3"});
    // Another type is discarded; a fourth param is rejected.
    EXPECT_EQ(DispatchRequest(Call("playmessage", {"<value><string>1</string></value>",
                                                   "<value><string>a.wav</string></value>",
                                                   "<value><string>3</string></value>"})),
              Calls{"OnPlayMessage 1 a.wav -1"});
    EXPECT_EQ(DispatchRequest(Call("playmessage", {"<value><string>1</string></value>",
                                                   "<value><string>a.wav</string></value>",
                                                   "<value><struct><member><name>x</name>"
                                                   "<value><int>1</int></value></member>"
                                                   "</struct></value>",
                                                   "<value><int>3</int></value>"})),
              Calls{"unread"});
    EXPECT_EQ(DispatchRequest(Call(
                  "playmessage",
                  {"<value><string>1</string></value>", "<value><string>a.wav</string></value>",
                   "<value><int>3</int></value>", "<value><int>4</int></value>"})),
              Calls{"unread"});

    const char* id = "<value><string>8</string></value>";
    const char* one = "<value><int>1</int></value>";
    const char* ext =
        "<value><struct><member><name>EXTENSION</name>"
        "<value><string>100</string></value></member></struct></value>";
    EXPECT_EQ(DispatchRequest(Call("subscribe", {id, one, ext})), Calls{"OnSubscribe 8 100"});
    EXPECT_EQ(DispatchRequest(Call("subscribe", {id, one})), Calls{});
    EXPECT_EQ(DispatchRequest(Call("subscribe", {id, "<value><int>2</int></value>", ext})),
              Calls{});
    EXPECT_EQ(DispatchRequest(Call("subscribe", {id, one,
                                                 "<value><struct><member><name>extension</name>"
                                                 "<value><int>100</int></value></member>"
                                                 "</struct></value>"})),
              Calls{});
    EXPECT_EQ(DispatchRequest(Call("subscribe", {id, one, ext, one})), Calls{"unread"});
}

TEST(Reading, UnreadableOptionalLastParamIsReadPastToItsEnd) {
    const char* unreadable[] = {
        "<value>5</value>",
        "<value></value>",
        "<value><nil/></value>",
        "<value><struct><member><value><int>1</int></value></member></struct></value>",
        "<value><struct><member><name>x</name><value><nil/></value></member></struct></value>",
        "<value><array><value><int>1</int></value></array></value>",
        "<value><array></array></value>",
    };
    const char* id = "<value><string>1</string></value>";
    const char* file = "<value><string>a.wav</string></value>";
    const char* one = "<value><int>1</int></value>";
    for (const char* third : unreadable) {
        EXPECT_EQ(DispatchRequest(Call("playmessage", {id, file, third})),
                  Calls{"OnPlayMessage 1 a.wav -1"})
            << third;
        EXPECT_EQ(DispatchRequest(Call("playmessage", {id, file, third, one})), Calls{"unread"})
            << third;
        EXPECT_EQ(DispatchRequest(Call("subscribe", {id, one, third})), Calls{}) << third;
        EXPECT_EQ(DispatchRequest(Call("subscribe", {id, one, third, one})), Calls{"unread"})
            << third;
    }
}

std::string Repeat(const std::string& piece, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

TEST(Reading, DocumentsBeyondTheBoundsAreDroppedOnAWorkerStack) {
    const std::string id = "<value><string>1</string></value>";
    const std::string file = "<value><string>a.wav</string></value>";
    std::string wideParam = "<param";
    for (int i = 0; i < 65; ++i)
        wideParam += " a" + std::to_string(i) + "=''";
    wideParam += ">";
    std::string wide = Call("closecall", {id.c_str()});
    wide.replace(wide.find("<param>"), 7, wideParam);
    const std::string documents[] = {
        // Element nesting: start tags alone nest, end tags being optional.
        Call("callstatechanged",
             {Repeat("<value><array><data>", 10000).c_str(), "<value><int>1</int></value>"}),
        Call("playmessage", {id.c_str(), file.c_str(), Repeat("<value><array><data>", 30).c_str()}),
        // Value nesting through empty-element tags, which nest no elements.
        Call("playmessage", {id.c_str(), file.c_str(),
                             ("<value><array><data>" + Repeat("<value/><array/><data/>", 10000) +
                              "</data>"
                              "</array></value>")
                                 .c_str()}),
        Call("subscribe",
             {id.c_str(), "<value><int>1</int></value>",
              ("<value><struct>" + Repeat("<member/><name>m</name><value/><struct/>", 10000) +
               "</struct></value>")
                  .c_str()}),
        // A tag with more attributes than the bound.
        wide,
    };
    for (const std::string& text : documents) {
        Calls calls;
        ASSERT_TRUE(test::RunOnSmallStack([&] { calls = DispatchRequest(text); }));
        EXPECT_EQ(calls, Calls{"unread"}) << text.substr(0, 160);
    }
    // As answers too: the first param is all that a plain answer reads.
    CloseCallMethod close;
    const std::string answers[] = {
        Response({Repeat("<value><array><data>", 10000).c_str()}),
        Response({("<value><array><data>" + Repeat("<value/><array/><data/>", 10000)).c_str()}),
    };
    for (const std::string& text : answers) {
        Calls calls;
        ASSERT_TRUE(test::RunOnSmallStack([&] { calls = DispatchAnswer(close, text); }));
        EXPECT_EQ(calls, Calls{"unread"}) << text.substr(0, 160);
    }
}

TEST(Dispatch, ReceivedRequests) {
    const char* id = "<value><string>007</string></value>";
    EXPECT_EQ(DispatchRequest(Call("authenticate", {"<value><string>u</string></value>",
                                                    "<value><string>p</string></value>"})),
              Calls{"OnAuthenticate u p"});
    EXPECT_EQ(DispatchRequest(Call("createcall", {id, "<value><string>any</string></value>",
                                                  "<value><string>PBX:100</string></value>"})),
              Calls{"OnCreateCall 7 any {kind=0 number=100}"});
    EXPECT_EQ(DispatchRequest(Call("createcall", {id, "<value><string>any</string></value>",
                                                  "<value><string>100</string></value>"})),
              Calls{});
    EXPECT_EQ(DispatchRequest(Call("transfercall", {id, "<value><string>tel:5</string></value>"})),
              Calls{"OnTransferCall 7 {kind=3 number=5}"});
    EXPECT_EQ(DispatchRequest(Call("joincalls", {id, "<value><string>9</string></value>"})),
              Calls{"OnJoinCalls 7 9"});
    EXPECT_EQ(DispatchRequest(Call("unjoincalls", {id, "<value><string>9</string></value>"})),
              Calls{"OnUnjoinCalls 7 9"});
    EXPECT_EQ(
        DispatchRequest(Call("enabledtmfdetection", {id, "<value><boolean>1</boolean></value>"})),
        Calls{"OnEnableDtmfDetection 7 true"});
    EXPECT_EQ(
        DispatchRequest(Call("incomingcallhandling", {"<value><string>100</string></value>",
                                                      "<value><boolean>0</boolean></value>"})),
        Calls{"OnIncomingCallHandling 100 false"});
    EXPECT_EQ(DispatchRequest(Call("unsubscribe", {id})), Calls{"OnUnsubscribe 7"});
    EXPECT_EQ(DispatchRequest(Call("messageplayed", {id})), Calls{"OnMessagePlayed 7"});
    EXPECT_EQ(DispatchRequest(Call("callstatechanged", {id, "<value><int>-1</int></value>"})),
              Calls{"OnCallStateChanged 7 -1"});
    EXPECT_EQ(DispatchRequest(Call("dtmfdigitdetected", {id, "<value><int>53</int></value>"})),
              Calls{"OnDtmfDigitReceived 7 5"});
    EXPECT_EQ(DispatchRequest(Call("dtmfdigitdetected", {id, "<value><int>309</int></value>"})),
              Calls{"OnDtmfDigitReceived 7 5"});
    EXPECT_EQ(DispatchRequest("<methodCall><methodName>services.callprocessingservice."
                              "callstatechanged</methodName><params><PARAM><VALUE><STRING>1"
                              "</STRING></VALUE></PARAM><PARAM><VALUE><INT>2</INT></VALUE>"
                              "</PARAM></params></methodCall>"),
              Calls{"OnCallStateChanged 1 2"});
}

TEST(Dispatch, CallOffers) {
    auto offer = [](const char* members) {
        std::string s = std::string("<value><struct>") + members + "</struct></value>";
        return DispatchRequest(Call("process", {s.c_str(), "<value><string>42</string></value>"}));
    };
    const char* from = "<member><name>From</name><value><string>sip:1@h</string></value></member>";
    const char* to = "<member><name>To</name><value><string>pbx:2</string></value></member>";
    std::string both = std::string(from) + to;
    EXPECT_EQ(offer(both.c_str()),
              Calls{"OnCallArrived 42 {kind=1 number=1 host=h} {kind=0 number=2} 0"});
    std::string withOrigin =
        both + "<member><name>origcallid</name><value><string>17</string></value></member>";
    EXPECT_EQ(offer(withOrigin.c_str()),
              Calls{"OnCallArrived 42 {kind=1 number=1 host=h} {kind=0 number=2} 17"});
    std::string intOrigin =
        both + "<member><name>OrigCallID</name><value><int>17</int></value></member>";
    EXPECT_EQ(offer(intOrigin.c_str()),
              Calls{"OnCallArrived 42 {kind=1 number=1 host=h} {kind=0 number=2} 0"});
    EXPECT_EQ(offer(to), Calls{});
    std::string badFrom =
        std::string("<member><name>From</name><value><string>sip:1</string></value></member>") + to;
    EXPECT_EQ(offer(badFrom.c_str()), Calls{});

    CallArrivedMethod built;
    ASSERT_TRUE(built.SetParams(42, Address("sip:1@h:5060"), Address("pbx:2"), 0));
    EXPECT_EQ(built.dataParam->members.size(), 3u);  // no OrigCallID for 0
    EXPECT_EQ(DispatchRequest(Written(built)),
              Calls{"OnCallArrived 42 {kind=1 number=1 host=h} {kind=3 number=2} 0"});
    auto answer = built.CreateResponse(false);
    answer->SetId(42);
    std::string out;
    EXPECT_FALSE(answer->Write(out));  // not answered until the host decides
}

TEST(Dispatch, OfferAnswersOnTheReceivingSide) {
    CallArrivedMethod offer;
    auto answer = [&](const char* members, const char* second = nullptr) {
        std::string s = std::string("<value><struct>") + members + "</struct></value>";
        if (second) return DispatchAnswer(offer, Response({s.c_str(), second}));
        return DispatchAnswer(offer, Response({s.c_str()}));
    };
    const char* id = "<value><string>42</string></value>";
    EXPECT_EQ(answer("<member><name>action</name><value><string>ACCEPT</string></value></member>"
                     "<member><name>callerid</name><value><string>100</string></value></member>",
                     id),
              Calls{"OnCallAccepted 42 100 "});
    EXPECT_EQ(
        answer("<member><name>action</name><value><string>hold</string></value></member>", id),
        Calls{"OnCallAccepted 42  "});
    EXPECT_EQ(answer("<member><name>action</name><value><string>decline</string></value>"
                     "</member><member><name>CallID</name><value><string>9</string></value>"
                     "</member>"),
              Calls{"OnCallDeclined 9"});
    EXPECT_EQ(answer("<member><name>action</name><value><string>redirect</string></value>"
                     "</member><member><name>target</name><value><array><data>"
                     "<value><string>sip:100@host;actor=\"msg-taker\"</string></value>"
                     "<value><int>5</int></value>"
                     "<value><string>actor=\"msg-taker\"pbx:3</string></value>"
                     "</data></array></value></member>",
                     id),
              Calls{"OnCallRedirected 42 {kind=2147483649 number=100 host=host} "
                    "{kind=2147483648 number=3}  "});
    EXPECT_EQ(answer("<member><name>action</name><value><string>redirect</string></value>"
                     "</member><member><name>target</name><value><array><data>"
                     "<value><string>nowhere</string></value></data></array></value></member>",
                     id),
              Calls{"OnCallAccepted 42  "});
    EXPECT_EQ(answer("<member><name>action</name><value><string>accept</string></value></member>",
                     "<value><int>42</int></value>"),
              Calls{"unread"});
    // An untyped or nil second param is passed over; the id then comes from "CallID" alone.
    const char* decline =
        "<member><name>action</name><value><string>decline</string></value>"
        "</member>";
    const std::string declineNine = std::string(decline) +
                                    "<member><name>CallID</name><value><string>9</string>"
                                    "</value></member>";
    struct {
        const char* members;
        const char* second;
        Calls calls;
    } untyped[] = {
        {decline, "<value>42</value>", {"OnCallDeclined 0"}},
        {decline, "<value><nil/></value>", {"OnCallDeclined 0"}},
        {decline, "<value></value>", {"OnCallDeclined 0"}},
        {declineNine.c_str(), "<value><nil/></value>", {"OnCallDeclined 9"}},
        {decline, "<value><int>42</int></value>", {"unread"}},
        {decline, "<value><string>42</string></value>", {"OnCallDeclined 42"}},
    };
    for (const auto& c : untyped)
        EXPECT_EQ(answer(c.members, c.second), c.calls) << c.second;

    CallArrivedResponseMethod built;
    built.BuildRedirect(42, {Address("pbx:1"), PartyAddress{"", "", "", "", "", kPartySip}}, "id",
                        "name");
    EXPECT_EQ(DispatchAnswer(offer, Written(built)),
              Calls{"OnCallRedirected 42 {kind=0 number=1} id name"});
    built.BuildDecline(43, "busy");
    CallArrivedResponseMethod read;
    ASSERT_TRUE(read.ReadDocument(Written(built)));
    EXPECT_EQ(read.actionCode, kActionDecline);
    EXPECT_EQ(read.reason, "busy");
    EXPECT_EQ(read.GetId(), 43u);
}

TEST(Answers, PlainAnswersNeedAStringFirstParam) {
    CloseCallMethod close;
    EXPECT_EQ(DispatchAnswer(close, Response({"<value><string>1</string></value>"})), Calls{});
    EXPECT_EQ(DispatchAnswer(close, Response({"<value><string>1</string></value>",
                                              "<value><string>2</string></value>"})),
              Calls{});
    EXPECT_EQ(DispatchAnswer(close, Response({"<value><boolean>1</boolean></value>"})),
              Calls{"unread"});
    EXPECT_EQ(DispatchAnswer(close, Response({"<value><int>1</int></value>"})), Calls{"unread"});
    EXPECT_EQ(DispatchAnswer(close, Response({})), Calls{"unread"});
    EXPECT_EQ(DispatchAnswer(close, "<methodResponse><other/></methodResponse>"), Calls{"unread"});
    auto answer = close.ParseResponse(Response({"<value><string>1</string></value>"}));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->methodType, kCloseCall);
    EXPECT_EQ(answer->GetId(), 1u);
}

TEST(Answers, AuthenticateAnswers) {
    AuthenticateMethod auth;
    const char* ok = "<value><string>welcome</string></value>";
    EXPECT_EQ(DispatchAnswer(auth, Response({"<value><boolean>1</boolean></value>", ok})),
              Calls{"OnAuthenticateResponse true welcome"});
    EXPECT_EQ(DispatchAnswer(auth, Response({"<value><boolean>0</boolean></value>", ok})),
              Calls{"OnAuthenticateResponse false welcome"});
    EXPECT_EQ(DispatchAnswer(auth, Response({"<value><boolean>1</boolean></value>", ok,
                                             "<value><int>5</int></value>"})),
              Calls{"OnAuthenticateResponse true welcome"});
    // Swapped params read as a fault answer without a struct, which reports nothing.
    auto swapped = auth.ParseResponse(Response({ok, "<value><boolean>1</boolean></value>"}));
    ASSERT_TRUE(swapped);
    EXPECT_TRUE(dynamic_cast<FaultResponseMethod*>(swapped.get()));
    EXPECT_EQ(swapped->methodType, kAuthenticate);
    EXPECT_EQ(DispatchAnswer(auth, Response({ok, "<value><boolean>1</boolean></value>"})), Calls{});
    EXPECT_EQ(DispatchAnswer(auth, Response({"<value><boolean>1</boolean></value>"})),
              Calls{"unread"});
}

TEST(Answers, SubscribeAnswers) {
    SubscribeMethod subscribe;
    EXPECT_EQ(DispatchAnswer(subscribe, Response({"<value><string>77</string></value>",
                                                  "<value><boolean>0</boolean></value>",
                                                  "<value><int>3</int></value>"})),
              Calls{"OnSubscriptionConfirmed 77 false 3"});
    EXPECT_EQ(DispatchAnswer(subscribe, Response({"<value><string>77</string></value>"})), Calls{});
    EXPECT_EQ(DispatchAnswer(subscribe, Response({"<value><int>77</int></value>"})),
              Calls{"unread"});
}

TEST(Answers, Faults) {
    UnjoinCallsMethod request;
    EXPECT_EQ(
        DispatchAnswer(request, Fault("<member><name>FAULTCODE</name><value><int>-1</int></value>"
                                      "</member>")),
        Calls{"OnRequestFailed 0 -1 "});
    EXPECT_EQ(
        DispatchAnswer(request, Fault("<member><name>x</name><value><int>1</int></value></member>"
                                      "<member><name>FaultString</name><value><string>no</string>"
                                      "</value></member><member><name>faultCode</name><value><i4>9"
                                      "</i4></value></member>")),
        Calls{"OnRequestFailed 0 9 no"});
    EXPECT_EQ(
        DispatchAnswer(request, Fault("<member><name>faultCode</name><value><string>4</string>"
                                      "</value></member>")),
        Calls{});
    EXPECT_EQ(DispatchAnswer(request,
                             "<methodResponse><fault><value><string>x</string></value></fault>"
                             "</methodResponse>"),
              Calls{"unread"});
    // A fault reads as such whatever the request, and its id is the one given with SetId.
    auto fault = SubscribeMethod().ParseResponse(
        Fault("<member><name>faultCode</name><value><int>2</int></value></member>"));
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->methodType, kSubscribe);
    fault->SetId(55);
    RecordingClient client;
    fault->Dispatch(client);
    EXPECT_EQ(client.calls, Calls{"OnRequestFailed 55 2 "});
}

}  // namespace
}  // namespace voxtrel
