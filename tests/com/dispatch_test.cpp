// Tests of the control's scripting face in-process: text conversions, the IDL's methods through
// IDispatch, argument conversion and refusal, the methods down to the wire, and the IDL's events
// fired to sinks on the host's thread, against a scripted service on loopback.
#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "com_test_support.h"
#include "fake_peer.h"

namespace voxtrel::com {
namespace {

using namespace voxtrel::com::testing;
using namespace voxtrel::testing;

// Texts pass between BSTRs and the ANSI code page: nothing, embedded zeros, every byte it defines.
TEST(BstrText, NothingEmbeddedZerosAndEveryByteOfTheCodePageRoundTrip) {
    EXPECT_EQ(NarrowText(nullptr), "");
    EXPECT_EQ(SysStringLen(Bstr(std::string{}).Get()), 0u);
    EXPECT_NE(Bstr(std::string{}).Get(), nullptr);
    const std::string zero("a\0b", 3);
    EXPECT_EQ(SysStringLen(Bstr(zero).Get()), 3u);
    for (int c = 1; c <= 0xFF; ++c) {
        const std::string text = zero + static_cast<char>(c);
        if (WideText(text).size() != 4) continue;  // undefined in this code page
        EXPECT_EQ(NarrowText(Bstr(text).Get()), text) << "byte " << c;
    }
}

TEST(Dispatch, TheIdlsMethodsByNameConvertAndRefuseArgumentsAndAnswerFalseBeforeConnect) {
    ComApartment apartment;
    ComPtr<IDispatch> control = NewControl();
    for (const Member& m : IdlMembers("_DVoxtrel")) {
        std::wstring name = WideText(m.name);
        LPOLESTR names[] = {name.data()};
        DISPID id = 0;
        ASSERT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << m.name;
        EXPECT_EQ(id, m.id) << m.name;
        std::vector<VARIANT> args;  // for Connect: port 1 of loopback, where nothing listens
        for (VARTYPE type : m.types)
            args.push_back(type == VT_BSTR ? Text("127.0.0.1") : Arg(type, 1));
        Outcome o = CallId(control.Get(), id, args);
        EXPECT_EQ(o.hr, S_OK) << m.name;
        EXPECT_EQ(o.type, m.result) << m.name;
        EXPECT_EQ(o.text, m.result == VT_BSTR ? "0" : "false") << m.name;
    }
    struct Case {
        const wchar_t* name;
        std::vector<VARIANT> args;
        HRESULT hr;
        WORD flags = DISPATCH_METHOD;
    };
    const Case cases[] = {
        {L"Dial", {}, DISP_E_UNKNOWNNAME},
        {L"CloseCall", {}, DISP_E_BADPARAMCOUNT},
        {L"CloseCall", {Text("1"), Text("2")}, DISP_E_BADPARAMCOUNT},
        {L"PlayMessage", {Text("1"), Text("a.wav"), Text("many")}, DISP_E_TYPEMISMATCH},
        {L"PlayMessage", {Text("1"), Text("a.wav"), Long(40000)}, DISP_E_OVERFLOW},
        {L"PlayMessage", {Text("1"), Text("a.wav"), Text("3")}, S_OK},
        {L"CloseCall", {Long(5)}, S_OK},
        // A script that uses the result asks for a property get as well.
        {L"CloseCall", {Text("1")}, S_OK, DISPATCH_METHOD | DISPATCH_PROPERTYGET},
        {L"CloseCall", {Text("1")}, DISP_E_MEMBERNOTFOUND, DISPATCH_PROPERTYPUT},
    };
    for (const Case& c : cases) {
        Outcome o = Call(control.Get(), c.name, c.args, c.flags);
        EXPECT_EQ(o.hr, c.hr) << &c - cases;
        EXPECT_EQ(o.text == "false", o.hr == S_OK);
    }
    EXPECT_EQ(CallId(control.Get(), 99, {}).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(CallId(control.Get(), 4, {Text("1")}, DISPATCH_METHOD, IID_IDispatch).hr,
              DISP_E_UNKNOWNINTERFACE);
}

// A control connected to a scripted service, with a recording sink.
class Connected : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(cookie = Advise(control.Get(), sink.Get()), 0u);
        std::thread service([&] { peer.Authenticate(true); });
        Outcome o = Call(control.Get(), L"Connect",
                         {Text("127.0.0.1"), Short(static_cast<short>(peer.Port())), Long(5),
                          Text("u"), Text("p")});
        service.join();
        ASSERT_EQ(o.text, "true");
    }
    std::string NextMessage() {
        std::string m;
        return peer.NextMessage(m), m;
    }

    ComApartment apartment;
    FakePeer peer;
    ComPtr<IDispatch> control = NewControl();
    ComPtr<RecordingSink> sink = RecordingSink::Make();
    DWORD cookie = 0;
};

TEST_F(Connected, EveryMethodReachesTheWireWithItsArgumentsInOrder) {
    // Texts travel in the ANSI code page: the wire carries the bytes it gives for them.
    const std::string zoe = NarrowText(L"Zo\u00eb", 3);
    VARIANT variable = Text("77");
    VARIANT byRef = Arg(VT_BYREF | VT_VARIANT, 0);  // as script engines pass variables
    byRef.pvarVal = &variable;
    // The method, then texts that the message holds in this order; answers to a call's offer
    // carry no method.
    struct Case {
        const wchar_t* name;
        std::vector<VARIANT> args;
        std::string wire;
    };
    const Case cases[] = {
        {L"CloseCall", {byRef}, "closecall >77<"},
        {L"TransferCall", {Text("5"), Text("pbx:7")}, "transfercall >5< pbx:7"},
        {L"JoinCalls", {Text("5"), Text("6")}, "joincalls >5< >6<"},
        {L"UnjoinCalls", {Text("6"), Text("5")}, "unjoincalls >6< >5<"},
        {L"PlayMessage", {Text("5"), Text("f.wav"), Short(-1)}, "playmessage >5< f.wav >-1<"},
        // A BOOL is True or False through COM: a script's 2 is True, which travels as 1.
        {L"EnableDtmfDetection", {Text("5"), Long(2)}, "enabledtmfdetection >5< >1<"},
        {L"EnableDtmfDetection", {Text("5"), Bool(false)}, "enabledtmfdetection >5< >0<"},
        {L"IncomingCallHandling", {Text(zoe), Bool(true)}, "incomingcallhandling " + zoe + " >1<"},
        {L"AcceptCall", {Text("5"), Text("tel:1"), Text("Ann")}, " accept tel:1 Ann >5<"},
        {L"RejectCall", {Text("6")}, " decline >6<"},
        {L"ForwardCall",
         {Text("5"), Text("pbx:8"), Text("tel:2"), Text("Bo")},
         " redirect pbx:8 tel:2 Bo >5<"},
        {L"Unsubscribe", {Text("9")}, "unsubscribe >9<"},
    };
    for (const auto& [name, args, wire] : cases) {
        EXPECT_EQ(Call(control.Get(), name, args).text, "true") << wire;
        const std::string m = NextMessage();
        std::istringstream needles(wire);
        std::string method, needle;
        std::getline(needles, method, ' ');
        EXPECT_EQ(MethodOf(m), method) << wire;
        for (size_t at = 0; needles >> needle; ++at)
            EXPECT_NE(at = m.find(needle, at), std::string::npos) << wire << ": " << needle;
    }
    VariantClear(&variable);
}

TEST_F(Connected, TheIdlsEventsArriveOnTheHostThreadWithTheirTypesUnlessFrozen) {
    ComPtr<IOleControl> ole;
    ASSERT_EQ(control.As(ole), S_OK);
    for (BOOL freeze : {TRUE, TRUE, FALSE})
        ASSERT_EQ(ole->FreezeEvents(freeze), S_OK);
    peer.Send(Notification("callstatechanged", StringParam("1") + IntParam(3)));
    NextMessage();  // acknowledged: the core handled it
    PumpUntil(nullptr, 300);
    EXPECT_TRUE(sink->events.empty());  // dropped until every freeze is undone
    ASSERT_EQ(ole->FreezeEvents(FALSE), S_OK);
    const std::string call = Call(control.Get(), L"CreateCall", {Text("a"), Text("pbx:2")}).text;
    ASSERT_EQ(MethodOf(NextMessage()), "createcall");
    // Both requests are out before any answer: the worker waits for the host to handle each
    // event, and this thread handles none until it pumps.
    const std::string subscription = Call(control.Get(), L"SubscribeToVoiceMail", {Text("1")}).text;
    ASSERT_EQ(MethodOf(NextMessage()), "subscribe");
    peer.Send(Notification("callstatechanged", StringParam("42") + IntParam(3)) +
              Notification("dtmfdigitdetected", StringParam("42") + IntParam(0xE9)) +
              Notification("messageplayed", StringParam("42")) + FaultAnswer(7, "busy") +
              SubscribeAnswer(subscription, true, 0) +
              CallOffer("sip:a@h:5060", "pbx:2", "9", "55") +
              MailNotice("77", "tel:5", "2006-05-04 13:02:01", 12, 3));
    ASSERT_TRUE(PumpUntil([&] { return sink->events.size() >= 7; }, 5000));
    peer.CloseConnection();
    ASSERT_TRUE(PumpUntil([&] { return sink->events.size() >= 8; }, 5000));
    // Each event by the IDL's name for its id, with its arguments.
    const std::vector<Member> declared = IdlMembers("_DVoxtrelEvents");
    std::vector<std::string> seen;
    for (const SeenEvent& e : sink->events) {
        ASSERT_TRUE(e.id > 0 && e.id <= static_cast<DISPID>(declared.size())) << e.id;
        const Member& m = declared[e.id - 1];  // declared in the order of their ids
        EXPECT_EQ(e.types, m.types) << m.name;
        EXPECT_EQ(e.thread, GetCurrentThreadId());
        seen.push_back(m.name);
        for (const std::string& arg : e.args)
            seen.back() += " " + arg;
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "CallStateChanged 42 3", "DtmfDigitReceived 42 -23", "MessagePlayed 42",
                        "RequestFailed " + call + " 7 busy",
                        "SubscriptionConfirmed " + subscription + " true 0",
                        "CallArrived 55 sip:a@h:5060 pbx:2 9",
                        "MailArrived 77 tel:5 2006-05-04 13:02:01 12 3", "Disconnected"}));
}

// Each event goes to the sinks connected when it starts, in the order they connected; a handler
// may call methods, disconnect its own sink, and let go of the control.
TEST_F(Connected, HandlersMayCallMethodsDisconnectTheirSinksAndLetGoOfTheControl) {
    auto second = RecordingSink::Make();
    ASSERT_NE(Advise(control.Get(), second.Get()), 0u);
    std::vector<int> order;
    sink->onEvent = [&](const SeenEvent& e) {
        order.push_back(1);
        EXPECT_EQ(Call(control.Get(), L"CloseCall", {Text(e.args[0])}).text, "true");
        Unadvise(control.Get(), cookie);
    };
    second->onEvent = [&](const SeenEvent& e) {
        order.push_back(2);
        if (e.args[0] == "43") control.Reset();  // the host's last reference
    };
    peer.Send(Notification("callstatechanged", StringParam("42") + IntParam(3)) +
              Notification("callstatechanged", StringParam("43") + IntParam(3)) +
              Notification("callstatechanged", StringParam("44") + IntParam(3)));
    // The core goes once its delivery has unwound; the module is then free.
    EXPECT_TRUE(PumpUntil([] { return !ModuleInUse(); }, 5000));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 2}));
    EXPECT_EQ(sink->References(), 1u);
    EXPECT_EQ(second->References(), 1u);
    std::string m;  // after the acknowledgements
    while (peer.NextMessage(m) && MethodOf(m) != "closecall") {
    }
    EXPECT_EQ(FirstString(m), "42");
}

}  // namespace
}  // namespace voxtrel::com
