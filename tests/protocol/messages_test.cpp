// The protocol: party addresses, the exact bytes of every written document, what documents read
// as, the bounds that reading keeps, every byte through the texts and the wire trace's lines.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "protocol/wire_trace.h"
#include "recording_client.h"
#include "small_stack.h"

namespace voxtrel {
namespace {

// One record serves every row, reset in between as the callers do, so that a field the reset or
// the parse leaves behind shows in the next row.
TEST(PartyAddress, ParsedFieldsAndNormalForms) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"VM:300;greeting", "{kind=5 number=300 option=greeting}", "vm:300;greeting"},
        {"vm:300", "{kind=5 number=300}", "vm:300"},
        {"vm:1;a;b", "{kind=5 number=1 option=a;b}", "vm:1;a;b"},
        {"vm:300;", "{kind=5 number=300}", "vm:300"},
        {"sip:\"Front Desk\" <100@host:5060>",
         "{kind=1 number=100 name=Front Desk host=host port=5060}", "sip:100@host:5060"},
        {"Pbx:200", "{kind=0 number=200}", "pbx:200"},
        {"SIP:100@host", "{kind=1 number=100 host=host}", "sip:100@host"},
        {R"(sip:"A \"B\" C" <1@h>)", R"({kind=1 number=1 name=A \"B\" C host=h})", "sip:1@h"},
        {"sip:1@2@host", "{kind=1 number=1@2 host=host}", "sip:1@2@host"},
        {"sip:1@h:x:5060", "{kind=1 number=1 host=h:x port=5060}", "sip:1@h:x:5060"},
        {"pbx:", "{kind=0 number=}", "pbx:"},
        {"PSTN:5551234", "{kind=2 number=5551234}", "pstn:5551234"},
        {"Tel: +49 30", "{kind=3 number= +49 30}", "tel: +49 30"},
        {"aR:7", "{kind=4 number=7}", "ar:7"},
        // Angle brackets without a quoted name stay in the texts; text around them is dropped.
        {"sip:<100@host>", "{kind=1 number=<100 host=host>}", "sip:<100@host>"},
        {R"(sip:"N" junk <1@h> trailing)", "{kind=1 number=1 name=N host=h}", "sip:1@h"},
    };
    PartyAddress reused;
    for (const auto& [text, parsed, normal] : cases) {
        ResetPartyAddress(reused);
        std::string written = "old";
        ASSERT_TRUE(ParsePartyAddress(text, reused) && FormatPartyAddress(reused, written)) << text;
        EXPECT_EQ(Describe(reused) + " " + written, std::string(parsed) + " " + normal);
    }
    // Unknown prefixes, sip texts without a user@host (a bracketed one splits at its last ':'),
    // quoted names not followed by a bracketed address.
    for (const char* text :
         {"", "200", "pst:1", "si:1@h", "sip", "vm", " pbx:1", "sip:100", "sip:100:5060",
          "sip:\"Bob\" <sip:100@host>", R"(sip:"unterminated <1@h>)", R"(sip:"Name" 1@h)",
          R"(sip:"Name" <1@h)", R"(sip:"Name" <>)"}) {
        ResetPartyAddress(reused);
        EXPECT_FALSE(ParsePartyAddress(text, reused)) << text;
    }
}

// Reset clears every field; parsing keeps the message-taker flag and the option and replaces a
// name and port read before. Writing ignores the flag, takes any unknown kind as tel and needs a
// user for sip.
TEST(PartyAddress, ResetParsingOverAFilledRecordAndFormatting) {
    PartyAddress a{"1", "o", "n", "h", "p", kPartySip | kMessageTaker};
    ResetPartyAddress(a);
    EXPECT_EQ(Describe(a), "{kind=0 number=}");
    a = {"9", "o", "old", "x", "p", kMessageTaker};
    ASSERT_TRUE(ParsePartyAddress("sip:1@h", a));
    EXPECT_EQ(Describe(a), "{kind=2147483649 number=1 option=o host=h}");
    std::string written, out = "old";
    for (const PartyAddress& b :
         {a, PartyAddress{"100", "", "", "", "", kPartySip}, PartyAddress{"5", "", "", "", "", 9},
          PartyAddress{"", "", "", "h", "", kPartySip}})
        written += (FormatPartyAddress(b, out) ? "" : "(refused)") + out + " ";
    EXPECT_EQ(written, "sip:1@h sip:100 tel:5 (refused) ");
}

// Every kind of document written, byte for byte, and what it reads as; a request with one more
// param than its kind takes does not read.
TEST(Golden, EveryWrittenDocumentAndWhatItReadsAs) {
    for (const auto& [written, bytes, read, answerTo] : GoldenDocuments()) {
        EXPECT_EQ(written, bytes);
        EXPECT_EQ(ReadAndDispatch(answerTo, bytes), read) << bytes;
        if (answerTo != kRequest) continue;
        std::string longer = bytes;
        longer.insert(longer.find("</params>"), "<param>\r\n" + Int(1) + "\r\n</param>\r\n");
        EXPECT_EQ(ReadAndDispatch(kRequest, longer), "unread") << bytes;
    }
}

TEST(Writing, MissingFieldsAppendNothingSettersFollowTheirRulesIdsAreDecimal) {
    std::string out;
    EXPECT_FALSE(CreateCallMethod().Write(out) || CloseCallMethod().Write(out) ||
                 JoinCallsMethod().Write(out) || PlayMessageMethod().Write(out) ||
                 AuthenticateMethod().Write(out) || AuthenticateResponseMethod().Write(out) ||
                 SubscribeResponseMethod().Write(out) || FaultResponseMethod(0).Write(out) ||
                 MailArrivedMethod().Write(out) || XmlRpcResponseMethod(1).Write(out) ||
                 CallArrivedResponseMethod().Write(out));  // the router's empty offer answer
    EXPECT_TRUE(out.empty());

    using Answer = CallArrivedResponseMethod;
    SubscribeMethod subscribe;
    subscribe.SetParams(1, "");
    subscribe.SetParams(2, "200");
    const std::string off = Bool(0), one = Str("1");
    // Flags are on for 1 alone; optional members are left out when empty or zero.
    const std::pair<std::string, std::string> cases[] = {
        {Written(EnableDtmfDetectionMethod(), 1, 2), Call("enabledtmfdetection", {one, off})},
        {Written(EnableDtmfDetectionMethod(), 1, -1), Call("enabledtmfdetection", {one, off})},
        {Written(IncomingCallHandlingMethod(), "1", 2), Call("incomingcallhandling", {one, off})},
        {Written(DtmfDigitReceivedMethod(), 1, '\xE9'), Call("dtmfdigitdetected", {one, Int(-23)})},
        {Written(FaultResponseMethod(kCloseCall), -1, ""), Fault(Struct({"faultCode", Int(-1)}))},
        {Written<&Answer::BuildRedirect>(Answer(), 42, std::vector<PartyAddress>(), "", ""),
         Response({Struct({"action", Str("redirect")}), Str("42")})},
        {Written(subscribe),
         Call("subscribe", {Str("2"), Int(1), Struct({"extension", Str("200")})})},
        {Written(CallArrivedMethod(), 1, Address("sip:1@h:5060"), Address("pbx:2"), 0),
         Call("process",
              {Struct({"From", Str("sip:1@h"), "To", Str("tel:2"), "Contact", Str("sip:1@h")}),
               one})},
    };
    for (const auto& [written, expected] : cases)
        EXPECT_EQ(written, expected);

    // A redirect target that does not format is left out; a sip address without a user sets no
    // address param.
    PartyAddress noUser{"", "", "", "", "", kPartySip};
    const std::vector<PartyAddress> targets{Address("pbx:1"), noUser};
    EXPECT_EQ(ReadAndDispatch(kProcess,
                              Written<&Answer::BuildRedirect>(Answer(), 42, targets, "id", "name")),
              "OnCallRedirected 42 {kind=0 number=1} id name");
    EXPECT_FALSE(CreateCallMethod().SetParams(5, "from", noUser) ||
                 TransferCallMethod().SetParams(5, noUser));
    // Ids: decimal both ways, read with wrapping and unvalidated characters counted by their
    // codes as signed bytes.
    std::string read;
    for (const char* text :
         {"", "007", "18446744073709551615", "18446744073709551616", "1a", " 1", "\xE9"})
        read += FormatId(ParseId(text)) + " ";
    EXPECT_EQ(read, "0 7 18446744073709551615 0 59 18446744073709551457 18446744073709551545 ");
}

TEST(Reading, DocumentsFromTheService) {
    const std::string one = Str("1"), id = Str("42"), ext = Str("100"), ok = Str("welcome");
    const std::string from = Str("sip:1@h"), to = Str("pbx:2"), no = Str("decline");
    const std::string taker =
        Array({Str("sip:100@host;actor=\"msg-taker\""), Int(5), Str("actor=\"msg-taker\"pbx:3"),
               Str("pbx:4;actor=\"msg-taker\";x"), Str("pbx:5;actor=msg-taker")});
    const auto offer = [&](Values members) { return Call("process", {Struct(members), one}); };
    const std::string arrived = "OnCallArrived 1 {kind=1 number=1 host=h} {kind=0 number=2} ";
    const std::string noData = "<value><array></array></value>";
    const std::string noName = "<value><struct><member>" + Int(1) + "</member></struct></value>";
    // Requests that do not read: names that differ by more than letter case, documents of other
    // kinds, params of other types or counts, a param after an optional last one.
    for (const std::string& text :
         Values{"<methodCall><methodName> Services.CallProcessingService.closecall</methodName>"
                "<params><param><value><string>1</string></value></param></params></methodCall>",
                Call("close", {one}), Call("closecalls", {one}),
                "<methodCall><methodName>Services.CallProcessingService.closecall</methodName>"
                "</methodCall>",
                "<methodResponse><params/></methodResponse>", "",
                Call("callstatechanged", {one, Str("3")}), Call("closecall", {"<value>1</value>"}),
                Call("joincalls", {one}), Call("process", {one, Struct({})}),
                Call("playmessage", {one, one, Struct({"x", one}), Int(3)}),
                Call("playmessage", {one, one, "<value>5</value>", one}),
                Call("playmessage", {one, one, noData, one}),
                Call("playmessage", {one, one, noName, one})})
        EXPECT_EQ(ReadAndDispatch(kRequest, text), "unread") << text;
    const auto answer = [&](Values members, const std::string& second = Str("42")) {
        return second.empty() ? Response({Struct(members)}) : Response({Struct(members), second});
    };
    const std::tuple<uint32_t, std::string, std::string> cases[] = {
        {kRequest,
         "<METHODCALL><MethodName>services.CALLPROCESSINGSERVICE.CloseCall</MethodName><Params>"
         "<PARAM><VALUE><STRING>9</STRING></VALUE></PARAM></Params></METHODCALL>",
         "OnCloseCall 9"},
        {kRequest, Call("createcall", {one, one, ext}), ""},  // no prefix: not an address
        {kRequest, Call("dtmfdigitdetected", {one, Int(309)}), "OnDtmfDigitReceived 1 5"},
        // Optional last params: another type, or a value that does not read, is read past to
        // its end (a further param is not: see above).
        {kRequest, Call("playmessage", {one, one, "<value>5</value>"}), "OnPlayMessage 1 1 -1"},
        {kRequest, Call("playmessage", {one, one, noData}), "OnPlayMessage 1 1 -1"},
        {kRequest, Call("playmessage", {one, one, noName}), "OnPlayMessage 1 1 -1"},
        {kRequest, Call("playmessage", {one, one, V("i4", "3")}), "OnPlayMessage 1 1 3"},
        {kRequest, Call("subscribe", {one, Int(1), Struct({"EXTENSION", ext})}),
         "OnSubscribe 1 100"},
        {kRequest, Call("subscribe", {one, Int(1)}), ""},
        {kRequest, Call("subscribe", {one, Int(2), Struct({"extension", ext})}), ""},
        {kRequest, Call("subscribe", {one, Int(1), Struct({"extension", Int(100)})}), ""},
        // Offers: both parties must read; the original call is a string member.
        {kRequest, offer({"From", from, "To", to}), arrived + "0"},
        {kRequest, offer({"From", from, "To", to, "origcallid", Str("17")}), arrived + "17"},
        {kRequest, offer({"From", from, "To", to, "OrigCallID", Int(17)}), arrived + "0"},
        {kRequest, offer({"To", to}), ""},
        {kRequest, offer({"From", Str("sip:1"), "To", to}), ""},
        {kRequest, offer({"From", from, "To", Str("2")}), ""},
        {kRequest,
         Call("mailarrived", {one, Struct({"From", to, "Time", V("dateTime.iso8601", "t")})}), ""},
        // A plain answer needs a string first param and reads nothing more.
        {kCloseCall, Response({one, Str("2")}), ""},
        {kCloseCall, Response({Int(1)}), "unread"},
        {kCloseCall, "<methodResponse><other/></methodResponse>", "unread"},
        {kAuthenticate, Response({Bool(0), ok}), "OnAuthenticateResponse false welcome"},
        {kAuthenticate, Response({Bool(1), ok, Int(5)}), "OnAuthenticateResponse true welcome"},
        // Swapped params read as a fault answer without a struct, which reports nothing.
        {kAuthenticate, Response({ok, Bool(1)}), ""},
        {kAuthenticate, Response({Bool(1)}), "unread"},
        {kSubscribe, Response({Str("77"), Bool(0), Int(3)}), "OnSubscriptionConfirmed 77 false 3"},
        {kSubscribe, Response({Str("77"), Bool(0), Int(3), one}),
         "OnSubscriptionConfirmed 77 false 3"},
        {kSubscribe, Response({Str("77")}), ""},
        {kSubscribe, Response({Int(77)}), "unread"},
        // Faults: member names in any letter case, an i4 code, no text.
        {kUnjoinCalls, Fault(Struct({"FAULTCODE", Int(-1)})), "OnRequestFailed 0 -1 "},
        {kUnjoinCalls,
         Fault(Struct({"x", one, "FaultString", Str("no"), "faultCode", V("i4", "9")})),
         "OnRequestFailed 0 9 no"},
        {kUnjoinCalls, Fault(Struct({"faultCode", Str("4")})), ""},
        {kUnjoinCalls, Fault(Str("x")), "unread"},
        // Offer answers; an untyped second param is passed over, as is a nil one, the id then comes
        // from "CallID" alone.
        {kProcess, answer({"action", Str("ACCEPT"), "callerid", ext}), "OnCallAccepted 42 100 "},
        {kProcess, answer({"action", Str("hold")}), "OnCallAccepted 42  "},
        {kProcess, answer({"action", Str("redirect"), "target", taker}),
         "OnCallRedirected 42 {kind=2147483649 number=100 host=host} {kind=2147483648 number=3} "
         "{kind=2147483648 number=4;x} {kind=0 number=5;actor=msg-taker}  "},
        {kProcess, answer({"action", Str("redirect"), "target", Array({Str("no")})}),
         "OnCallAccepted 42  "},
        {kProcess, answer({"action", Str("accept")}, Int(42)), "unread"},
        {kProcess, answer({"action", no, "CallID", Str("9")}, ""), "OnCallDeclined 9"},
        {kProcess, answer({"action", no}, "<value>42</value>"), "OnCallDeclined 0"},
        {kProcess, answer({"action", no, "CallID", Str("9")}, "<value><nil/></value>"),
         "OnCallDeclined 9"},
    };
    for (const auto& [answerTo, text, read] : cases)
        EXPECT_EQ(ReadAndDispatch(answerTo, text), read) << text;

    // A fault reads as such whatever the request, with its type, and its id is the one set.
    auto fault = SubscribeMethod().ParseResponse(Fault(Struct({"faultCode", Int(2)})));
    ASSERT_TRUE(fault && fault->methodType == kSubscribe);
    fault->SetId(55);
    RecordingClient client;
    fault->Dispatch(client);
    EXPECT_EQ(client.lines, "OnRequestFailed 55 2 ");

    // A decline's reason is not passed on, but read: the first element's text, whatever kind of
    // text it is.
    std::string reasons;
    for (const std::string& value : Values{Str("busy"), V("dateTime.iso8601", "20060504T13:02:01"),
                                           V("base64", "YnVzeQ=="), V("double", "1.5")}) {
        CallArrivedResponseMethod read;
        ASSERT_TRUE(read.ReadDocument(Response(
            {Struct({"action", Str("decline"), "reason", Array({value, Str("x")})}), Str("43")})));
        reasons += read.reason + "|";
    }
    EXPECT_EQ(reasons, "busy|20060504T13:02:01|YnVzeQ==||");
}

// Documents nested beyond the bounds after all that the reading needs: the optional last param
// of a request, what follows a plain answer's first param. The bounds themselves are the XML
// layers' own.
TEST(Reading, DocumentsBeyondTheBoundsAreDroppedOnAWorkerStack) {
    std::string deep, wide;
    for (int i = 0; i < 10000; ++i) {
        deep += "<value><array><data>";
        wide += "<member/><name>m</name><value/><struct/>";  // value nesting without elements
    }
    const std::string one = Str("1");
    const std::pair<uint32_t, std::string> documents[] = {
        {kRequest, Call("playmessage", {one, one, deep})},
        {kRequest,
         Call("subscribe", {one, Int(1), "<value><struct>" + wide + "</struct></value>"})},
        {kCloseCall, Response({"<value><string>1</string>" + deep})},
    };
    for (const auto& document : documents) {
        std::string read;
        ASSERT_TRUE(test::RunOnSmallStack(
            [&] { read = ReadAndDispatch(document.first, document.second); }));
        EXPECT_EQ(read, "unread") << document.second.substr(0, 160);
    }
}

// Every byte value through the text fields of the messages, as a param and as a struct member:
// written as it stands and read back unchanged, except '<', which no text can carry.
TEST(EveryByte, ThroughTheTextFields) {
    for (int byte = 1; byte < 256; ++byte) {
        const std::string text = std::string("a") + static_cast<char>(byte) + "z";
        const std::pair<std::string, std::string> reads[] = {
            {ReadAndDispatch(kRequest, Written(CreateCallMethod(), 1, text, Address("pbx:1"))),
             "OnCreateCall 1 " + text + " {kind=0 number=1}"},
            {ReadAndDispatch(kRequest, Written(SubscribeMethod(), 1, text)),
             "OnSubscribe 1 " + text},
            {ReadAndDispatch(kCloseCall, Written(FaultResponseMethod(kCloseCall), 1, text)),
             "OnRequestFailed 0 1 " + text},
        };
        // A '<' cuts the text short or the document does not read; it is never read as sent.
        for (const auto& [read, sent] : reads)
            EXPECT_EQ(read == sent, byte != '<') << byte << " " << read;
    }
}

// Each row: a document and the trace line's text of it, the password masked in every shape of an
// authenticate request (a name that only the reader resolves, markup, a params end inside it).
TEST(WireTrace, OneLinePerMessageThePasswordMaskedInEveryShape) {
    const std::string call = "<methodCall><methodName>", user = "<params><param>u</param >";
    const std::string masked =
        "<param>\\r\\n<value><string>****</string></value>\\r\\n</param>\\r\\n";
    const std::pair<std::string, std::string> cases[] = {
        {call + "a.AuthentiCATE</methodName>" + user + "<PARAM>pw</param></params>",
         call + "a.AuthentiCATE</methodName>" + user + masked + "</params>"},
        {call + "&#97;uthenticate</methodName>" + user + "<param><![CDATA[pw</params>]]></param>",
         call + "&#97;uthenticate</methodName>" + user + masked},
        {call + "authenticate</methodName><params><param>pw</param>", call + "authenticate****"},
        {call + "createcall</methodName>\r\n\\" + user,
         call + "createcall</methodName>\\r\\n\\\\" + user},
        {"\x01\t\x7f\r\n\r\n", "\\x01\t\\x7f"},
    };
    auto time = std::chrono::system_clock::time_point(std::chrono::microseconds(1796562245123456));
    for (const auto& [document, shown] : cases) {
        std::string storage;
        EXPECT_EQ(WireTraceLine(WireDirection::kSent, time, TracedDocument(document, storage)),
                  "2026-12-06T13:04:05.123456Z > " + shown + "\n");
    }
    // What this side writes reads as the request written with "****".
    std::string masking;
    EXPECT_TRUE(MaskPassword(Written(AuthenticateMethod(), "u", "p&amp;w>"), masking));
    EXPECT_EQ(masking, Written(AuthenticateMethod(), "u", "****"));
    EXPECT_FALSE(MaskPassword("<methodResponse><params><param>pw</param>", masking));
}

}  // namespace
}  // namespace voxtrel
