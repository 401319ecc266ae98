// The host's sink for the control's events: an IDispatch connected at the control's connection
// point, which hands each event, by its dispatch id, to the scripting host's handlers.
#pragma once

#include <windows.h>

#include <oaidl.h>
#include <ocidl.h>

#include "com/com_ptr.h"
#include "control/voxtrel_ctrl.h"

namespace voxtrel::com {

class ComEventSink final : public IDispatch {
  public:
    // Connects a new sink to the control's default source interface; null on failure (hr says
    // why). The sink stays connected until Disconnect.
    static ComPtr<ComEventSink> Connect(IUnknown* control, VoxtrelEvents& handlers, HRESULT& hr);
    void Disconnect();

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                               DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

  private:
    explicit ComEventSink(VoxtrelEvents& handlers) : handlers_(handlers) {}
    ~ComEventSink() = default;

    LONG refs_ = 1;
    VoxtrelEvents& handlers_;
    IID eventIid_ = IID_NULL;
    ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
};

}  // namespace voxtrel::com
