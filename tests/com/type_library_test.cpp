// Tests of the control's embedded type library: its identity, the methods and events with their
// ids, names and types, and the control class with its interfaces.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "com/bstr_text.h"
#include "com/type_library.h"
#include "com/voxtrel_tlb.h"

namespace voxtrel::com {
namespace {

struct Member {
    std::string name;
    std::vector<std::string> params;
    std::vector<VARTYPE> types;
    VARTYPE result;
};

// The members of a dispatch interface by dispatch id, with the inherited IDispatch ones left out.
std::map<DISPID, Member> Members(ITypeInfo* info) {
    std::map<DISPID, Member> members;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return members;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(info->GetFuncDesc(i, &func))) continue;
        if (func->memid >= 1 && func->memid < 0x60000000) {
            BSTR names[16] = {};
            UINT count = 0;
            info->GetNames(func->memid, names, 16, &count);
            Member m;
            m.name = NarrowText(names[0]);
            for (UINT n = 1; n < count; ++n)
                m.params.push_back(NarrowText(names[n]));
            for (UINT n = 0; n < count; ++n)
                SysFreeString(names[n]);
            for (SHORT p = 0; p < func->cParams; ++p) {
                m.types.push_back(func->lprgelemdescParam[p].tdesc.vt);
            }
            m.result = func->elemdescFunc.tdesc.vt;
            members[func->memid] = m;
        }
        info->ReleaseFuncDesc(func);
    }
    info->ReleaseTypeAttr(attr);
    return members;
}

// Every expected member, and no other, with its name, parameters and types.
void ExpectMembers(const std::map<DISPID, Member>& actual,
                   const std::map<DISPID, Member>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (const auto& [id, m] : expected) {
        SCOPED_TRACE(m.name);
        ASSERT_EQ(actual.count(id), 1u);
        const Member& a = actual.at(id);
        EXPECT_EQ(a.name, m.name);
        EXPECT_EQ(a.params, m.params);
        EXPECT_EQ(a.types, m.types);
        EXPECT_EQ(a.result, m.result);
    }
}

std::string DocString(ITypeInfo* info) {
    BSTR doc = nullptr;
    info->GetDocumentation(MEMBERID_NIL, nullptr, &doc, nullptr, nullptr);
    std::string text = NarrowText(doc);
    SysFreeString(doc);
    return text;
}

std::string Name(ITypeInfo* info) {
    BSTR name = nullptr;
    info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    std::string text = NarrowText(name);
    SysFreeString(name);
    return text;
}

class TypeLibrary : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(LoadTypeInfos(types), S_OK); }
    TypeInfos types;
};

TEST_F(TypeLibrary, IsVoxtrelLib10) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(types.library->GetLibAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_VOXTRELLib));
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    types.library->ReleaseTLibAttr(attr);
    BSTR name = nullptr;
    BSTR doc = nullptr;
    ASSERT_EQ(types.library->GetDocumentation(-1, &name, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(NarrowText(name), "VOXTRELLib");
    EXPECT_EQ(NarrowText(doc), "Voxtrel ActiveX Control module");
    SysFreeString(name);
    SysFreeString(doc);
}

TEST_F(TypeLibrary, DispatchInterfaceHasTheFifteenMethodsInTableOrder) {
    EXPECT_EQ(Name(types.dispatch.Get()), "_DVoxtrel");
    EXPECT_EQ(DocString(types.dispatch.Get()), "Dispatch interface for Voxtrel Control");
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(types.dispatch->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_TRUE(IsEqualGUID(attr->guid, DIID__DVoxtrel));
    types.dispatch->ReleaseTypeAttr(attr);

    const VARTYPE S = VT_BSTR, B = VT_BOOL;
    const std::map<DISPID, Member> expected = {
        {1,
         {"Connect",
          {"serverAddress", "serverPort", "timeout", "username", "password"},
          {S, VT_I2, VT_I4, S, S},
          B}},
        {2, {"Disconnect", {}, {}, B}},
        {3, {"CreateCall", {"from", "to"}, {S, S}, S}},
        {4, {"CloseCall", {"callID"}, {S}, B}},
        {5, {"TransferCall", {"callID", "to"}, {S, S}, B}},
        {6, {"JoinCalls", {"callID", "callIDtoJoin"}, {S, S}, B}},
        {7, {"UnjoinCalls", {"callID", "callIDtoUnjoin"}, {S, S}, B}},
        {8, {"PlayMessage", {"callID", "fileName", "playCount"}, {S, S, VT_I2}, B}},
        {9, {"EnableDtmfDetection", {"callID", "onoff"}, {S, B}, B}},
        {10, {"IncomingCallHandling", {"extensionName", "enable"}, {S, B}, B}},
        {11, {"AcceptCall", {"callID", "callerID", "callerDispName"}, {S, S, S}, B}},
        {12, {"RejectCall", {"callID"}, {S}, B}},
        {13, {"ForwardCall", {"callID", "callee", "callerID", "callerDispName"}, {S, S, S, S}, B}},
        {14, {"SubscribeToVoiceMail", {"extensionName"}, {S}, S}},
        {15, {"Unsubscribe", {"subscrID"}, {S}, B}},
    };
    ExpectMembers(Members(types.dispatch.Get()), expected);
}

TEST_F(TypeLibrary, EventInterfaceHasTheEightEvents) {
    EXPECT_EQ(Name(types.events.Get()), "_DVoxtrelEvents");
    EXPECT_EQ(DocString(types.events.Get()), "Event interface for Voxtrel Control");
    const VARTYPE S = VT_BSTR, V = VT_VOID;
    const std::map<DISPID, Member> expected = {
        {1, {"CallStateChanged", {"callID", "callState"}, {S, VT_I2}, V}},
        {2, {"MessagePlayed", {"callID"}, {S}, V}},
        {3, {"DtmfDigitReceived", {"callID", "digit"}, {S, VT_I2}, V}},
        {4, {"RequestFailed", {"callID", "failureCode", "failureString"}, {S, VT_I4, S}, V}},
        {5, {"Disconnected", {}, {}, V}},
        {6, {"CallArrived", {"callID", "caller", "callee", "origCallID"}, {S, S, S, S}, V}},
        {7,
         {"MailArrived",
          {"subscrID", "caller", "time", "duration", "id"},
          {S, S, S, VT_I4, VT_I4},
          V}},
        {8,
         {"SubscriptionConfirmed", {"subscrID", "confirmed", "errorCode"}, {S, VT_BOOL, VT_I4}, V}},
    };
    ExpectMembers(Members(types.events.Get()), expected);
}

TEST_F(TypeLibrary, ControlClassDefaultsToTheDispatchAndEventInterfaces) {
    EXPECT_EQ(Name(types.coclass.Get()), "Voxtrel");
    EXPECT_EQ(DocString(types.coclass.Get()), "Voxtrel Control");
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(types.coclass->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_TRUE(IsEqualGUID(attr->guid, CLSID_Voxtrel));
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FCONTROL);
    ASSERT_EQ(attr->cImplTypes, 2);
    types.coclass->ReleaseTypeAttr(attr);
    bool sawDefault = false;
    bool sawSource = false;
    for (UINT i = 0; i < 2; ++i) {
        INT flags = 0;
        HREFTYPE ref = 0;
        ITypeInfo* implemented = nullptr;
        ASSERT_EQ(types.coclass->GetImplTypeFlags(i, &flags), S_OK);
        ASSERT_EQ(types.coclass->GetRefTypeOfImplType(i, &ref), S_OK);
        ASSERT_EQ(types.coclass->GetRefTypeInfo(ref, &implemented), S_OK);
        const std::string name = Name(implemented);
        implemented->Release();
        EXPECT_TRUE(flags & IMPLTYPEFLAG_FDEFAULT);
        if (flags & IMPLTYPEFLAG_FSOURCE) {
            EXPECT_EQ(name, "_DVoxtrelEvents");
            sawSource = true;
        } else {
            EXPECT_EQ(name, "_DVoxtrel");
            sawDefault = true;
        }
    }
    EXPECT_TRUE(sawDefault);
    EXPECT_TRUE(sawSource);
}

TEST_F(TypeLibrary, VtableBehindTheDispatchInterfaceIsHidden) {
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(types.methods->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FHIDDEN);
    types.methods->ReleaseTypeAttr(attr);
    // Same names and ids as _DVoxtrel, so that dispatching through it is dispatching _DVoxtrel.
    std::map<DISPID, Member> vtable = Members(types.methods.Get());
    std::map<DISPID, Member> dispatch = Members(types.dispatch.Get());
    ASSERT_EQ(vtable.size(), 15u);
    for (const auto& [id, m] : dispatch) {
        ASSERT_EQ(vtable.count(id), 1u);
        EXPECT_EQ(vtable.at(id).name, m.name);
        std::vector<std::string> params = vtable.at(id).params;
        if (!params.empty() && params.back() == "result") params.pop_back();  // [out, retval]
        EXPECT_EQ(params, m.params);
    }
}

}  // namespace
}  // namespace voxtrel::com
