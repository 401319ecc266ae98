// Helpers of the ActiveX control's tests: a COM apartment for the test's thread, calls through
// IDispatch by name, an event sink that records what it receives, and a message pump with a limit.
#pragma once

#include <windows.h>

#include <oaidl.h>
#include <ocidl.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "com/com_ptr.h"

namespace voxtrel::com::testing {

class ComApartment {
  public:
    ComApartment() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT Result() const { return hr_; }

  private:
    HRESULT hr_;
};

// Pumps this thread's messages until done() holds or timeoutMs have passed; done()'s last answer.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs);
void PumpFor(int timeoutMs);

// One argument of a call through IDispatch.
struct Arg {
    VARTYPE type;
    std::string text;
    long number;
};
inline Arg Text(const std::string& text) {
    return {VT_BSTR, text, 0};
}
inline Arg Short(short value) {
    return {VT_I2, {}, value};
}
inline Arg Long(long value) {
    return {VT_I4, {}, value};
}
inline Arg Bool(bool value) {
    return {VT_BOOL, {}, value ? 1 : 0};
}

// What a call answered: the HRESULT, the result's type, and the result as text ("true", "false",
// or the string's bytes).
struct Outcome {
    HRESULT hr = E_FAIL;
    VARTYPE type = VT_EMPTY;
    std::string text;
};

// Calls a method by name, arguments in the method table's order.
Outcome Call(IDispatch* control, const wchar_t* name, std::initializer_list<Arg> args);
// The same, by dispatch id, with the flags and interface id given.
Outcome CallId(IDispatch* control, DISPID id, std::initializer_list<Arg> args,
               WORD flags = DISPATCH_METHOD, REFIID iid = IID_NULL);

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
    static ComPtr<RecordingSink> Make();

    std::vector<SeenEvent> events;
    // Runs inside Invoke, after the event was recorded.
    std::function<void(const SeenEvent&)> onEvent;
    ULONG References() const { return static_cast<ULONG>(refs_); }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override;

  private:
    RecordingSink() = default;
    ~RecordingSink() = default;
    LONG refs_ = 1;
};

// Connects sink to the control's event connection point; the cookie, or 0.
DWORD Advise(IUnknown* control, IDispatch* sink);
void Unadvise(IUnknown* control, DWORD cookie);

}  // namespace voxtrel::com::testing
