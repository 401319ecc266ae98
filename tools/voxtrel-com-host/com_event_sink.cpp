// Receiving the control's events: the event interface is found through the control's class
// information, and each event's arguments are read by position and converted to their types.
#include "com_event_sink.h"

#include <iterator>
#include <new>

#include "com/bstr_text.h"

namespace voxtrel::com {

namespace {

// One argument, counted from the first parameter (DISPPARAMS holds them last first).
class EventArgs {
  public:
    explicit EventArgs(const DISPPARAMS* params) : params_(params) {}

    bool Has(UINT count) const { return count == 0 || (params_ && params_->cArgs >= count); }

    std::string Text(UINT index) const {
        VARIANT v = Converted(index, VT_BSTR);
        std::string text = v.vt == VT_BSTR ? NarrowText(v.bstrVal) : std::string();
        VariantClear(&v);
        return text;
    }
    int16_t Short(UINT index) const {
        VARIANT v = Converted(index, VT_I2);
        return v.vt == VT_I2 ? v.iVal : 0;
    }
    int32_t Long(UINT index) const {
        VARIANT v = Converted(index, VT_I4);
        return v.vt == VT_I4 ? v.lVal : 0;
    }
    bool Bool(UINT index) const {
        VARIANT v = Converted(index, VT_BOOL);
        return v.vt == VT_BOOL && v.boolVal != VARIANT_FALSE;
    }

  private:
    VARIANT Converted(UINT index, VARTYPE type) const {
        VARIANT v;
        VariantInit(&v);
        VARIANTARG* arg = &params_->rgvarg[params_->cArgs - 1 - index];
        if (FAILED(VariantChangeType(&v, arg, 0, type))) VariantInit(&v);
        return v;
    }

    const DISPPARAMS* params_;
};

}  // namespace

ComPtr<ComEventSink> ComEventSink::Connect(IUnknown* control, VoxtrelEvents& handlers,
                                           HRESULT& hr) {
    ComPtr<IUnknown> object = ComPtr<IUnknown>::Share(control);
    ComPtr<IProvideClassInfo2> classInfo;
    ComPtr<IConnectionPointContainer> container;
    auto sink = ComPtr<ComEventSink>::Adopt(new (std::nothrow) ComEventSink(handlers));
    if (!sink) {
        hr = E_OUTOFMEMORY;
        return nullptr;
    }
    if (FAILED(hr = object.As(classInfo)) ||
        FAILED(hr = classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &sink->eventIid_)) ||
        FAILED(hr = object.As(container)) ||
        FAILED(hr = container->FindConnectionPoint(sink->eventIid_, sink->point_.Put())) ||
        FAILED(hr = sink->point_->Advise(static_cast<IDispatch*>(sink.Get()), &sink->cookie_))) {
        sink->point_.Reset();
        return nullptr;
    }
    return sink;
}

void ComEventSink::Disconnect() {
    if (!point_) return;
    ComPtr<IConnectionPoint> point = std::move(point_);
    point->Unadvise(cookie_);
    cookie_ = 0;
}

STDMETHODIMP ComEventSink::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == eventIid_) {
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ComEventSink::AddRef() {
    return InterlockedIncrement(&refs_);
}

STDMETHODIMP_(ULONG) ComEventSink::Release() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
}

STDMETHODIMP ComEventSink::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP ComEventSink::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP ComEventSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

STDMETHODIMP ComEventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                  EXCEPINFO*, UINT*) {
    const ControlMember* event = FindMember(kControlEvents, id);
    if (event == nullptr) return DISP_E_MEMBERNOTFOUND;
    EventArgs a(params);
    // An event short of arguments is dropped.
    if (!a.Has(static_cast<UINT>(event->count))) return S_OK;
    try {
        ControlValue values[std::size(event->params)];
        for (UINT i = 0; i < event->count; ++i) {
            switch (event->params[i].type) {
                case ControlType::Text:
                    values[i].text = a.Text(i);
                    break;
                case ControlType::Short:
                    values[i].number = a.Short(i);
                    break;
                case ControlType::Long:
                    values[i].number = a.Long(i);
                    break;
                case ControlType::Bool:
                    values[i].number = a.Bool(i) ? 1 : 0;
                    break;
            }
        }
        handlers_.OnEvent(*event, std::span<const ControlValue>(values, event->count));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

}  // namespace voxtrel::com
