// The control's class factory: makes control objects, and holds the module loaded while locked.
#include "com/class_factory.h"

#include <new>

#include "com/module.h"
#include "com/voxtrel_object.h"

namespace voxtrel::com {

namespace {

class VoxtrelClassFactory final : public IClassFactory {
  public:
    VoxtrelClassFactory() { LockModule(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return VoxtrelObject::Create(iid, out);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            LockModule();
        } else {
            UnlockModule();
        }
        return S_OK;
    }

  private:
    ~VoxtrelClassFactory() { UnlockModule(); }

    LONG refs_ = 1;
};

}  // namespace

HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (clsid != CLSID_Voxtrel) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) VoxtrelClassFactory;
    if (!factory) return E_OUTOFMEMORY;
    HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

}  // namespace voxtrel::com
