// The ActiveX control tests' helpers.
#include "com_test_support.h"

#include <new>

#include "com/bstr_text.h"
#include "com/dispatch_args.h"
#include "com/voxtrel_tlb.h"

namespace voxtrel::com::testing {

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

void PumpFor(int timeoutMs) {
    PumpUntil(nullptr, timeoutMs);
}

namespace {

std::string VariantText(const VARIANT& value) {
    switch (value.vt) {
        case VT_BOOL:
            return value.boolVal ? "true" : "false";
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

Outcome CallId(IDispatch* control, DISPID id, std::initializer_list<Arg> args, WORD flags,
               REFIID iid) {
    DispatchArgs values;
    for (const Arg& arg : args) {
        switch (arg.type) {
            case VT_BSTR:
                values.Text(arg.text);
                break;
            case VT_I2:
                values.Short(static_cast<int16_t>(arg.number));
                break;
            case VT_BOOL:
                values.Bool(arg.number != 0);
                break;
            default:
                values.Long(arg.number);
                break;
        }
    }
    DISPPARAMS params = values.Params();
    VARIANT result;
    VariantInit(&result);
    Outcome outcome;
    UINT argError = 0;
    outcome.hr =
        control->Invoke(id, iid, LOCALE_USER_DEFAULT, flags, &params, &result, nullptr, &argError);
    outcome.type = result.vt;
    outcome.text = VariantText(result);
    VariantClear(&result);
    return outcome;
}

Outcome Call(IDispatch* control, const wchar_t* name, std::initializer_list<Arg> args) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return Outcome{hr, VT_EMPTY, {}};
    return CallId(control, id, args);
}

ComPtr<RecordingSink> RecordingSink::Make() {
    return ComPtr<RecordingSink>::Adopt(new RecordingSink);
}

STDMETHODIMP RecordingSink::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__DVoxtrelEvents) {
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) RecordingSink::AddRef() {
    return InterlockedIncrement(&refs_);
}

STDMETHODIMP_(ULONG) RecordingSink::Release() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
}

STDMETHODIMP RecordingSink::GetTypeInfoCount(UINT* count) {
    *count = 0;
    return S_OK;
}

STDMETHODIMP RecordingSink::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    *info = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP RecordingSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
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

DWORD Advise(IUnknown* control, IDispatch* sink) {
    ComPtr<IUnknown> object = ComPtr<IUnknown>::Share(control);
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    if (FAILED(object.As(container)) ||
        FAILED(container->FindConnectionPoint(DIID__DVoxtrelEvents, point.Put())) ||
        FAILED(point->Advise(sink, &cookie))) {
        return 0;
    }
    return cookie;
}

void Unadvise(IUnknown* control, DWORD cookie) {
    ComPtr<IUnknown> object = ComPtr<IUnknown>::Share(control);
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(object.As(container)) &&
        SUCCEEDED(container->FindConnectionPoint(DIID__DVoxtrelEvents, point.Put()))) {
        point->Unadvise(cookie);
    }
}

}  // namespace voxtrel::com::testing
