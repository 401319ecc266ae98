// Tests of the control's scripting face in-process: IDispatch, the methods down to the wire, and
// the eight events fired to sinks on the host's thread, against a scripted service on loopback.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "com/bstr_text.h"
#include "com/module.h"
#include "com/voxtrel_object.h"
#include "com_test_support.h"
#include "fake_peer.h"

namespace voxtrel::com {
namespace {

using namespace voxtrel::com::testing;
using voxtrel::testing::AuthenticateAnswer;
using voxtrel::testing::FakePeer;
using voxtrel::testing::FaultAnswer;
using voxtrel::testing::FirstString;
using voxtrel::testing::IntParam;
using voxtrel::testing::MethodOf;
using voxtrel::testing::Notification;
using voxtrel::testing::StringParam;

ComPtr<IDispatch> NewControl() {
    ComPtr<IDispatch> control;
    EXPECT_EQ(VoxtrelObject::Create(IID_IDispatch, reinterpret_cast<void**>(control.Put())), S_OK);
    return control;
}

class Dispatch : public ::testing::Test {
  protected:
    ComApartment apartment;
    ComPtr<IDispatch> control = NewControl();
};

TEST_F(Dispatch, OneTypeInfoThatIsTheDispatchInterface) {
    UINT count = 0;
    ASSERT_EQ(control->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(control->GetTypeInfo(0, 0, info.Put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, DIID__DVoxtrel));
    info->ReleaseTypeAttr(attr);
    EXPECT_EQ(control->GetTypeInfo(1, 0, info.Put()), DISP_E_BADINDEX);
}

TEST_F(Dispatch, NamesGiveTheTableIdsWhateverTheirCase) {
    const wchar_t* names[] = {L"Connect",
                              L"DISCONNECT",
                              L"createcall",
                              L"CloseCall",
                              L"TransferCall",
                              L"JoinCalls",
                              L"UnjoinCalls",
                              L"PlayMessage",
                              L"EnableDtmfDetection",
                              L"IncomingCallHandling",
                              L"AcceptCall",
                              L"RejectCall",
                              L"ForwardCall",
                              L"SubscribeToVoiceMail",
                              L"unsubscribe"};
    for (DISPID expected = 1; expected <= 15; ++expected) {
        LPOLESTR name = const_cast<LPOLESTR>(names[expected - 1]);
        DISPID id = 0;
        EXPECT_EQ(control->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
        EXPECT_EQ(id, expected);
    }
    LPOLESTR unknown = const_cast<LPOLESTR>(L"Dial");
    DISPID id = 0;
    EXPECT_EQ(control->GetIDsOfNames(IID_NULL, &unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(control->GetIDsOfNames(IID_IDispatch, &unknown, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
}

TEST_F(Dispatch, MethodsBeforeConnectAnswerFalseOrZero) {
    IDispatch* c = control.Get();
    auto isFalse = [](const Outcome& o) {
        return o.hr == S_OK && o.type == VT_BOOL && o.text == "false";
    };
    auto isZero = [](const Outcome& o) {
        return o.hr == S_OK && o.type == VT_BSTR && o.text == "0";
    };
    EXPECT_TRUE(isFalse(Call(c, L"Disconnect", {})));
    EXPECT_TRUE(isZero(Call(c, L"CreateCall", {Text("pbx:100"), Text("pbx:200")})));
    EXPECT_TRUE(isFalse(Call(c, L"CloseCall", {Text("1")})));
    EXPECT_TRUE(isFalse(Call(c, L"TransferCall", {Text("1"), Text("pbx:2")})));
    EXPECT_TRUE(isFalse(Call(c, L"JoinCalls", {Text("1"), Text("2")})));
    EXPECT_TRUE(isFalse(Call(c, L"UnjoinCalls", {Text("1"), Text("2")})));
    EXPECT_TRUE(isFalse(Call(c, L"PlayMessage", {Text("1"), Text("a.wav"), Short(1)})));
    EXPECT_TRUE(isFalse(Call(c, L"EnableDtmfDetection", {Text("1"), Bool(true)})));
    EXPECT_TRUE(isFalse(Call(c, L"IncomingCallHandling", {Text("100"), Bool(true)})));
    EXPECT_TRUE(isFalse(Call(c, L"AcceptCall", {Text("1"), Text(""), Text("")})));
    EXPECT_TRUE(isFalse(Call(c, L"RejectCall", {Text("1")})));
    EXPECT_TRUE(isFalse(Call(c, L"ForwardCall", {Text("1"), Text("pbx:2"), Text(""), Text("")})));
    EXPECT_TRUE(isZero(Call(c, L"SubscribeToVoiceMail", {Text("100")})));
    EXPECT_TRUE(isFalse(Call(c, L"Unsubscribe", {Text("1")})));
}

TEST_F(Dispatch, ConnectWithoutAServerAnswersFalse) {
    // Port -1 is port 65535, where nothing listens on loopback.
    Outcome o = Call(control.Get(), L"Connect",
                     {Text("127.0.0.1"), Short(-1), Long(1), Text("u"), Text("p")});
    EXPECT_EQ(o.hr, S_OK);
    EXPECT_EQ(o.text, "false");
}

TEST_F(Dispatch, InvokeChecksIdsArgumentsAndInterface) {
    IDispatch* c = control.Get();
    EXPECT_EQ(CallId(c, 99, {}).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(CallId(c, 4, {}).hr, DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(CallId(c, 4, {Text("1"), Text("2")}).hr, DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(CallId(c, 4, {Text("1")}, DISPATCH_METHOD, IID_IDispatch).hr,
              DISP_E_UNKNOWNINTERFACE);
    // Arguments are converted to the declared types, as a script's values are.
    Outcome converted = CallId(c, 4, {Long(5)});
    EXPECT_EQ(converted.hr, S_OK);
    EXPECT_EQ(converted.text, "false");
    EXPECT_EQ(CallId(c, 8, {Text("1"), Text("a.wav"), Text("many")}).hr, DISP_E_TYPEMISMATCH);
    // A script that uses the result asks for a property get as well.
    EXPECT_EQ(CallId(c, 3, {Text("a"), Text("b")}, DISPATCH_METHOD | DISPATCH_PROPERTYGET).text,
              "0");
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

    std::string NextMethod(std::string& message) {
        message.clear();
        peer.NextMessage(message);
        return MethodOf(message);
    }
    bool PumpUntilEvents(size_t count, int timeoutMs = 5000) {
        return PumpUntil([&] { return sink->events.size() >= count; }, timeoutMs);
    }

    ComApartment apartment;
    FakePeer peer;
    ComPtr<IDispatch> control = NewControl();
    ComPtr<RecordingSink> sink = RecordingSink::Make();
    DWORD cookie = 0;
};

TEST_F(Connected, ArgumentsReachTheWireConvertedAsTheControlsTypes) {
    IDispatch* c = control.Get();
    std::string m;
    EXPECT_EQ(Call(c, L"CloseCall", {Text("1a")}).text, "true");
    ASSERT_EQ(NextMethod(m), "closecall");
    EXPECT_EQ(FirstString(m), std::to_string(10 + ('a' - '0')));
    EXPECT_EQ(Call(c, L"PlayMessage", {Text("5"), Text("f.wav"), Short(-1)}).text, "true");
    ASSERT_EQ(NextMethod(m), "playmessage");
    EXPECT_NE(m.find("<value><int>-1</int></value>"), std::string::npos);
    // A BOOL is True or False through COM: a script's 2 arrives as True, which is 1.
    EXPECT_EQ(Call(c, L"EnableDtmfDetection", {Text("5"), Long(2)}).text, "true");
    ASSERT_EQ(NextMethod(m), "enabledtmfdetection");
    EXPECT_NE(m.find("<value><boolean>1</boolean></value>"), std::string::npos);
    EXPECT_EQ(Call(c, L"EnableDtmfDetection", {Text("5"), Bool(false)}).text, "true");
    ASSERT_EQ(NextMethod(m), "enabledtmfdetection");
    EXPECT_NE(m.find("<value><boolean>0</boolean></value>"), std::string::npos);
    Outcome created = Call(c, L"CreateCall", {Text("pbx:1"), Text("pbx:2")});
    EXPECT_EQ(created.type, VT_BSTR);
    EXPECT_NE(created.text, "0");
    EXPECT_EQ(created.text.find_first_not_of("0123456789"), std::string::npos);
    ASSERT_EQ(NextMethod(m), "createcall");
    EXPECT_EQ(FirstString(m), created.text);
    EXPECT_EQ(Call(c, L"CreateCall", {Text("pbx:1"), Text("200")}).text, "0");
}

TEST_F(Connected, TextsTravelInTheAnsiCodePage) {
    // Whatever the code page, the wire carries the bytes that it gives for the text.
    const std::wstring wide = L"Zo\u00eb \u00e9t\u00e9";
    const std::string expected = NarrowText(wide.data(), wide.size());
    ASSERT_FALSE(expected.empty());
    Bstr text(wide.c_str());
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_BOOL;  // enable
    args[0].boolVal = VARIANT_TRUE;
    args[1].vt = VT_BSTR;  // extensionName
    args[1].bstrVal = text.Get();
    DISPPARAMS params{args, nullptr, 2, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(control->Invoke(10, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.boolVal, VARIANT_TRUE);
    std::string m;
    ASSERT_EQ(NextMethod(m), "incomingcallhandling");
    EXPECT_NE(m.find(expected), std::string::npos);
}

TEST_F(Connected, EventsArriveOnTheHostThreadWithTheirTypes) {
    peer.Send(Notification("callstatechanged", StringParam("42") + IntParam(3)) +
              Notification("callstatechanged", StringParam("42") + IntParam(65537)) +
              Notification("dtmfdigitdetected", StringParam("42") + IntParam(0xE9)) +
              Notification("messageplayed", StringParam("42")));
    ASSERT_TRUE(PumpUntilEvents(4));
    const auto& e = sink->events;
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].id, 1);
    EXPECT_EQ(e[0].args, (std::vector<std::string>{"42", "3"}));
    EXPECT_EQ(e[0].types, (std::vector<VARTYPE>{VT_BSTR, VT_I2}));
    EXPECT_EQ(e[1].args, (std::vector<std::string>{"42", "1"}));
    EXPECT_EQ(e[2].id, 3);
    EXPECT_EQ(e[2].args, (std::vector<std::string>{"42", "-23"}));
    EXPECT_EQ(e[3].id, 2);
    EXPECT_EQ(e[3].args, (std::vector<std::string>{"42"}));
    for (const SeenEvent& event : e)
        EXPECT_EQ(event.thread, GetCurrentThreadId());
    // Every notification was acknowledged with its id.
    for (int i = 0; i < 4; ++i) {
        std::string m;
        ASSERT_TRUE(peer.NextMessage(m));
        EXPECT_EQ(FirstString(m), "42");
    }
}

TEST_F(Connected, OffersMailFaultsAndSubscriptions) {
    std::string m;
    std::string call = Call(control.Get(), L"CreateCall", {Text("pbx:1"), Text("pbx:2")}).text;
    ASSERT_EQ(NextMethod(m), "createcall");
    // Both requests are out before any answer: the worker waits for the host to handle each
    // event, and this thread handles none until it pumps.
    std::string subscription = Call(control.Get(), L"SubscribeToVoiceMail", {Text("100")}).text;
    ASSERT_EQ(NextMethod(m), "subscribe");
    peer.Send(FaultAnswer(7, "busy"));
    peer.Send("<?xml version=\"1.0\"?>\r\n<methodResponse>\r\n<params>\r\n" +
              StringParam(subscription) +
              "<param>\r\n<value><boolean>1</boolean></value>\r\n</param>\r\n" + IntParam(0) +
              "</params>\r\n</methodResponse>\r\n\r\n");
    peer.Send(Notification(
        "process",
        "<param>\r\n<value><struct><member><name>From</name><value><string>SIP:a@h:5060</string>"
        "</value></member><member><name>To</name><value><string>pbx:2</string></value></member>"
        "<member><name>OrigCallID</name><value><string>9</string></value></member></struct>"
        "</value>\r\n</param>\r\n" +
            StringParam("55")));
    peer.Send(Notification(
        "mailarrived",
        StringParam("77") +
            "<param>\r\n<value><struct><member><name>From</name><value><string>tel:5</string>"
            "</value></member><member><name>Time</name><value><dateTime.iso8601>2006-05-04 "
            "13:02:01</dateTime.iso8601></value></member><member><name>Duration</name><value>"
            "<int>12</int></value></member><member><name>MailID</name><value><int>3</int>"
            "</value></member></struct></value>\r\n</param>\r\n"));
    ASSERT_TRUE(PumpUntilEvents(4));
    const auto& e = sink->events;
    EXPECT_EQ(e[0].id, 4);
    EXPECT_EQ(e[0].args, (std::vector<std::string>{call, "7", "busy"}));
    EXPECT_EQ(e[0].types, (std::vector<VARTYPE>{VT_BSTR, VT_I4, VT_BSTR}));
    EXPECT_EQ(e[1].id, 8);
    EXPECT_EQ(e[1].args, (std::vector<std::string>{subscription, "true", "0"}));
    EXPECT_EQ(e[1].types, (std::vector<VARTYPE>{VT_BSTR, VT_BOOL, VT_I4}));
    EXPECT_EQ(e[2].id, 6);
    EXPECT_EQ(e[2].args, (std::vector<std::string>{"55", "sip:a@h:5060", "pbx:2", "9"}));
    EXPECT_EQ(e[3].id, 7);
    EXPECT_EQ(e[3].args,
              (std::vector<std::string>{"77", "tel:5", "2006-05-04 13:02:01", "12", "3"}));
    EXPECT_EQ(e[3].types, (std::vector<VARTYPE>{VT_BSTR, VT_BSTR, VT_BSTR, VT_I4, VT_I4}));
}

TEST_F(Connected, RemoteCloseGivesRequestFailedThenDisconnected) {
    std::string m;
    std::string call = Call(control.Get(), L"CreateCall", {Text("pbx:1"), Text("pbx:2")}).text;
    ASSERT_EQ(NextMethod(m), "createcall");
    peer.CloseConnection();
    ASSERT_TRUE(PumpUntilEvents(2));
    EXPECT_EQ(sink->events[0].id, 4);
    EXPECT_EQ(sink->events[0].args,
              (std::vector<std::string>{call, "102", "Connection closed remotely"}));
    EXPECT_EQ(sink->events[1].id, 5);
    EXPECT_TRUE(sink->events[1].args.empty());
}

TEST_F(Connected, NothingIsFiredAfterDisconnect) {
    EXPECT_EQ(Call(control.Get(), L"Disconnect", {}).text, "true");
    peer.Send(Notification("callstatechanged", StringParam("1") + IntParam(3)));
    PumpFor(300);
    EXPECT_TRUE(sink->events.empty());
}

TEST_F(Connected, FrozenEventsAreDropped) {
    ComPtr<IOleControl> ole;
    ASSERT_EQ(control.As(ole), S_OK);
    ASSERT_EQ(ole->FreezeEvents(TRUE), S_OK);
    peer.Send(Notification("callstatechanged", StringParam("1") + IntParam(3)));
    std::string m;
    ASSERT_TRUE(peer.NextMessage(m));  // acknowledged: the core handled it
    PumpFor(200);
    EXPECT_TRUE(sink->events.empty());
    ASSERT_EQ(ole->FreezeEvents(FALSE), S_OK);
    peer.Send(Notification("callstatechanged", StringParam("2") + IntParam(4)));
    ASSERT_TRUE(PumpUntilEvents(1));
    EXPECT_EQ(sink->events[0].args, (std::vector<std::string>{"2", "4"}));
}

TEST_F(Connected, AHandlerMayCallMethods) {
    sink->onEvent = [&](const SeenEvent& e) {
        EXPECT_EQ(Call(control.Get(), L"CloseCall", {Text(e.args[0])}).text, "true");
    };
    peer.Send(Notification("callstatechanged", StringParam("42") + IntParam(3)));
    ASSERT_TRUE(PumpUntilEvents(1));
    std::string m;
    ASSERT_TRUE(peer.NextMessage(m));  // the acknowledgement
    ASSERT_EQ(NextMethod(m), "closecall");
    EXPECT_EQ(FirstString(m), "42");
}

TEST_F(Connected, ASinkThatDisconnectsInItsHandlerGetsNoMore) {
    sink->onEvent = [&](const SeenEvent&) { Unadvise(control.Get(), cookie); };
    peer.Send(Notification("callstatechanged", StringParam("1") + IntParam(3)));
    ASSERT_TRUE(PumpUntilEvents(1));
    peer.Send(Notification("callstatechanged", StringParam("2") + IntParam(3)));
    PumpFor(300);
    EXPECT_EQ(sink->events.size(), 1u);
    EXPECT_EQ(sink->References(), 1u);
}

TEST_F(Connected, TheHostMayLetGoOfTheControlInsideAHandler) {
    bool released = false;
    sink->onEvent = [&](const SeenEvent&) {
        if (!released) {
            released = true;
            control.Reset();  // the host's last reference
        }
    };
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
