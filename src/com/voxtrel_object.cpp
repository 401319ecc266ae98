// The control object's identity and scripting face: creation, interface lookup, IDispatch through
// the type library, the fifteen methods, class information, the connection point and event firing.
#include "com/voxtrel_object.h"

#include <olectl.h>

#include <new>
#include <vector>

#include "com/bstr_text.h"
#include "com/deferred_destruction.h"
#include "com/dispatch_args.h"
#include "com/enumerator.h"
#include "com/module.h"
#include "com/resource_ids.h"

namespace voxtrel::com {

namespace {

// Every method answers by its result alone; the only failures that reach the caller as HRESULTs
// are a missing result slot and exhausted memory. No exception leaves the object.
template <class Call>
HRESULT AnswerBool(VARIANT_BOOL* result, Call&& call) {
    if (!result) return E_POINTER;
    *result = VARIANT_FALSE;
    try {
        *result = call() ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

template <class Call>
HRESULT AnswerText(BSTR* result, Call&& call) {
    if (!result) return E_POINTER;
    *result = nullptr;
    try {
        *result = AllocWideText(call());
        return *result ? S_OK : E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// A BOOL argument reaches the core as the 32-bit flag a C BOOL would be: TRUE is 1.
int32_t Flag(VARIANT_BOOL value) {
    return value != VARIANT_FALSE ? 1 : 0;
}

// The vtable interface that the type library's Invoke calls has the list's methods with the list's
// types (a VARIANT_BOOL is a short to the compiler, so those two alone look alike).
template <ControlType type>
using ComType = std::conditional_t<type == ControlType::Text, BSTR,
                                   std::conditional_t<type == ControlType::Long, LONG, short>>;
#define VOXTREL_COM_ARG(type, name) Exactly<ComType<ControlType::type>>()
#define VOXTREL_COM_CHECK(id, name, c_name, result, ...)                                          \
    static_assert(                                                                                \
        std::is_same_v<decltype(std::declval<IVoxtrelMethods&>().name(                            \
                           __VA_ARGS__ __VA_OPT__(, ) Exactly<ComType<ControlType::result>*>())), \
                       HRESULT>);
VOXTREL_METHODS(VOXTREL_COM_CHECK, VOXTREL_COM_ARG)
#undef VOXTREL_COM_CHECK
#undef VOXTREL_COM_ARG

using ConnectionPointEnumerator =
    Enumerator<IEnumConnectionPoints, IConnectionPoint*, InterfaceItemTraits<IConnectionPoint>>;

}  // namespace

VoxtrelObject::VoxtrelObject()
    : events_(static_cast<IConnectionPointContainer&>(*this), DIID__DVoxtrelEvents) {
    LockModule();
}

VoxtrelObject::~VoxtrelObject() {
    window_.Destroy();
    if (core_) {
        core_->SetEventSink(nullptr);
        core_.reset();
    }
    events_.DisconnectAll();
    if (icon_) DestroyIcon(icon_);
    UnlockModule();
}

HRESULT VoxtrelObject::Create(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    auto* object = new (std::nothrow) VoxtrelObject;
    if (!object) return E_OUTOFMEMORY;
    HRESULT hr = object->Init();
    if (SUCCEEDED(hr)) hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

HRESULT VoxtrelObject::Init() {
    HRESULT hr = LoadTypeInfos(types_);
    if (FAILED(hr)) return hr;
    // Without its icon the control still works; it just draws nothing.
    icon_ = static_cast<HICON>(
        LoadImageW(ThisModule(), MAKEINTRESOURCEW(IDI_VOXTREL), IMAGE_ICON, 32, 32, 0));
    ResetState();
    try {
        core_ = std::make_unique<CVoxtrelCtrl>();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
    core_->SetEventSink(this);
    return S_OK;
}

// ---- IUnknown

STDMETHODIMP VoxtrelObject::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    void* found = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__DVoxtrel) {
        found = static_cast<IDispatch*>(this);
    } else if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2) {
        found = static_cast<IProvideClassInfo2*>(this);
    } else if (iid == IID_IConnectionPointContainer) {
        found = static_cast<IConnectionPointContainer*>(this);
    } else if (iid == IID_IOleObject) {
        found = static_cast<IOleObject*>(this);
    } else if (iid == IID_IOleControl) {
        found = static_cast<IOleControl*>(this);
    } else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceObject) {
        found = static_cast<IOleInPlaceObject*>(this);
    } else if (iid == IID_IOleInPlaceActiveObject) {
        found = static_cast<IOleInPlaceActiveObject*>(this);
    } else if (iid == IID_IViewObject || iid == IID_IViewObject2) {
        found = static_cast<IViewObject2*>(this);
    } else if (iid == IID_IPersist || iid == IID_IPersistStreamInit) {
        found = static_cast<IPersistStreamInit*>(this);
    } else if (iid == IID_IPersistPropertyBag) {
        found = static_cast<IPersistPropertyBag*>(this);
    } else if (iid == IID_IQuickActivate) {
        found = static_cast<IQuickActivate*>(this);
    } else if (iid == IID_IObjectSafety) {
        found = static_cast<IObjectSafety*>(this);
    }
    *out = found;
    if (!found) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) VoxtrelObject::AddRef() {
    return InterlockedIncrement(&refs_);
}

STDMETHODIMP_(ULONG) VoxtrelObject::Release() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
}

// ---- IDispatch

STDMETHODIMP VoxtrelObject::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

STDMETHODIMP VoxtrelObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    *info = ComPtr<ITypeInfo>(types_.dispatch).Detach();
    return S_OK;
}

STDMETHODIMP VoxtrelObject::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    return DispGetIDsOfNames(types_.dispatch.Get(), names, count, ids);
}

STDMETHODIMP VoxtrelObject::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argError) {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    // The type library converts and checks the arguments and calls the vtable method.
    return types_.methods->Invoke(static_cast<IVoxtrelMethods*>(this), id, flags, params, result,
                                  exception, argError);
}

// ---- The fifteen methods

STDMETHODIMP VoxtrelObject::Connect(BSTR serverAddress, short serverPort, LONG timeout,
                                    BSTR username, BSTR password, VARIANT_BOOL* result) {
    return AnswerBool(result, [&] {
        return core_->Connect(NarrowText(serverAddress), serverPort, timeout, NarrowText(username),
                              NarrowText(password));
    });
}

STDMETHODIMP VoxtrelObject::Disconnect(VARIANT_BOOL* result) {
    return AnswerBool(result, [&] { return core_->Disconnect(); });
}

STDMETHODIMP VoxtrelObject::CreateCall(BSTR from, BSTR to, BSTR* result) {
    return AnswerText(result, [&] { return core_->CreateCall(NarrowText(from), NarrowText(to)); });
}

STDMETHODIMP VoxtrelObject::CloseCall(BSTR callID, VARIANT_BOOL* result) {
    return AnswerBool(result, [&] { return core_->CloseCall(NarrowText(callID)); });
}

STDMETHODIMP VoxtrelObject::TransferCall(BSTR callID, BSTR to, VARIANT_BOOL* result) {
    return AnswerBool(result,
                      [&] { return core_->TransferCall(NarrowText(callID), NarrowText(to)); });
}

STDMETHODIMP VoxtrelObject::JoinCalls(BSTR callID, BSTR callIDtoJoin, VARIANT_BOOL* result) {
    return AnswerBool(
        result, [&] { return core_->JoinCalls(NarrowText(callID), NarrowText(callIDtoJoin)); });
}

STDMETHODIMP VoxtrelObject::UnjoinCalls(BSTR callID, BSTR callIDtoUnjoin, VARIANT_BOOL* result) {
    return AnswerBool(
        result, [&] { return core_->UnjoinCalls(NarrowText(callID), NarrowText(callIDtoUnjoin)); });
}

STDMETHODIMP VoxtrelObject::PlayMessage(BSTR callID, BSTR fileName, short playCount,
                                        VARIANT_BOOL* result) {
    return AnswerBool(result, [&] {
        return core_->PlayMessage(NarrowText(callID), NarrowText(fileName), playCount);
    });
}

STDMETHODIMP VoxtrelObject::EnableDtmfDetection(BSTR callID, VARIANT_BOOL onoff,
                                                VARIANT_BOOL* result) {
    return AnswerBool(result,
                      [&] { return core_->EnableDtmfDetection(NarrowText(callID), Flag(onoff)); });
}

STDMETHODIMP VoxtrelObject::IncomingCallHandling(BSTR extensionName, VARIANT_BOOL enable,
                                                 VARIANT_BOOL* result) {
    return AnswerBool(result, [&] {
        return core_->IncomingCallHandling(NarrowText(extensionName), Flag(enable));
    });
}

STDMETHODIMP VoxtrelObject::AcceptCall(BSTR callID, BSTR callerID, BSTR callerDispName,
                                       VARIANT_BOOL* result) {
    return AnswerBool(result, [&] {
        return core_->AcceptCall(NarrowText(callID), NarrowText(callerID),
                                 NarrowText(callerDispName));
    });
}

STDMETHODIMP VoxtrelObject::RejectCall(BSTR callID, VARIANT_BOOL* result) {
    return AnswerBool(result, [&] { return core_->RejectCall(NarrowText(callID)); });
}

STDMETHODIMP VoxtrelObject::ForwardCall(BSTR callID, BSTR callee, BSTR callerID,
                                        BSTR callerDispName, VARIANT_BOOL* result) {
    return AnswerBool(result, [&] {
        return core_->ForwardCall(NarrowText(callID), NarrowText(callee), NarrowText(callerID),
                                  NarrowText(callerDispName));
    });
}

STDMETHODIMP VoxtrelObject::SubscribeToVoiceMail(BSTR extensionName, BSTR* result) {
    return AnswerText(result,
                      [&] { return core_->SubscribeToVoiceMail(NarrowText(extensionName)); });
}

STDMETHODIMP VoxtrelObject::Unsubscribe(BSTR subscrID, VARIANT_BOOL* result) {
    return AnswerBool(result, [&] { return core_->Unsubscribe(NarrowText(subscrID)); });
}

// ---- IProvideClassInfo2

STDMETHODIMP VoxtrelObject::GetClassInfo(ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = ComPtr<ITypeInfo>(types_.coclass).Detach();
    return S_OK;
}

STDMETHODIMP VoxtrelObject::GetGUID(DWORD kind, GUID* guid) {
    if (!guid) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *guid = GUID_NULL;
        return E_INVALIDARG;
    }
    *guid = DIID__DVoxtrelEvents;
    return S_OK;
}

// ---- IConnectionPointContainer

STDMETHODIMP VoxtrelObject::EnumConnectionPoints(IEnumConnectionPoints** points) {
    if (!points) return E_POINTER;
    *points = nullptr;
    std::vector<IConnectionPoint*> items;
    try {
        items.reserve(1);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    events_.AddRef();
    items.push_back(&events_);
    return ConnectionPointEnumerator::Create(std::move(items), points);
}

STDMETHODIMP VoxtrelObject::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    if (!point) return E_POINTER;
    *point = nullptr;
    if (iid != DIID__DVoxtrelEvents) return CONNECT_E_NOCONNECTION;
    events_.AddRef();
    *point = &events_;
    return S_OK;
}

// ---- Events

void VoxtrelObject::Fire(DISPID id, DispatchArgs& args) {
    // Frozen by the container (while it loads or rearranges a form): the event is dropped.
    if (eventsFrozen_ > 0) return;
    DISPPARAMS params = args.Params();
    AddRef();  // a handler may release the host's last reference
    events_.Fire(id, params);
    if (InterlockedDecrement(&refs_) == 0) {
        // The host let go of the control inside a handler, but the core is still delivering; it is
        // destroyed once that delivery has unwound. Nothing of this object is touched afterwards.
        DestroyLater(std::move(core_));
        delete this;
    }
}

// An event whose arguments cannot even be built (memory exhausted) is dropped, like any event the
// core could not deliver.
void VoxtrelObject::OnEvent(const ControlMember& event, std::span<const ControlValue> values) {
    try {
        DispatchArgs args;
        for (size_t i = 0; i < event.count && i < values.size(); ++i) {
            const ControlValue& value = values[i];
            switch (event.params[i].type) {
                case ControlType::Text:
                    args.Text(value.text);
                    break;
                case ControlType::Short:
                    args.Short(static_cast<int16_t>(value.number));
                    break;
                case ControlType::Long:
                    args.Long(value.number);
                    break;
                case ControlType::Bool:
                    args.Bool(value.number != 0);
                    break;
            }
        }
        if (!args.Failed()) Fire(event.dispid, args);
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace voxtrel::com
