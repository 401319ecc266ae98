// Tests of the control's container face: extent, verbs, drawing, persistence, quick activation,
// safety options, and in-place activation where the machine can show windows.
#include <windows.h>

#include <gtest/gtest.h>
#include <objsafe.h>
#include <olectl.h>

#include <map>
#include <string>

#include "com/voxtrel_tlb.h"
#include "com_test_support.h"

// mingw-w64's objsafe.h declares no __uuidof for IObjectSafety.
__CRT_UUID_DECL(IObjectSafety, 0xcb5bdc81, 0x93c1, 0x11cf, 0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0,
                0x64)

namespace voxtrel::com {
namespace {

using namespace voxtrel::com::testing;

class Embedding : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(NewControl().As(ole), S_OK); }
    template <class I>
    ComPtr<I> As() {
        ComPtr<I> face;
        EXPECT_EQ(ole.As(face), S_OK);
        return face;
    }
    SIZEL Extent() {
        SIZEL size{};
        EXPECT_EQ(ole->GetExtent(DVASPECT_CONTENT, &size), S_OK);
        return size;
    }

    ComApartment apartment;
    ComPtr<IOleObject> ole;
};

TEST_F(Embedding, ExtentTypeAndVerbs) {
    SIZEL view{};
    ASSERT_EQ(As<IViewObject2>()->GetExtent(DVASPECT_CONTENT, -1, nullptr, &view), S_OK);
    EXPECT_EQ(view.cx, Extent().cx);
    SIZEL bigger{1000, 500};
    ASSERT_EQ(ole->SetExtent(DVASPECT_CONTENT, &bigger), S_OK);
    EXPECT_EQ(Extent().cx, 1000);
    EXPECT_EQ(Extent().cy, 500);
    EXPECT_EQ(ole->SetExtent(DVASPECT_ICON, &bigger), DV_E_DVASPECT);
    CLSID clsid;
    ASSERT_EQ(ole->GetUserClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_Voxtrel));
    LPOLESTR type = nullptr;
    ASSERT_EQ(ole->GetUserType(USERCLASSTYPE_FULL, &type), S_OK);
    EXPECT_EQ(std::wstring(type), L"Voxtrel Control");
    CoTaskMemFree(type);

    ComPtr<IEnumOLEVERB> verbs;
    ASSERT_EQ(ole->EnumVerbs(verbs.Put()), S_OK);
    OLEVERB got[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(verbs->Next(3, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(got[0].lVerb, OLEIVERB_PRIMARY);
    EXPECT_EQ(std::wstring(got[0].lpszVerbName), L"&Edit");
    EXPECT_EQ(got[1].lVerb, OLEIVERB_PROPERTIES);
    EXPECT_EQ(std::wstring(got[1].lpszVerbName), L"&Properties...");
    for (ULONG i = 0; i < fetched; ++i)
        CoTaskMemFree(got[i].lpszVerbName);
    // Without a container no verb activates.
    EXPECT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0, nullptr, nullptr),
              E_UNEXPECTED);
    EXPECT_EQ(ole->DoVerb(OLEIVERB_PROPERTIES, nullptr, nullptr, 0, nullptr, nullptr), S_OK);
    EXPECT_EQ(ole->DoVerb(OLEIVERB_OPEN, nullptr, nullptr, 0, nullptr, nullptr), E_NOTIMPL);
}

TEST_F(Embedding, DrawsItsIconStretchedInEveryAspect) {
    auto view = As<IViewObject2>();
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 40, 30);
    HGDIOBJ old = SelectObject(dc, bitmap);
    const RECTL bounds{0, 0, 40, 30};
    for (DWORD aspect : {DVASPECT_CONTENT, DVASPECT_ICON, DVASPECT_DOCPRINT}) {
        RECT all{0, 0, 40, 30};
        FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        EXPECT_EQ(
            view->Draw(aspect, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0),
            S_OK);
        int painted = 0;
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x)
                painted += GetPixel(dc, x, y) != RGB(255, 255, 255);
        // The tile fills the bounds but for its rounded corners, reaching every edge.
        EXPECT_GT(painted, 40 * 30 * 3 / 4) << "aspect " << aspect;
        for (POINT p : {POINT{1, 15}, POINT{38, 15}, POINT{20, 1}, POINT{20, 28}})
            EXPECT_NE(GetPixel(dc, p.x, p.y), RGB(255, 255, 255)) << p.x << "," << p.y;
    }
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, 0, nullptr, nullptr, nullptr, dc, &bounds, nullptr,
                         nullptr, 0),
              DV_E_LINDEX);
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, nullptr, nullptr,
                         nullptr, 0),
              E_INVALIDARG);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
}

// A property bag as a web page's PARAM tags make one: values as text.
class MapBag final : public IPropertyBag {
  public:
    std::map<std::wstring, long> values;
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        if (!values.count(name)) return E_INVALIDARG;
        *value = Text(std::to_string(values[name]));
        return S_OK;
    }
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
        VARIANT v;
        VariantInit(&v);
        if (FAILED(VariantChangeType(&v, value, 0, VT_I4))) return E_FAIL;
        values[name] = v.lVal;
        return S_OK;
    }
};

TEST_F(Embedding, PersistsItsExtentInStreamsAndPropertyBags) {
    const SIZEL initial = Extent();
    auto persist = As<IPersistStreamInit>();
    ASSERT_EQ(persist->InitNew(), S_OK);
    SIZEL size = initial;
    ASSERT_EQ(ole->SetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);  // nothing changed
    size = {1234, 567};
    ASSERT_EQ(ole->SetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_OK);
    ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    ASSERT_EQ(persist->Save(stream.Get(), TRUE), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    ULARGE_INTEGER max{};
    ULARGE_INTEGER written{};
    ASSERT_EQ(persist->GetSizeMax(&max), S_OK);
    stream->Seek({}, STREAM_SEEK_CUR, &written);
    EXPECT_GE(max.QuadPart, written.QuadPart);
    CLSID clsid;
    ASSERT_EQ(persist->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_Voxtrel));

    ComPtr<IOleObject> other;
    ASSERT_EQ(NewControl().As(other), S_OK);
    ComPtr<IPersistStreamInit> otherPersist;
    ASSERT_EQ(other.As(otherPersist), S_OK);
    stream->Seek({}, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(otherPersist->Load(stream.Get()), S_OK);
    ASSERT_EQ(other->GetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(size.cx, 1234);
    EXPECT_EQ(size.cy, 567);
    // A stream of something else is refused.
    ComPtr<IStream> garbage;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, garbage.Put()), S_OK);
    garbage->Write("not a control", 13, nullptr);
    garbage->Seek({}, STREAM_SEEK_SET, nullptr);
    EXPECT_EQ(otherPersist->Load(garbage.Get()), E_FAIL);

    auto bagged = As<IPersistPropertyBag>();
    MapBag bag;
    ASSERT_EQ(bagged->Save(&bag, TRUE, TRUE), S_OK);
    EXPECT_EQ(
        bag.values,
        (std::map<std::wstring, long>{
            {L"_Version", 0x10000}, {L"_ExtentX", 1234}, {L"_ExtentY", 567}, {L"_StockProps", 0}}));
    MapBag page;
    page.values = {{L"_ExtentX", 777}, {L"_ExtentY", 888}};
    ASSERT_EQ(bagged->Load(&page, nullptr), S_OK);
    EXPECT_EQ(Extent().cx, 777);
    EXPECT_EQ(Extent().cy, 888);
    MapBag none;  // every property is optional
    ASSERT_EQ(bagged->Load(&none, nullptr), S_OK);
    EXPECT_EQ(Extent().cx, initial.cx);
    EXPECT_EQ(Extent().cy, initial.cy);
}

TEST_F(Embedding, QuickActivationConnectsTheContainersEventSink) {
    auto sink = RecordingSink::Make();
    QACONTAINER container{};
    container.cbSize = sizeof container;
    container.pUnkEventSink = sink.Get();
    QACONTROL answer{};
    answer.cbSize = sizeof answer;
    ASSERT_EQ(As<IQuickActivate>()->QuickActivate(&container, &answer), S_OK);
    DWORD status = 0;
    ASSERT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
    EXPECT_EQ(answer.dwMiscStatus, status);
    EXPECT_TRUE(status & OLEMISC_SETCLIENTSITEFIRST);
    EXPECT_NE(answer.dwEventCookie, 0u);
    EXPECT_EQ(sink->References(), 2u);
    Unadvise(ole.Get(), answer.dwEventCookie);
    EXPECT_EQ(sink->References(), 1u);
    QACONTROL small{};
    small.cbSize = 4;
    EXPECT_EQ(As<IQuickActivate>()->QuickActivate(&container, &small), E_INVALIDARG);
}

TEST_F(Embedding, SafeForScriptingAndInitialisation) {
    auto safety = As<IObjectSafety>();
    DWORD supported = 0;
    DWORD enabled = 0;
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    const DWORD caller = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
    const DWORD data = INTERFACESAFE_FOR_UNTRUSTED_DATA;
    EXPECT_EQ(supported, caller | data);
    EXPECT_EQ(enabled, 0u);
    ASSERT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, caller, caller), S_OK);
    ASSERT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersistPropertyBag, data, data), S_OK);
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, caller | data);
    ASSERT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, caller, 0), S_OK);
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, data);  // only the masked option changed
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 0x100, 0x100), E_FAIL);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IOleObject, &supported, &enabled),
              E_NOINTERFACE);
}

// A container: a top-level window with one site for the control, counting the site's calls.
class TestSite final : public IOleClientSite, public IOleInPlaceSite {
  public:
    explicit TestSite(HWND window) : window_(window) {}
    int canActivate = 0, activated = 0, uiActivated = 0, uiDeactivated = 0, deactivated = 0;
    RECT position{10, 20, 50, 60};

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IOleInPlaceSite ? static_cast<IOleInPlaceSite*>(this) : nullptr;
        if (iid == IID_IUnknown || iid == IID_IOleClientSite)
            *out = static_cast<IOleClientSite*>(this);
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SaveObject() override { return S_OK; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer**) override { return E_NOINTERFACE; }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
    STDMETHODIMP GetWindow(HWND* hwnd) override { return *hwnd = window_, S_OK; }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP CanInPlaceActivate() override { return ++canActivate, S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return ++activated, S_OK; }
    STDMETHODIMP OnUIActivate() override { return ++uiActivated, S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos,
                                  LPRECT clip, LPOLEINPLACEFRAMEINFO) override {
        *frame = nullptr;
        *doc = nullptr;
        *pos = position;
        *clip = RECT{0, 0, 400, 300};
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return ++uiDeactivated, S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return ++deactivated, S_OK; }
    STDMETHODIMP DiscardUndoState() override { return S_OK; }
    STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

  private:
    HWND window_;
};

TEST_F(Embedding, InPlaceActivationMakesAChildWindowForDrawingOnly) {
    HWND frame = CreateWindowExW(0, L"STATIC", L"container", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!frame) GTEST_SKIP() << "no display: windows cannot be shown here";
    TestSite site(frame);
    ASSERT_EQ(ole->SetClientSite(&site), S_OK);
    ASSERT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, frame, &site.position),
              S_OK);
    EXPECT_EQ(site.canActivate, 1);
    EXPECT_EQ(site.activated, 1);
    EXPECT_EQ(site.uiActivated, 0);
    auto inPlace = As<IOleInPlaceObject>();
    HWND child = nullptr;
    ASSERT_EQ(inPlace->GetWindow(&child), S_OK);
    ASSERT_TRUE(IsWindow(child));
    EXPECT_EQ(GetParent(child), frame);
    RECT r;
    GetWindowRect(child, &r);
    EXPECT_EQ(r.right - r.left, 40);
    EXPECT_EQ(r.bottom - r.top, 40);
    RECT moved{0, 0, 100, 70};
    RECT clip{0, 0, 400, 300};
    ASSERT_EQ(inPlace->SetObjectRects(&moved, &clip), S_OK);
    GetWindowRect(child, &r);
    EXPECT_EQ(r.right - r.left, 100);
    EXPECT_EQ(r.bottom - r.top, 70);
    UpdateWindow(child);  // paints the icon

    ASSERT_EQ(ole->DoVerb(OLEIVERB_UIACTIVATE, nullptr, &site, 0, frame, &moved), S_OK);
    EXPECT_EQ(site.uiActivated, 1);
    EXPECT_EQ(site.activated, 1);  // already active: no second activation
    // A verb it does not know counts as the primary one.
    EXPECT_EQ(ole->DoVerb(7, nullptr, &site, 0, frame, &moved), OLEOBJ_S_INVALIDVERB);
    ASSERT_EQ(ole->Close(OLECLOSE_NOSAVE), S_OK);
    EXPECT_EQ(site.uiDeactivated, 1);
    EXPECT_EQ(site.deactivated, 1);
    EXPECT_FALSE(IsWindow(child));
    EXPECT_EQ(inPlace->GetWindow(&child), E_FAIL);
    ASSERT_EQ(ole->SetClientSite(nullptr), S_OK);
    DestroyWindow(frame);
}

}  // namespace
}  // namespace voxtrel::com
