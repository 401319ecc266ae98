// The control object's container face: OLE embedding and in-place activation, drawing, persistence
// of its extent, quick activation and the safety options that web pages ask for.
#include <windows.h>

#include <olectl.h>

#include <cstddef>
#include <cwchar>
#include <new>
#include <vector>

#include "com/control_identity.h"
#include "com/enumerator.h"
#include "com/module.h"
#include "com/resource_ids.h"
#include "com/voxtrel_object.h"

namespace voxtrel::com {

namespace {

struct OleVerbTraits {
    static HRESULT CopyOut(OLEVERB& out, const OLEVERB& held) {
        out = held;
        const size_t bytes = (wcslen(held.lpszVerbName) + 1) * sizeof(wchar_t);
        out.lpszVerbName = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
        if (!out.lpszVerbName) return E_OUTOFMEMORY;
        memcpy(out.lpszVerbName, held.lpszVerbName, bytes);
        return S_OK;
    }
    static void FreeOut(OLEVERB& out) { CoTaskMemFree(out.lpszVerbName); }
    static void Release(OLEVERB&) {}  // the held names are static
};

using VerbEnumerator = Enumerator<IEnumOLEVERB, OLEVERB, OleVerbTraits>;

wchar_t kEditVerb[] = L"&Edit";
wchar_t kPropertiesVerb[] = L"&Properties...";

constexpr DWORD kSafeOptions =
    INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

LPOLESTR CopyToTaskMemory(const wchar_t* text) {
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (copy) memcpy(copy, text, bytes);
    return copy;
}

HRESULT ReadLongProperty(IPropertyBag* bag, const wchar_t* name, IErrorLog* log, LONG& value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    HRESULT hr = bag->Read(name, &v, log);
    if (SUCCEEDED(hr) && v.vt != VT_I4) hr = VariantChangeType(&v, &v, 0, VT_I4);
    if (SUCCEEDED(hr)) value = v.lVal;
    VariantClear(&v);
    return hr;
}

HRESULT WriteLongProperty(IPropertyBag* bag, const wchar_t* name, LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return bag->Write(name, &v);
}

}  // namespace

// ---- IOleObject

STDMETHODIMP VoxtrelObject::SetClientSite(IOleClientSite* site) {
    site_ = ComPtr<IOleClientSite>::Share(site);
    return S_OK;
}

STDMETHODIMP VoxtrelObject::GetClientSite(IOleClientSite** site) {
    if (!site) return E_POINTER;
    *site = ComPtr<IOleClientSite>(site_).Detach();
    return S_OK;
}

STDMETHODIMP VoxtrelObject::SetHostNames(LPCOLESTR, LPCOLESTR) {
    return S_OK;
}

STDMETHODIMP VoxtrelObject::Close(DWORD saveOption) {
    InPlaceDeactivate();
    if (dirty_ && site_ && (saveOption == OLECLOSE_SAVEIFDIRTY)) site_->SaveObject();
    if (oleAdvise_) oleAdvise_->SendOnClose();
    return S_OK;
}

STDMETHODIMP VoxtrelObject::SetMoniker(DWORD, IMoniker*) {
    return E_NOTIMPL;
}

STDMETHODIMP VoxtrelObject::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
    if (moniker) *moniker = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP VoxtrelObject::InitFromData(IDataObject*, BOOL, DWORD) {
    return E_NOTIMPL;
}

STDMETHODIMP VoxtrelObject::GetClipboardData(DWORD, IDataObject** data) {
    if (data) *data = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP VoxtrelObject::DoVerb(LONG verb, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) {
    switch (verb) {
        case OLEIVERB_PRIMARY:  // Edit
        case OLEIVERB_SHOW:
        case OLEIVERB_INPLACEACTIVATE:
        case OLEIVERB_UIACTIVATE:
            return InPlaceActivate(verb);
        case OLEIVERB_HIDE:
            UIDeactivate();
            if (window_.Handle()) ShowWindow(window_.Handle(), SW_HIDE);
            return S_OK;
        case OLEIVERB_PROPERTIES:
            return S_OK;  // the control has no properties to show
        default:
            if (verb > 0) {
                // An unknown positive verb counts as the primary one.
                HRESULT hr = InPlaceActivate(OLEIVERB_PRIMARY);
                return FAILED(hr) ? hr : OLEOBJ_S_INVALIDVERB;
            }
            return E_NOTIMPL;
    }
}

STDMETHODIMP VoxtrelObject::EnumVerbs(IEnumOLEVERB** verbs) {
    if (!verbs) return E_POINTER;
    *verbs = nullptr;
    std::vector<OLEVERB> items;
    try {
        items.push_back({OLEIVERB_PRIMARY, kEditVerb, 0, OLEVERBATTRIB_ONCONTAINERMENU});
        items.push_back({OLEIVERB_PROPERTIES, kPropertiesVerb, 0, OLEVERBATTRIB_ONCONTAINERMENU});
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return VerbEnumerator::Create(std::move(items), verbs);
}

STDMETHODIMP VoxtrelObject::Update() {
    return S_OK;
}
STDMETHODIMP VoxtrelObject::IsUpToDate() {
    return S_OK;
}

STDMETHODIMP VoxtrelObject::GetUserClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_Voxtrel;
    return S_OK;
}

STDMETHODIMP VoxtrelObject::GetUserType(DWORD, LPOLESTR* userType) {
    if (!userType) return E_POINTER;
    const wchar_t* name = nullptr;
    const int length =
        LoadStringW(ThisModule(), IDS_VOXTREL_TYPENAME, reinterpret_cast<LPWSTR>(&name), 0);
    std::wstring text = length > 0 ? std::wstring(name, static_cast<size_t>(length)) : kTypeName;
    *userType = CopyToTaskMemory(text.c_str());
    return *userType ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP VoxtrelObject::SetExtent(DWORD aspect, SIZEL* size) {
    if (!size) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (size->cx != extent_.cx || size->cy != extent_.cy) {
        extent_ = *size;
        dirty_ = true;
        SendViewChange();
    }
    return S_OK;
}

STDMETHODIMP VoxtrelObject::GetExtent(DWORD, SIZEL* size) {
    if (!size) return E_POINTER;
    *size = extent_;  // one picture, the same size in every aspect
    return S_OK;
}

STDMETHODIMP VoxtrelObject::Advise(IAdviseSink* sink, DWORD* connection) {
    if (!connection) return E_POINTER;
    *connection = 0;
    if (!oleAdvise_) {
        HRESULT hr = CreateOleAdviseHolder(oleAdvise_.Put());
        if (FAILED(hr)) return hr;
    }
    return oleAdvise_->Advise(sink, connection);
}

STDMETHODIMP VoxtrelObject::Unadvise(DWORD connection) {
    if (!oleAdvise_) return OLE_E_NOCONNECTION;
    return oleAdvise_->Unadvise(connection);
}

STDMETHODIMP VoxtrelObject::EnumAdvise(IEnumSTATDATA** advise) {
    if (!advise) return E_POINTER;
    *advise = nullptr;
    if (!oleAdvise_) return E_FAIL;
    return oleAdvise_->EnumAdvise(advise);
}

STDMETHODIMP VoxtrelObject::GetMiscStatus(DWORD aspect, DWORD* status) {
    if (!status) return E_POINTER;
    *status = aspect == DVASPECT_CONTENT ? kMiscStatus : 0;
    return S_OK;
}

STDMETHODIMP VoxtrelObject::SetColorScheme(LOGPALETTE*) {
    return E_NOTIMPL;
}

// ---- IOleControl

STDMETHODIMP VoxtrelObject::GetControlInfo(CONTROLINFO* info) {
    if (!info) return E_POINTER;
    info->hAccel = nullptr;  // no mnemonics
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

STDMETHODIMP VoxtrelObject::OnMnemonic(MSG*) {
    return S_OK;
}
STDMETHODIMP VoxtrelObject::OnAmbientPropertyChange(DISPID) {
    return S_OK;
}

STDMETHODIMP VoxtrelObject::FreezeEvents(BOOL freeze) {
    if (freeze) {
        ++eventsFrozen_;
    } else if (eventsFrozen_ > 0) {
        --eventsFrozen_;
    }
    return S_OK;
}

// ---- In-place activation

HRESULT VoxtrelObject::InPlaceActivate(LONG verb) {
    if (!site_) return E_UNEXPECTED;
    if (!inPlaceActive_) {
        ComPtr<IOleInPlaceSite> site;
        if (FAILED(site_.As(site))) return E_NOINTERFACE;
        if (site->CanInPlaceActivate() != S_OK) return E_FAIL;
        HRESULT hr = site->OnInPlaceActivate();
        if (FAILED(hr)) return hr;
        inPlaceSite_ = site;
        inPlaceActive_ = true;

        HWND parent = nullptr;
        RECT position{};
        RECT clip{};
        OLEINPLACEFRAMEINFO frameInfo{};
        frameInfo.cb = sizeof frameInfo;
        if (FAILED(hr = site->GetWindow(&parent)) ||
            FAILED(hr = site->GetWindowContext(frame_.Put(), document_.Put(), &position, &clip,
                                               &frameInfo))) {
            InPlaceDeactivate();
            return hr;
        }
        if (!window_.Create(parent, position, clip, icon_)) {
            InPlaceDeactivate();
            return E_FAIL;
        }
    } else if (window_.Handle()) {
        ShowWindow(window_.Handle(), SW_SHOW);
    }
    if (verb == OLEIVERB_PRIMARY || verb == OLEIVERB_UIACTIVATE) return UIActivate();
    return S_OK;
}

HRESULT VoxtrelObject::UIActivate() {
    if (uiActive_) return S_OK;
    uiActive_ = true;
    HRESULT hr = inPlaceSite_->OnUIActivate();
    if (FAILED(hr)) {
        uiActive_ = false;
        return hr;
    }
    auto* active = static_cast<IOleInPlaceActiveObject*>(this);
    if (frame_) {
        frame_->SetActiveObject(active, kTypeName);
        frame_->SetBorderSpace(nullptr);
    }
    if (document_) {
        document_->SetActiveObject(active, kTypeName);
        document_->SetBorderSpace(nullptr);
    }
    if (window_.Handle()) SetFocus(window_.Handle());
    return S_OK;
}

STDMETHODIMP VoxtrelObject::UIDeactivate() {
    if (!uiActive_) return S_OK;
    uiActive_ = false;
    if (frame_) frame_->SetActiveObject(nullptr, nullptr);
    if (document_) document_->SetActiveObject(nullptr, nullptr);
    if (inPlaceSite_) inPlaceSite_->OnUIDeactivate(FALSE);
    return S_OK;
}

STDMETHODIMP VoxtrelObject::InPlaceDeactivate() {
    if (!inPlaceActive_) return S_OK;
    UIDeactivate();
    inPlaceActive_ = false;
    window_.Destroy();
    frame_.Reset();
    document_.Reset();
    ComPtr<IOleInPlaceSite> site = std::move(inPlaceSite_);
    if (site) site->OnInPlaceDeactivate();
    return S_OK;
}

STDMETHODIMP VoxtrelObject::GetWindow(HWND* hwnd) {
    if (!hwnd) return E_POINTER;
    *hwnd = window_.Handle();
    return *hwnd ? S_OK : E_FAIL;
}

STDMETHODIMP VoxtrelObject::ContextSensitiveHelp(BOOL) {
    return E_NOTIMPL;
}

STDMETHODIMP VoxtrelObject::SetObjectRects(LPCRECT position, LPCRECT clip) {
    if (!position || !clip) return E_POINTER;
    window_.Move(*position, *clip);
    return S_OK;
}

STDMETHODIMP VoxtrelObject::ReactivateAndUndo() {
    return E_NOTIMPL;
}
STDMETHODIMP VoxtrelObject::TranslateAccelerator(LPMSG) {
    return S_FALSE;
}
STDMETHODIMP VoxtrelObject::OnFrameWindowActivate(BOOL) {
    return S_OK;
}
STDMETHODIMP VoxtrelObject::OnDocWindowActivate(BOOL) {
    return S_OK;
}
STDMETHODIMP VoxtrelObject::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) {
    return S_OK;
}
STDMETHODIMP VoxtrelObject::EnableModeless(BOOL) {
    return S_OK;
}

// ---- IViewObject2

STDMETHODIMP VoxtrelObject::Draw(DWORD aspect, LONG index, void*, DVTARGETDEVICE*, HDC, HDC dc,
                                 LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                                 ULONG_PTR) {
    if (!dc || !bounds) return E_INVALIDARG;
    if (aspect == DVASPECT_CONTENT && index != -1) return DV_E_LINDEX;
    // The icon, stretched to the bounds, whatever the aspect.
    RECT r{bounds->left, bounds->top, bounds->right, bounds->bottom};
    if (icon_ && !DrawControlIcon(dc, r, icon_)) return E_FAIL;
    return S_OK;
}

STDMETHODIMP VoxtrelObject::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                                        LOGPALETTE** colors) {
    if (!colors) return E_POINTER;
    *colors = nullptr;
    return S_FALSE;
}

STDMETHODIMP VoxtrelObject::Freeze(DWORD, LONG, void*, DWORD*) {
    return E_NOTIMPL;
}
STDMETHODIMP VoxtrelObject::Unfreeze(DWORD) {
    return E_NOTIMPL;
}

STDMETHODIMP VoxtrelObject::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
    viewAdvise_ = ComPtr<IAdviseSink>::Share(sink);
    viewAdviseAspects_ = aspects;
    viewAdviseFlags_ = flags;
    return S_OK;
}

STDMETHODIMP VoxtrelObject::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
    if (aspects) *aspects = viewAdviseAspects_;
    if (flags) *flags = viewAdviseFlags_;
    if (sink) *sink = ComPtr<IAdviseSink>(viewAdvise_).Detach();
    return S_OK;
}

STDMETHODIMP VoxtrelObject::GetExtent(DWORD, LONG, DVTARGETDEVICE*, LPSIZEL size) {
    if (!size) return E_POINTER;
    *size = extent_;
    return S_OK;
}

void VoxtrelObject::SendViewChange() {
    if (!viewAdvise_) return;
    ComPtr<IAdviseSink> sink = viewAdvise_;
    if (viewAdviseFlags_ & ADVF_ONLYONCE) viewAdvise_.Reset();
    sink->OnViewChange(DVASPECT_CONTENT, -1);
}

// ---- Persistence: the property exchange version and the extent, nothing else.

void VoxtrelObject::ResetState() {
    HDC screen = GetDC(nullptr);
    const int dpiX = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    const int dpiY = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    extent_.cx = MulDiv(kInitialSizePixels, 2540, dpiX > 0 ? dpiX : 96);
    extent_.cy = MulDiv(kInitialSizePixels, 2540, dpiY > 0 ? dpiY : 96);
    dirty_ = false;
}

STDMETHODIMP VoxtrelObject::GetClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_Voxtrel;
    return S_OK;
}

STDMETHODIMP VoxtrelObject::IsDirty() {
    return dirty_ ? S_OK : S_FALSE;
}

STDMETHODIMP VoxtrelObject::Load(LPSTREAM stream) {
    if (!stream) return E_POINTER;
    struct {
        DWORD version;
        LONG cx;
        LONG cy;
    } state;
    ULONG read = 0;
    HRESULT hr = stream->Read(&state, sizeof state, &read);
    if (FAILED(hr)) return hr;
    if (read != sizeof state || state.version != kPersistVersion) return E_FAIL;
    extent_.cx = state.cx;
    extent_.cy = state.cy;
    dirty_ = false;
    return S_OK;
}

STDMETHODIMP VoxtrelObject::Save(LPSTREAM stream, BOOL clearDirty) {
    if (!stream) return E_POINTER;
    const struct {
        DWORD version;
        LONG cx;
        LONG cy;
    } state{kPersistVersion, extent_.cx, extent_.cy};
    ULONG written = 0;
    HRESULT hr = stream->Write(&state, sizeof state, &written);
    if (FAILED(hr)) return hr;
    if (written != sizeof state) return STG_E_CANTSAVE;
    if (clearDirty) dirty_ = false;
    return S_OK;
}

STDMETHODIMP VoxtrelObject::GetSizeMax(ULARGE_INTEGER* size) {
    if (!size) return E_POINTER;
    size->QuadPart = sizeof(DWORD) + 2 * sizeof(LONG);
    return S_OK;
}

STDMETHODIMP VoxtrelObject::InitNew() {
    ResetState();
    return S_OK;
}

STDMETHODIMP VoxtrelObject::Load(IPropertyBag* bag, IErrorLog* log) {
    if (!bag) return E_POINTER;
    // Every property is optional: a page that gives none gets the initial size.
    ResetState();
    LONG value = 0;
    if (SUCCEEDED(ReadLongProperty(bag, L"_ExtentX", log, value))) extent_.cx = value;
    if (SUCCEEDED(ReadLongProperty(bag, L"_ExtentY", log, value))) extent_.cy = value;
    return S_OK;
}

STDMETHODIMP VoxtrelObject::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) {
    if (!bag) return E_POINTER;
    HRESULT hr;
    if (FAILED(hr = WriteLongProperty(bag, L"_Version", static_cast<LONG>(kPersistVersion))) ||
        FAILED(hr = WriteLongProperty(bag, L"_ExtentX", extent_.cx)) ||
        FAILED(hr = WriteLongProperty(bag, L"_ExtentY", extent_.cy)) ||
        FAILED(hr = WriteLongProperty(bag, L"_StockProps", 0))) {
        return hr;
    }
    if (clearDirty) dirty_ = false;
    return S_OK;
}

// ---- IQuickActivate

STDMETHODIMP VoxtrelObject::QuickActivate(QACONTAINER* container, QACONTROL* control) {
    if (!container || !control) return E_POINTER;
    // Containers of several versions pass structures of several sizes; what is read here is in
    // every version.
    if (container->cbSize < offsetof(QACONTAINER, dwAmbientFlags) ||
        control->cbSize < sizeof(QACONTROL)) {
        return E_INVALIDARG;
    }
    SetClientSite(container->pClientSite);
    if (container->pAdviseSink) SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
    control->dwMiscStatus = kMiscStatus;
    control->dwViewStatus = 0;  // the icon has transparent parts
    control->dwEventCookie = 0;
    control->dwPropNotifyCookie = 0;
    control->dwPointerActivationPolicy = 0;
    if (container->pUnkEventSink) {
        events_.Advise(container->pUnkEventSink, &control->dwEventCookie);
    }
    return S_OK;
}

STDMETHODIMP VoxtrelObject::SetContentExtent(LPSIZEL size) {
    if (!size) return E_POINTER;
    return SetExtent(DVASPECT_CONTENT, size);
}

STDMETHODIMP VoxtrelObject::GetContentExtent(LPSIZEL size) {
    if (!size) return E_POINTER;
    *size = extent_;
    return S_OK;
}

// ---- IObjectSafety: the control is scriptable and initialisable from untrusted pages.

STDMETHODIMP VoxtrelObject::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported,
                                                      DWORD* enabled) {
    if (!supported || !enabled) return E_POINTER;
    *supported = 0;
    *enabled = 0;
    if (iid != IID_IDispatch && iid != DIID__DVoxtrel && iid != IID_IPersistPropertyBag &&
        iid != IID_IPersistStreamInit) {
        return E_NOINTERFACE;
    }
    *supported = kSafeOptions;
    *enabled = safetyOptions_;
    return S_OK;
}

STDMETHODIMP VoxtrelObject::SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) {
    if (iid != IID_IDispatch && iid != DIID__DVoxtrel && iid != IID_IPersistPropertyBag &&
        iid != IID_IPersistStreamInit) {
        return E_NOINTERFACE;
    }
    if (mask & ~kSafeOptions) return E_FAIL;
    safetyOptions_ = (safetyOptions_ & ~mask) | (enabled & mask);
    return S_OK;
}

}  // namespace voxtrel::com
