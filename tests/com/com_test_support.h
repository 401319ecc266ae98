// Helpers of the ActiveX control's tests: a COM apartment, calls through IDispatch, an event sink
// that records what it receives, a message pump with a limit, and the members the IDL declares.
#pragma once

#include <windows.h>

#include <oaidl.h>
#include <ocidl.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "com/com_ptr.h"

namespace voxtrel::com::testing {

class ComApartment {
  public:
    ComApartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComApartment() { CoUninitialize(); }
};

// Pumps this thread's messages until done() holds or timeoutMs have passed; done()'s last answer.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs);
// The reference count of an object, as AddRef and Release report it.
ULONG Refs(IUnknown* object);

// Arguments of a call through IDispatch, freed by the call.
VARIANT Arg(VARTYPE type, long number, const std::string& text = {});
inline const auto Text = [](const std::string& text) { return Arg(VT_BSTR, 0, text); };
inline const auto Short = [](short value) { return Arg(VT_I2, value); };
inline const auto Long = [](long value) { return Arg(VT_I4, value); };
inline const auto Bool = [](bool value) { return Arg(VT_BOOL, value ? VARIANT_TRUE : 0); };

// What a call answered: the HRESULT, the result's type and text ("true", "false", the string's
// bytes, the number).
struct Outcome {
    HRESULT hr = E_FAIL;
    VARTYPE type = VT_EMPTY;
    std::string text;
};
// Calls a method by name, arguments in parameter order.
Outcome Call(IDispatch* control, const wchar_t* name, std::vector<VARIANT> args,
             WORD flags = DISPATCH_METHOD);
Outcome CallId(IDispatch* control, DISPID id, std::vector<VARIANT> args,
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
    static ComPtr<RecordingSink> Make() { return ComPtr<RecordingSink>::Adopt(new RecordingSink); }
    std::vector<SeenEvent> events;
    // Runs inside Invoke, after the event was recorded.
    std::function<void(const SeenEvent&)> onEvent;
    ULONG References() const { return static_cast<ULONG>(refs_); }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override;

  private:
    RecordingSink() = default;
    LONG refs_ = 1;
};

// Connects sink to the control's event connection point; the cookie, or 0.
DWORD Advise(IUnknown* control, IDispatch* sink);
void Unadvise(IUnknown* control, DWORD cookie);

// A new control from the control's class factory.
ComPtr<IDispatch> NewControl();

// A method or event of a dispatch interface, as voxtrel.idl (the file itself, embedded in the test
// program) or a type library declares it.
struct Member {
    DISPID id;
    std::string name;
    std::vector<std::string> params;
    std::vector<VARTYPE> types;
    VARTYPE result;
    bool operator==(const Member&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Member& m) {
    out << m.id << ' ' << m.name << " result " << m.result << " types";
    for (VARTYPE type : m.types)
        out << ' ' << type;
    for (const std::string& param : m.params)
        out << ' ' << param;
    return out;
}
std::vector<Member> IdlMembers(const std::string& dispinterface);
std::vector<Member> TypeInfoMembers(ITypeInfo* info);
std::string TypeName(ITypeInfo* info);

}  // namespace voxtrel::com::testing
