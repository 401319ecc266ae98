// Helpers of the ActiveX control's tests: a COM apartment, calls through IDispatch, an event sink
// that records what it receives, a message pump with a limit, and the members the IDL declares.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "com/bstr_text.h"
#include "com/class_factory.h"
#include "com/com_ptr.h"
#include "com/module.h"
#include "com/voxtrel_tlb.h"

namespace voxtrel::com::testing {

struct ComApartment {
    ComApartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComApartment() { CoUninitialize(); }
};

// Pumps this thread's messages until done() holds or timeoutMs have passed; done()'s last answer.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    for (const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        if (done && done()) return true;
        if (GetTickCount64() >= end) return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

// After the suites nothing of the control is alive: a reference never released keeps it locked.
struct NothingLeft : ::testing::Environment {
    void TearDown() override {
        EXPECT_TRUE(PumpUntil([] { return !ModuleInUse(); }, 5000)) << "a control was leaked";
    }
};
inline const auto* nothingLeft = ::testing::AddGlobalTestEnvironment(new NothingLeft);

// The reference count of an object, as AddRef and Release report it.
inline const auto Refs = [](IUnknown* object) { return object->AddRef(), object->Release(); };

// Arguments of a call through IDispatch, freed by the call.
inline VARIANT Arg(VARTYPE type, long number, const std::string& text = {}) {
    VARIANT v{};
    v.vt = type;
    v.lVal = number;  // and the shorter numbers in its low bytes
    if (type == VT_BSTR) v.bstrVal = AllocWideText(text);
    return v;
}
inline const auto Text = [](const std::string& text) { return Arg(VT_BSTR, 0, text); };
inline const auto Short = [](short value) { return Arg(VT_I2, value); };
inline const auto Long = [](long value) { return Arg(VT_I4, value); };
inline const auto Bool = [](bool value) { return Arg(VT_BOOL, value ? VARIANT_TRUE : 0); };

// A result or an event's argument as text: "true", "false", the string's bytes, the number.
inline std::string VariantText(const VARIANT& value) {
    if (value.vt == VT_BOOL)  // a script compares with True, which is VARIANT_TRUE alone
        return value.boolVal == VARIANT_TRUE ? "true" : value.boolVal ? "not a BOOL" : "false";
    VARIANT text = Arg(VT_EMPTY, 0);
    VariantChangeType(&text, const_cast<VARIANT*>(&value), 0, VT_BSTR);
    std::string narrow = text.vt == VT_BSTR ? NarrowText(text.bstrVal) : "?";
    VariantClear(&text);
    return narrow;
}

// What a call answered: the HRESULT, the result's type and text.
struct Outcome {
    HRESULT hr = E_FAIL;
    VARTYPE type = VT_EMPTY;
    std::string text;
};
// Calls a method by id or name, arguments in parameter order.
inline Outcome CallId(IDispatch* control, DISPID id, std::vector<VARIANT> args,
                      WORD flags = DISPATCH_METHOD, REFIID iid = IID_NULL) {
    std::vector<VARIANT> values(std::rbegin(args), std::rend(args));  // last parameter first
    DISPPARAMS params{values.data(), nullptr, static_cast<UINT>(values.size()), 0};
    VARIANT result = Arg(VT_EMPTY, 0);
    Outcome o;
    o.hr = control->Invoke(id, iid, LOCALE_USER_DEFAULT, flags, &params, &result, nullptr, nullptr);
    o.type = result.vt;
    o.text = VariantText(result);
    VariantClear(&result);
    for (VARIANT& v : values)
        VariantClear(&v);
    return o;
}
inline Outcome Call(IDispatch* control, const wchar_t* name, std::vector<VARIANT> args,
                    WORD flags = DISPATCH_METHOD) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    const HRESULT hr = control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    Outcome o = CallId(control, id, std::move(args), flags);
    if (FAILED(hr)) o.hr = hr;
    return o;
}

// One event as a sink received it: id, argument types and texts in parameter order, thread.
struct SeenEvent {
    DISPID id;
    std::vector<VARTYPE> types;
    std::vector<std::string> args;
    DWORD thread;
};

// Answers IUnknown, IDispatch and the control's event interface.
class RecordingSink final : public IDispatch {
  public:
    static ComPtr<RecordingSink> Make() { return ComPtr<RecordingSink>::Adopt(new RecordingSink); }
    std::vector<SeenEvent> events;
    std::function<void(const SeenEvent&)> onEvent;  // runs in Invoke after the recording
    ULONG References() const { return static_cast<ULONG>(refs_); }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        const bool known =
            iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__DVoxtrelEvents;
        *out = known ? static_cast<IDispatch*>(this) : nullptr;
        return known ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        SeenEvent seen{id, {}, {}, GetCurrentThreadId()};
        for (UINT i = params->cArgs; i > 0; --i) {
            seen.types.push_back(params->rgvarg[i - 1].vt);
            seen.args.push_back(VariantText(params->rgvarg[i - 1]));
        }
        events.push_back(seen);
        if (onEvent) onEvent(seen);
        return S_OK;
    }

  private:
    RecordingSink() = default;
    LONG refs_ = 1;
};

// Connects sink to the control's event connection point (the cookie, or 0) and disconnects it.
inline ComPtr<IConnectionPoint> EventPoint(IUnknown* control) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(ComPtr<IUnknown>::Share(control).As(container)))
        container->FindConnectionPoint(DIID__DVoxtrelEvents, point.Put());
    return point;
}
inline const auto Advise = [](IUnknown* control, IDispatch* sink) {
    DWORD cookie = 0;
    return EventPoint(control)->Advise(sink, &cookie), cookie;
};
inline const auto Unadvise = [](IUnknown* c, DWORD cookie) { EventPoint(c)->Unadvise(cookie); };

// A new control from the control's class factory.
inline ComPtr<IDispatch> NewControl() {
    ComPtr<IClassFactory> factory;
    ComPtr<IDispatch> control;
    GetClassObject(CLSID_Voxtrel, IID_IClassFactory, reinterpret_cast<void**>(factory.Put()));
    factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(control.Put()));
    return control;
}

// A method or event of a dispatch interface as voxtrel.idl (embedded in the test program) declares
// it: id, name, parameter types, result type.
struct Member {
    DISPID id;
    std::string name;
    std::vector<VARTYPE> types;
    VARTYPE result;
};
inline std::vector<Member> IdlMembers(const std::string& dispinterface) {
    HRSRC found = FindResourceW(nullptr, L"VOXTREL_IDL", MAKEINTRESOURCEW(10));  // RT_RCDATA
    const std::string idl(static_cast<const char*>(LockResource(LoadResource(nullptr, found))),
                          SizeofResource(nullptr, found));
    const size_t start = idl.find("dispinterface " + dispinterface + "\n");
    if (start == std::string::npos) return {};
    const std::string body = idl.substr(start, idl.find("};", start) - start);  // to its brace
    auto type = [](const std::string& name) -> VARTYPE {
        for (auto [idlName, vt] : {std::pair{"BSTR", VT_BSTR},
                                   {"short", VT_I2},
                                   {"long", VT_I4},
                                   {"VARIANT_BOOL", VT_BOOL}})
            if (name == idlName) return vt;
        return VT_VOID;
    };
    std::vector<Member> members;
    const std::regex method(R"(\[id\((\d+)\)\]\s*(\w+)\s+(\w+)\(([^)]*)\))"),
        param(R"((\w+)\s+\w+)");
    for (std::sregex_iterator m(body.begin(), body.end(), method), end; m != end; ++m) {
        members.push_back({std::stoi((*m)[1]), (*m)[3], {}, type((*m)[2])});
        const std::string params = (*m)[4];
        for (std::sregex_iterator p(params.begin(), params.end(), param); p != end; ++p)
            members.back().types.push_back(type((*p)[1]));
    }
    return members;
}

}  // namespace voxtrel::com::testing
