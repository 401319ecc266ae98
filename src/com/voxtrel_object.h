// The Voxtrel ActiveX control object: a thin COM shell owning one portable CVoxtrelCtrl, scripted
// through IDispatch, firing the core's events to its sinks, embeddable in forms and pages.
#pragma once

#include <windows.h>

#include <objsafe.h>
#include <ocidl.h>

#include <memory>

#include "com/com_ptr.h"
#include "com/connection_point.h"
#include "com/control_window.h"
#include "com/dispatch_args.h"
#include "com/type_library.h"
#include "com/voxtrel_tlb.h"
#include "control/voxtrel_ctrl.h"

namespace voxtrel::com {

class VoxtrelObject final : public IDispatch,
                            public IVoxtrelMethods,
                            public IProvideClassInfo2,
                            public IConnectionPointContainer,
                            public IOleObject,
                            public IOleControl,
                            public IOleInPlaceObject,
                            public IOleInPlaceActiveObject,
                            public IViewObject2,
                            public IPersistStreamInit,
                            public IPersistPropertyBag,
                            public IQuickActivate,
                            public IObjectSafety,
                            private VoxtrelEvents {
  public:
    // A new control, answered as the interface iid; what the class factory makes.
    static HRESULT Create(REFIID iid, void** out);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                               DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

    // IVoxtrelMethods: the fifteen methods, reached through Invoke.
    STDMETHODIMP Connect(BSTR serverAddress, short serverPort, LONG timeout, BSTR username,
                         BSTR password, VARIANT_BOOL* result) override;
    STDMETHODIMP Disconnect(VARIANT_BOOL* result) override;
    STDMETHODIMP CreateCall(BSTR from, BSTR to, BSTR* result) override;
    STDMETHODIMP CloseCall(BSTR callID, VARIANT_BOOL* result) override;
    STDMETHODIMP TransferCall(BSTR callID, BSTR to, VARIANT_BOOL* result) override;
    STDMETHODIMP JoinCalls(BSTR callID, BSTR callIDtoJoin, VARIANT_BOOL* result) override;
    STDMETHODIMP UnjoinCalls(BSTR callID, BSTR callIDtoUnjoin, VARIANT_BOOL* result) override;
    STDMETHODIMP PlayMessage(BSTR callID, BSTR fileName, short playCount,
                             VARIANT_BOOL* result) override;
    STDMETHODIMP EnableDtmfDetection(BSTR callID, VARIANT_BOOL onoff,
                                     VARIANT_BOOL* result) override;
    STDMETHODIMP IncomingCallHandling(BSTR extensionName, VARIANT_BOOL enable,
                                      VARIANT_BOOL* result) override;
    STDMETHODIMP AcceptCall(BSTR callID, BSTR callerID, BSTR callerDispName,
                            VARIANT_BOOL* result) override;
    STDMETHODIMP RejectCall(BSTR callID, VARIANT_BOOL* result) override;
    STDMETHODIMP ForwardCall(BSTR callID, BSTR callee, BSTR callerID, BSTR callerDispName,
                             VARIANT_BOOL* result) override;
    STDMETHODIMP SubscribeToVoiceMail(BSTR extensionName, BSTR* result) override;
    STDMETHODIMP Unsubscribe(BSTR subscrID, VARIANT_BOOL* result) override;

    // IProvideClassInfo2
    STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
    STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

    // IOleObject
    STDMETHODIMP SetClientSite(IOleClientSite* site) override;
    STDMETHODIMP GetClientSite(IOleClientSite** site) override;
    STDMETHODIMP SetHostNames(LPCOLESTR containerApp, LPCOLESTR containerObject) override;
    STDMETHODIMP Close(DWORD saveOption) override;
    STDMETHODIMP SetMoniker(DWORD which, IMoniker* moniker) override;
    STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
    STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
    STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** data) override;
    STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* activeSite, LONG index, HWND parent,
                        LPCRECT position) override;
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
    STDMETHODIMP Update() override;
    STDMETHODIMP IsUpToDate() override;
    STDMETHODIMP GetUserClassID(CLSID* clsid) override;
    STDMETHODIMP GetUserType(DWORD form, LPOLESTR* userType) override;
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* connection) override;
    STDMETHODIMP Unadvise(DWORD connection) override;
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** advise) override;
    STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
    STDMETHODIMP SetColorScheme(LOGPALETTE* palette) override;

    // IOleControl
    STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
    STDMETHODIMP OnMnemonic(MSG* msg) override;
    STDMETHODIMP OnAmbientPropertyChange(DISPID id) override;
    STDMETHODIMP FreezeEvents(BOOL freeze) override;

    // IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject
    STDMETHODIMP GetWindow(HWND* hwnd) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enterMode) override;
    STDMETHODIMP InPlaceDeactivate() override;
    STDMETHODIMP UIDeactivate() override;
    STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override;
    STDMETHODIMP ReactivateAndUndo() override;
    STDMETHODIMP TranslateAccelerator(LPMSG msg) override;
    STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
    STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
    STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frame) override;
    STDMETHODIMP EnableModeless(BOOL enable) override;

    // IViewObject2
    STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device,
                      HDC targetDevice, HDC dc, LPCRECTL bounds, LPCRECTL metafileBounds,
                      BOOL(STDMETHODCALLTYPE* keepDrawing)(ULONG_PTR),
                      ULONG_PTR keepDrawingArg) override;
    STDMETHODIMP GetColorSet(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device,
                             HDC targetDevice, LOGPALETTE** colors) override;
    STDMETHODIMP Freeze(DWORD aspect, LONG index, void* aspectInfo, DWORD* freeze) override;
    STDMETHODIMP Unfreeze(DWORD freeze) override;
    STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
    STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
    STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, LPSIZEL size) override;

    // IPersist, IPersistStreamInit, IPersistPropertyBag
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPSTREAM stream) override;
    STDMETHODIMP Save(LPSTREAM stream, BOOL clearDirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
    STDMETHODIMP InitNew() override;
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
    STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

    // IQuickActivate
    STDMETHODIMP QuickActivate(QACONTAINER* container, QACONTROL* control) override;
    STDMETHODIMP SetContentExtent(LPSIZEL size) override;
    STDMETHODIMP GetContentExtent(LPSIZEL size) override;

    // IObjectSafety
    STDMETHODIMP GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) override;
    STDMETHODIMP SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) override;

  private:
    VoxtrelObject();
    ~VoxtrelObject() override;
    HRESULT Init();

    // VoxtrelEvents: the core's events, on the host's thread, fired with their dispids and
    // their arguments as the event list types them.
    void OnEvent(const ControlMember& event, std::span<const ControlValue> values) override;
    void Fire(DISPID id, DispatchArgs& args);

    HRESULT InPlaceActivate(LONG verb);
    HRESULT UIActivate();
    void SendViewChange();
    void ResetState();

    LONG refs_ = 1;
    TypeInfos types_;
    std::unique_ptr<CVoxtrelCtrl> core_;
    EventConnectionPoint events_;
    HICON icon_ = nullptr;

    // Embedding state.
    ComPtr<IOleClientSite> site_;
    ComPtr<IOleAdviseHolder> oleAdvise_;
    ComPtr<IAdviseSink> viewAdvise_;
    DWORD viewAdviseAspects_ = 0;
    DWORD viewAdviseFlags_ = 0;
    ComPtr<IOleInPlaceSite> inPlaceSite_;
    ComPtr<IOleInPlaceFrame> frame_;
    ComPtr<IOleInPlaceUIWindow> document_;
    ControlWindow window_;
    bool inPlaceActive_ = false;
    bool uiActive_ = false;
    SIZEL extent_{};  // HIMETRIC
    long eventsFrozen_ = 0;
    DWORD safetyOptions_ = 0;
    bool dirty_ = false;
};

}  // namespace voxtrel::com
