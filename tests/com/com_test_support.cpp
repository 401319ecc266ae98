// The ActiveX control tests' helpers.
#include "com_test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "com/bstr_text.h"
#include "com/class_factory.h"
#include "com/module.h"
#include "com/voxtrel_tlb.h"

namespace voxtrel::com::testing {

namespace {

// After the suites nothing of the control is alive: a reference never released keeps it locked.
class NothingLeft : public ::testing::Environment {
    void TearDown() override {
        EXPECT_TRUE(PumpUntil([] { return !ModuleInUse(); }, 5000)) << "a control was leaked";
    }
};
const auto* nothingLeft = ::testing::AddGlobalTestEnvironment(new NothingLeft);

}  // namespace

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done && done()) return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return done ? done() : false;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

ULONG Refs(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

VARIANT Arg(VARTYPE type, long number, const std::string& text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = type;
    v.lVal = number;  // and the shorter numbers in its low bytes
    if (type == VT_BSTR) v.bstrVal = AllocWideText(text);
    return v;
}

namespace {

std::string VariantText(const VARIANT& value) {
    switch (value.vt) {
        case VT_BOOL:  // a script compares with True, which is VARIANT_TRUE alone
            return value.boolVal == VARIANT_TRUE ? "true" : value.boolVal ? "not a BOOL" : "false";
        case VT_BSTR:
            return NarrowText(value.bstrVal);
        case VT_I2:
            return std::to_string(value.iVal);
        case VT_I4:
            return std::to_string(value.lVal);
        default:
            return "?";
    }
}

}  // namespace

Outcome CallId(IDispatch* control, DISPID id, std::vector<VARIANT> args, WORD flags, REFIID iid) {
    std::vector<VARIANT> values(std::rbegin(args), std::rend(args));  // last parameter first
    DISPPARAMS params{values.data(), nullptr, static_cast<UINT>(values.size()), 0};
    VARIANT result = Arg(VT_EMPTY, 0);
    Outcome outcome;
    outcome.hr =
        control->Invoke(id, iid, LOCALE_USER_DEFAULT, flags, &params, &result, nullptr, nullptr);
    outcome.type = result.vt;
    outcome.text = VariantText(result);
    VariantClear(&result);
    for (VARIANT& v : values)
        VariantClear(&v);
    return outcome;
}

Outcome Call(IDispatch* control, const wchar_t* name, std::vector<VARIANT> args, WORD flags) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (SUCCEEDED(hr)) return CallId(control, id, args, flags);
    for (VARIANT& v : args)
        VariantClear(&v);
    Outcome refused;
    refused.hr = hr;
    return refused;
}

STDMETHODIMP RecordingSink::QueryInterface(REFIID iid, void** out) {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__DVoxtrelEvents) {
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) RecordingSink::Release() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
}

STDMETHODIMP RecordingSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) {
    SeenEvent seen{id, {}, {}, GetCurrentThreadId()};
    for (UINT i = params->cArgs; i > 0; --i) {
        seen.types.push_back(params->rgvarg[i - 1].vt);
        seen.args.push_back(VariantText(params->rgvarg[i - 1]));
    }
    events.push_back(seen);
    // Kept alive through the handler: it may disconnect this sink.
    AddRef();
    if (onEvent) onEvent(seen);
    Release();
    return S_OK;
}

namespace {

ComPtr<IConnectionPoint> EventPoint(IUnknown* control) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(ComPtr<IUnknown>::Share(control).As(container)))
        container->FindConnectionPoint(DIID__DVoxtrelEvents, point.Put());
    return point;
}

}  // namespace

DWORD Advise(IUnknown* control, IDispatch* sink) {
    DWORD cookie = 0;
    if (ComPtr<IConnectionPoint> point = EventPoint(control)) point->Advise(sink, &cookie);
    return cookie;
}

void Unadvise(IUnknown* control, DWORD cookie) {
    if (ComPtr<IConnectionPoint> point = EventPoint(control)) point->Unadvise(cookie);
}

ComPtr<IDispatch> NewControl() {
    ComPtr<IClassFactory> factory;
    ComPtr<IDispatch> control;
    if (SUCCEEDED(GetClassObject(CLSID_Voxtrel, IID_IClassFactory,
                                 reinterpret_cast<void**>(factory.Put()))))
        factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(control.Put()));
    return control;
}

std::vector<Member> IdlMembers(const std::string& dispinterface) {
    HRSRC found = FindResourceW(nullptr, L"VOXTREL_IDL", MAKEINTRESOURCEW(10));  // RT_RCDATA
    if (!found) return {};
    const std::string idl(static_cast<const char*>(LockResource(LoadResource(nullptr, found))),
                          SizeofResource(nullptr, found));
    // The interface's body: from its name to the end of its braces.
    const size_t start = idl.find("dispinterface " + dispinterface + "\n");
    if (start == std::string::npos) return {};
    const std::string body = idl.substr(start, idl.find("};", start) - start);
    static const std::map<std::string, VARTYPE> types = {{"BSTR", VT_BSTR},
                                                         {"short", VT_I2},
                                                         {"long", VT_I4},
                                                         {"VARIANT_BOOL", VT_BOOL},
                                                         {"void", VT_VOID}};
    auto type = [](const std::string& name) -> VARTYPE {
        return types.count(name) ? types.at(name) : VARTYPE{VT_EMPTY};
    };
    std::vector<Member> members;
    const std::regex method(R"(\[id\((\d+)\)\]\s*(\w+)\s+(\w+)\(([^)]*)\))");
    const std::regex param(R"((\w+)\s+(\w+))");
    for (std::sregex_iterator m(body.begin(), body.end(), method), end; m != end; ++m) {
        Member member{std::stoi((*m)[1]), (*m)[3], {}, {}, type((*m)[2])};
        const std::string params = (*m)[4];
        for (std::sregex_iterator p(params.begin(), params.end(), param); p != end; ++p) {
            member.types.push_back(type((*p)[1]));
            member.params.push_back((*p)[2]);
        }
        members.push_back(member);
    }
    return members;
}

std::vector<Member> TypeInfoMembers(ITypeInfo* info) {
    std::vector<Member> members;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return members;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(info->GetFuncDesc(i, &func))) continue;
        // IDispatch's own members, which a dispatch interface inherits, have reserved ids.
        if (func->memid > 0 && func->memid < 0x60000000) {
            BSTR names[16] = {};
            UINT count = 0;
            info->GetNames(func->memid, names, 16, &count);
            Member m{func->memid, NarrowText(names[0]), {}, {}, func->elemdescFunc.tdesc.vt};
            for (UINT n = 1; n < count; ++n)
                m.params.push_back(NarrowText(names[n]));
            for (UINT n = 0; n < count; ++n)
                SysFreeString(names[n]);
            for (SHORT p = 0; p < func->cParams; ++p)
                m.types.push_back(func->lprgelemdescParam[p].tdesc.vt);
            members.push_back(m);
        }
        info->ReleaseFuncDesc(func);
    }
    info->ReleaseTypeAttr(attr);
    return members;
}

std::string TypeName(ITypeInfo* info) {
    BSTR name = nullptr;
    info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    std::string text = NarrowText(name);
    SysFreeString(name);
    return text;
}

}  // namespace voxtrel::com::testing
