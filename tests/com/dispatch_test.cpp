// Tests of the control's scripting face in-process: the IDL's methods through IDispatch, argument
// conversion and refusal, the methods down to the wire, and the IDL's events fired to sinks on
// the host's thread, against a scripted service on loopback.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "com/bstr_text.h"
#include "com/module.h"
#include "com_test_support.h"
#include "fake_peer.h"

namespace voxtrel::com {
namespace {

using namespace voxtrel::com::testing;
using namespace voxtrel::testing;

class Dispatch : public ::testing::Test {
  protected:
    ComApartment apartment;
    ComPtr<IDispatch> control = NewControl();
};

// Every method of the IDL is found by its name in any case, takes arguments of its declared types
// and, before Connect, answers false, or "0" for the ids.
TEST_F(Dispatch, EveryIdlMethodAnswersItsRefusalBeforeConnect) {
    const std::vector<Member> methods = IdlMembers("_DVoxtrel");
    ASSERT_FALSE(methods.empty());
    for (const Member& m : methods) {
        SCOPED_TRACE(m.name);
        std::wstring name = WideText(m.name);
        std::transform(name.begin(), name.end(), name.begin(), m.id % 2 ? towupper : towlower);
        LPOLESTR names[] = {name.data()};
        DISPID id = 0;
        ASSERT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
        EXPECT_EQ(id, m.id);
        // Port 1 of loopback, where nothing listens, for Connect.
        std::vector<VARIANT> args;
        for (VARTYPE type : m.types)
            args.push_back(type == VT_BSTR   ? Text("127.0.0.1")
                           : type == VT_BOOL ? Bool(true)
                                             : Long(1));
        Outcome o = CallId(control.Get(), id, args);
        EXPECT_EQ(o.hr, S_OK);
        EXPECT_EQ(o.type, m.result);
        EXPECT_EQ(o.text, m.result == VT_BSTR ? "0" : "false");
    }
}

TEST_F(Dispatch, ConvertsArgumentsAsScriptsPassThemAndRefusesWhatDoesNotFit) {
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
        {L"CloseCall", {Long(5)}, S_OK},
        {L"PlayMessage", {Text("1"), Text("a.wav"), Text("3")}, S_OK},
        // A script that uses the result asks for a property get as well.
        {L"CloseCall", {Text("1")}, S_OK, DISPATCH_METHOD | DISPATCH_PROPERTYGET},
        {L"CloseCall", {Text("1")}, DISP_E_MEMBERNOTFOUND, DISPATCH_PROPERTYPUT},
    };
    for (const Case& c : cases) {
        Outcome o = Call(control.Get(), c.name, c.args, c.flags);
        EXPECT_EQ(o.hr, c.hr) << NarrowText(c.name, wcslen(c.name)) << " " << c.args.size();
        if (o.hr == S_OK) {
            EXPECT_EQ(o.text, "false");
        }
    }
    EXPECT_EQ(CallId(control.Get(), 99, {}).hr, DISP_E_MEMBERNOTFOUND);
    LPOLESTR name[] = {const_cast<LPOLESTR>(L"CloseCall")};
    DISPID id = 0;
    EXPECT_EQ(control->GetIDsOfNames(IID_IDispatch, name, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(CallId(control.Get(), 4, {Text("1")}, DISPATCH_METHOD, IID_IDispatch).hr,
              DISP_E_UNKNOWNINTERFACE);
}

// A control connected to a scripted service, with a recording sink.
class Connected : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(control);
        cookie = Advise(control.Get(), sink.Get());
        ASSERT_NE(cookie, 0u);
        std::thread service([&] { peer.Authenticate(true); });
        Outcome o = Call(control.Get(), L"Connect",
                         {Text("127.0.0.1"), Short(static_cast<short>(peer.Port())), Long(5),
                          Text("u"), Text("p")});
        service.join();
        ASSERT_EQ(o.text, "true");
    }
    std::string NextMessage() {
        std::string m;
        peer.NextMessage(m);
        return m;
    }
    bool PumpUntilEvents(size_t count) {
        return PumpUntil([&] { return sink->events.size() >= count; }, 5000);
    }

    ComApartment apartment;
    FakePeer peer;
    ComPtr<IDispatch> control = NewControl();
    ComPtr<RecordingSink> sink = RecordingSink::Make();
    DWORD cookie = 0;
};

TEST_F(Connected, EveryMethodReachesTheWireWithItsArgumentsInOrder) {
    // Texts travel in the ANSI code page: the wire carries the bytes it gives for them.
    const std::wstring wide = L"Zo\u00eb";
    const std::string accented = NarrowText(wide.data(), wide.size());
    VARIANT byRef = Text("77");
    struct Case {
        const wchar_t* name;
        std::vector<VARIANT> args;
        std::vector<std::string> wire;  // the method and, in order, texts of the message
    };
    const Case cases[] = {
        {L"CloseCall", {Ref(&byRef)}, {"closecall", ">77<"}},
        {L"TransferCall", {Text("5"), Text("pbx:7")}, {"transfercall", ">5<", "pbx:7"}},
        {L"JoinCalls", {Text("5"), Text("6")}, {"joincalls", ">5<", ">6<"}},
        {L"UnjoinCalls", {Text("6"), Text("5")}, {"unjoincalls", ">6<", ">5<"}},
        {L"PlayMessage",
         {Text("5"), Text("f.wav"), Short(-1)},
         {"playmessage", ">5<", "f.wav", ">-1<"}},
        // A BOOL is True or False through COM: a script's 2 is True, which travels as 1.
        {L"EnableDtmfDetection", {Text("5"), Long(2)}, {"enabledtmfdetection", ">5<", ">1<"}},
        {L"EnableDtmfDetection", {Text("5"), Bool(false)}, {"enabledtmfdetection", ">5<", ">0<"}},
        {L"IncomingCallHandling",
         {Text(accented), Bool(true)},
         {"incomingcallhandling", accented, ">1<"}},
        // The answers to a call's offer: the action, then the call.
        {L"AcceptCall",
         {Text("5"), Text("tel:1"), Text("Ann")},
         {"", "accept", "tel:1", "Ann", ">5<"}},
        {L"RejectCall", {Text("6")}, {"", "decline", ">6<"}},
        {L"ForwardCall",
         {Text("5"), Text("pbx:8"), Text("tel:2"), Text("Bob")},
         {"", "redirect", "pbx:8", "tel:2", "Bob", ">5<"}},
        {L"Unsubscribe", {Text("9")}, {"unsubscribe", ">9<"}},
    };
    for (const Case& c : cases) {
        Outcome o = Call(control.Get(), c.name, c.args);
        EXPECT_EQ(o.text, "true") << c.wire[0];
        const std::string m = NextMessage();
        EXPECT_EQ(MethodOf(m), c.wire[0]);
        size_t at = 0;
        for (size_t i = 1; i < c.wire.size(); ++i) {
            at = m.find(c.wire[i], at);
            EXPECT_NE(at, std::string::npos) << c.wire[0] << " " << c.wire[i];
        }
    }
    for (const wchar_t* name : {L"CreateCall", L"SubscribeToVoiceMail"}) {
        Outcome o = name[0] == 'C' ? Call(control.Get(), name, {Text("pbx:1"), Text("pbx:2")})
                                   : Call(control.Get(), name, {Text("100")});
        EXPECT_EQ(o.type, VT_BSTR);
        EXPECT_NE(o.text, "0");
        EXPECT_EQ(o.text.find_first_not_of("0123456789"), std::string::npos);
        EXPECT_EQ(FirstString(NextMessage()), o.text);
    }
    VariantClear(&byRef);
}

TEST_F(Connected, TheIdlsEventsArriveOnTheHostThreadWithTheirTypes) {
    const std::string call =
        Call(control.Get(), L"CreateCall", {Text("pbx:1"), Text("pbx:2")}).text;
    ASSERT_EQ(MethodOf(NextMessage()), "createcall");
    // Both requests are out before any answer: the worker waits for the host to handle each
    // event, and this thread handles none until it pumps.
    const std::string subscription =
        Call(control.Get(), L"SubscribeToVoiceMail", {Text("100")}).text;
    ASSERT_EQ(MethodOf(NextMessage()), "subscribe");
    peer.Send(Notification("callstatechanged", StringParam("42") + IntParam(3)) +
              Notification("dtmfdigitdetected", StringParam("42") + IntParam(0xE9)) +
              Notification("messageplayed", StringParam("42")) + FaultAnswer(7, "busy") +
              SubscribeAnswer(subscription, true, 0) +
              CallOffer("sip:a@h:5060", "pbx:2", "9", "55") +
              MailNotice("77", "tel:5", "2006-05-04 13:02:01", 12, 3));
    ASSERT_TRUE(PumpUntilEvents(7));
    peer.CloseConnection();
    ASSERT_TRUE(PumpUntilEvents(8));
    const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
        {"CallStateChanged", {"42", "3"}},
        {"DtmfDigitReceived", {"42", "-23"}},
        {"MessagePlayed", {"42"}},
        {"RequestFailed", {call, "7", "busy"}},
        {"SubscriptionConfirmed", {subscription, "true", "0"}},
        {"CallArrived", {"55", "sip:a@h:5060", "pbx:2", "9"}},
        {"MailArrived", {"77", "tel:5", "2006-05-04 13:02:01", "12", "3"}},
        {"Disconnected", {}},
    };
    const std::vector<Member> events = IdlMembers("_DVoxtrelEvents");
    ASSERT_EQ(sink->events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const SeenEvent& seen = sink->events[i];
        auto declared = std::find_if(events.begin(), events.end(),
                                     [&](const Member& m) { return m.name == expected[i].first; });
        ASSERT_NE(declared, events.end()) << expected[i].first;
        EXPECT_EQ(seen.id, declared->id) << declared->name;
        EXPECT_EQ(seen.types, declared->types) << declared->name;
        EXPECT_EQ(seen.args, expected[i].second) << declared->name;
        EXPECT_EQ(seen.thread, GetCurrentThreadId());
    }
}

TEST_F(Connected, FrozenEventsAreDroppedUntilEveryFreezeIsUndone) {
    ComPtr<IOleControl> ole;
    ASSERT_EQ(control.As(ole), S_OK);
    for (BOOL freeze : {TRUE, TRUE, FALSE})
        ASSERT_EQ(ole->FreezeEvents(freeze), S_OK);
    peer.Send(Notification("callstatechanged", StringParam("1") + IntParam(3)));
    std::string m;
    ASSERT_TRUE(peer.NextMessage(m));  // acknowledged: the core handled it
    PumpFor(300);
    EXPECT_TRUE(sink->events.empty());
    ASSERT_EQ(ole->FreezeEvents(FALSE), S_OK);
    peer.Send(Notification("callstatechanged", StringParam("2") + IntParam(4)));
    ASSERT_TRUE(PumpUntilEvents(1));
    EXPECT_EQ(sink->events[0].args, (std::vector<std::string>{"2", "4"}));
}

// Each event goes to the sinks connected when it starts, in the order they connected; a handler
// may call methods and disconnect its own sink.
TEST_F(Connected, HandlersMayCallMethodsAndDisconnectTheirSinks) {
    auto second = RecordingSink::Make();
    ASSERT_NE(Advise(control.Get(), second.Get()), 0u);
    std::vector<int> order;
    sink->onEvent = [&](const SeenEvent& e) {
        order.push_back(1);
        EXPECT_EQ(Call(control.Get(), L"CloseCall", {Text(e.args[0])}).text, "true");
        Unadvise(control.Get(), cookie);
    };
    second->onEvent = [&](const SeenEvent&) { order.push_back(2); };
    peer.Send(Notification("callstatechanged", StringParam("42") + IntParam(3)) +
              Notification("callstatechanged", StringParam("43") + IntParam(3)));
    ASSERT_TRUE(PumpUntil([&] { return second->events.size() >= 2; }, 5000));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 2}));
    EXPECT_EQ(sink->References(), 1u);
    std::string m;  // after the acknowledgements
    while (peer.NextMessage(m) && MethodOf(m) != "closecall") {
    }
    EXPECT_EQ(FirstString(m), "42");
}

TEST_F(Connected, TheHostMayLetGoOfTheControlInsideAHandler) {
    sink->onEvent = [&](const SeenEvent&) { control.Reset(); };  // the host's last reference
    peer.Send(Notification("callstatechanged", StringParam("1") + IntParam(3)) +
              Notification("callstatechanged", StringParam("2") + IntParam(3)));
    ASSERT_TRUE(PumpUntilEvents(1));
    // The core goes once its delivery has unwound; the module is then free.
    EXPECT_TRUE(PumpUntil([] { return !ModuleInUse(); }, 5000));
    EXPECT_EQ(sink->events.size(), 1u);
    EXPECT_EQ(sink->References(), 1u);
}

}  // namespace
}  // namespace voxtrel::com
