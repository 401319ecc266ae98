// Tests of the control's container face: extent, verbs, drawing, persistence, quick activation,
// safety options, and in-place activation where the machine can show windows.
#include <windows.h>

#include <gtest/gtest.h>
#include <objsafe.h>
#include <olectl.h>

#include <map>
#include <string>

#include "com/bstr_text.h"
#include "com/voxtrel_object.h"
#include "com_test_support.h"

// mingw-w64's objsafe.h declares no __uuidof for IObjectSafety.
__CRT_UUID_DECL(IObjectSafety, 0xcb5bdc81, 0x93c1, 0x11cf, 0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0,
                0x64)

namespace voxtrel::com {
namespace {

using namespace voxtrel::com::testing;

SIZEL InitialExtent() {
    HDC screen = GetDC(nullptr);
    SIZEL size{MulDiv(20, 2540, GetDeviceCaps(screen, LOGPIXELSX)),
               MulDiv(20, 2540, GetDeviceCaps(screen, LOGPIXELSY))};
    ReleaseDC(nullptr, screen);
    return size;
}

class Embedding : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(VoxtrelObject::Create(IID_IOleObject, reinterpret_cast<void**>(ole.Put())), S_OK);
    }
    template <class I>
    ComPtr<I> As() {
        ComPtr<I> face;
        EXPECT_EQ(ole.As(face), S_OK);
        return face;
    }

    ComApartment apartment;
    ComPtr<IOleObject> ole;
};

TEST_F(Embedding, StartsTwentyPixelsSquare) {
    SIZEL size{};
    ASSERT_EQ(ole->GetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(size.cx, InitialExtent().cx);
    EXPECT_EQ(size.cy, InitialExtent().cy);
    SIZEL view{};
    ASSERT_EQ(As<IViewObject2>()->GetExtent(DVASPECT_CONTENT, -1, nullptr, &view), S_OK);
    EXPECT_EQ(view.cx, size.cx);
    SIZEL bigger{1000, 500};
    ASSERT_EQ(ole->SetExtent(DVASPECT_CONTENT, &bigger), S_OK);
    ASSERT_EQ(ole->GetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(size.cx, 1000);
    EXPECT_EQ(size.cy, 500);
    EXPECT_EQ(ole->SetExtent(DVASPECT_ICON, &bigger), DV_E_DVASPECT);
}

TEST_F(Embedding, StatusTypeAndVerbs) {
    DWORD status = 0;
    ASSERT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
    EXPECT_EQ(status, 0x20193u);
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
}

// Draws the control into a white 40 x 30 bitmap; the pixels afterwards.
std::vector<COLORREF> DrawnPixels(IViewObject* view, DWORD aspect, HRESULT& hr) {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 40, 30);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(dc, bitmap);
    RECT all{0, 0, 40, 30};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    RECTL bounds{0, 0, 40, 30};
    hr = view->Draw(aspect, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0);
    std::vector<COLORREF> pixels;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            pixels.push_back(GetPixel(dc, x, y));
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return pixels;
}

TEST_F(Embedding, DrawsItsIconStretchedInEveryAspect) {
    auto view = As<IViewObject2>();
    for (DWORD aspect : {DVASPECT_CONTENT, DVASPECT_ICON, DVASPECT_DOCPRINT}) {
        HRESULT hr = E_FAIL;
        std::vector<COLORREF> pixels = DrawnPixels(view.Get(), aspect, hr);
        EXPECT_EQ(hr, S_OK);
        int painted = 0;
        for (COLORREF p : pixels)
            painted += p != RGB(255, 255, 255);
        // The tile fills the bounds but for its rounded corners.
        EXPECT_GT(painted, 40 * 30 * 3 / 4) << "aspect " << aspect;
        // The tile reaches every edge (the handset on it is white).
        EXPECT_NE(pixels[15 * 40 + 1], RGB(255, 255, 255));   // left
        EXPECT_NE(pixels[15 * 40 + 38], RGB(255, 255, 255));  // right
        EXPECT_NE(pixels[1 * 40 + 20], RGB(255, 255, 255));   // top
        EXPECT_NE(pixels[28 * 40 + 20], RGB(255, 255, 255));  // bottom
    }
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, screen, nullptr, nullptr,
                         nullptr, 0),
              E_INVALIDARG);
    ReleaseDC(nullptr, screen);
}

TEST_F(Embedding, PersistsItsExtentInAStream) {
    auto persist = As<IPersistStreamInit>();
    ASSERT_EQ(persist->InitNew(), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    SIZEL size{1234, 567};
    ASSERT_EQ(ole->SetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_OK);
    ULARGE_INTEGER max{};
    ASSERT_EQ(persist->GetSizeMax(&max), S_OK);
    EXPECT_EQ(max.QuadPart, 12u);
    ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    ASSERT_EQ(persist->Save(stream.Get(), TRUE), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    CLSID clsid;
    ASSERT_EQ(persist->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_Voxtrel));

    ComPtr<IPersistStreamInit> other;
    ASSERT_EQ(VoxtrelObject::Create(IID_IPersistStreamInit, reinterpret_cast<void**>(other.Put())),
              S_OK);
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(other->Load(stream.Get()), S_OK);
    ComPtr<IOleObject> otherOle;
    ASSERT_EQ(other.As(otherOle), S_OK);
    SIZEL loaded{};
    otherOle->GetExtent(DVASPECT_CONTENT, &loaded);
    EXPECT_EQ(loaded.cx, 1234);
    EXPECT_EQ(loaded.cy, 567);

    // A stream of something else is refused.
    ComPtr<IStream> garbage;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, garbage.Put()), S_OK);
    ULONG written = 0;
    garbage->Write("not a control", 13, &written);
    garbage->Seek(start, STREAM_SEEK_SET, nullptr);
    EXPECT_EQ(other->Load(garbage.Get()), E_FAIL);
}

// A property bag as a web page's PARAM tags make one.
class MapBag final : public IPropertyBag {
  public:
    std::map<std::wstring, long> values;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IPropertyBag) {
            *out = static_cast<IPropertyBag*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        auto it = values.find(name);
        if (it == values.end()) return E_INVALIDARG;
        // As a page gives them: text.
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocString(std::to_wstring(it->second).c_str());
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

TEST_F(Embedding, PersistsItsExtentInAPropertyBag) {
    auto persist = As<IPersistPropertyBag>();
    MapBag bag;
    ASSERT_EQ(persist->Save(&bag, TRUE, TRUE), S_OK);
    EXPECT_EQ(bag.values[L"_Version"], 0x10000);
    EXPECT_EQ(bag.values[L"_ExtentX"], InitialExtent().cx);
    EXPECT_EQ(bag.values[L"_ExtentY"], InitialExtent().cy);
    EXPECT_EQ(bag.values[L"_StockProps"], 0);

    MapBag page;
    page.values[L"_ExtentX"] = 777;
    page.values[L"_ExtentY"] = 888;
    ASSERT_EQ(persist->Load(&page, nullptr), S_OK);
    SIZEL size{};
    ole->GetExtent(DVASPECT_CONTENT, &size);
    EXPECT_EQ(size.cx, 777);
    EXPECT_EQ(size.cy, 888);
    MapBag none;
    ASSERT_EQ(persist->Load(&none, nullptr), S_OK);
    ole->GetExtent(DVASPECT_CONTENT, &size);
    EXPECT_EQ(size.cx, InitialExtent().cx);
}

TEST_F(Embedding, QuickActivationConnectsTheContainersEventSink) {
    auto quick = As<IQuickActivate>();
    auto sink = RecordingSink::Make();
    QACONTAINER container{};
    container.cbSize = sizeof container;
    container.pUnkEventSink = sink.Get();
    QACONTROL answer{};
    answer.cbSize = sizeof answer;
    ASSERT_EQ(quick->QuickActivate(&container, &answer), S_OK);
    EXPECT_EQ(answer.dwMiscStatus, 0x20193u);
    EXPECT_NE(answer.dwEventCookie, 0u);
    EXPECT_EQ(sink->References(), 2u);
    Unadvise(ole.Get(), answer.dwEventCookie);
    EXPECT_EQ(sink->References(), 1u);
    QACONTROL small{};
    small.cbSize = 4;
    EXPECT_EQ(quick->QuickActivate(&container, &small), E_INVALIDARG);
}

TEST_F(Embedding, SafeForScriptingAndInitialisation) {
    auto safety = As<IObjectSafety>();
    DWORD supported = 0;
    DWORD enabled = 0;
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    const DWORD both = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
    EXPECT_EQ(supported, both);
    EXPECT_EQ(enabled, 0u);
    ASSERT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                INTERFACESAFE_FOR_UNTRUSTED_CALLER),
              S_OK);
    ASSERT_EQ(
        safety->SetInterfaceSafetyOptions(IID_IPersistPropertyBag, INTERFACESAFE_FOR_UNTRUSTED_DATA,
                                          INTERFACESAFE_FOR_UNTRUSTED_DATA),
        S_OK);
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, both);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 0x100, 0x100), E_FAIL);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IOleObject, &supported, &enabled),
              E_NOINTERFACE);
}

// A container: a top-level window with one site for the control.
class TestSite final : public IOleClientSite, public IOleInPlaceSite {
  public:
    explicit TestSite(HWND window) : window_(window) {}
    int canActivate = 0, activated = 0, uiActivated = 0, uiDeactivated = 0, deactivated = 0;
    RECT position{10, 20, 50, 60};

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IOleClientSite) {
            *out = static_cast<IOleClientSite*>(this);
        } else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite) {
            *out = static_cast<IOleInPlaceSite*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SaveObject() override { return S_OK; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer** c) override {
        *c = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
    STDMETHODIMP GetWindow(HWND* hwnd) override {
        *hwnd = window_;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP CanInPlaceActivate() override {
        ++canActivate;
        return S_OK;
    }
    STDMETHODIMP OnInPlaceActivate() override {
        ++activated;
        return S_OK;
    }
    STDMETHODIMP OnUIActivate() override {
        ++uiActivated;
        return S_OK;
    }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos,
                                  LPRECT clip, LPOLEINPLACEFRAMEINFO) override {
        *frame = nullptr;
        *doc = nullptr;
        *pos = position;
        *clip = RECT{0, 0, 400, 300};
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override {
        ++uiDeactivated;
        return S_OK;
    }
    STDMETHODIMP OnInPlaceDeactivate() override {
        ++deactivated;
        return S_OK;
    }
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
    ASSERT_EQ(ole->Close(OLECLOSE_NOSAVE), S_OK);
    EXPECT_EQ(site.uiDeactivated, 1);
    EXPECT_EQ(site.deactivated, 1);
    EXPECT_FALSE(IsWindow(child));
    EXPECT_EQ(inPlace->GetWindow(&child), E_FAIL);
    ASSERT_EQ(ole->SetClientSite(nullptr), S_OK);
    DestroyWindow(frame);
}

TEST_F(Embedding, WithoutAContainerNoVerbActivates) {
    EXPECT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0, nullptr, nullptr),
              E_UNEXPECTED);
    EXPECT_EQ(ole->DoVerb(OLEIVERB_PROPERTIES, nullptr, nullptr, 0, nullptr, nullptr), S_OK);
    EXPECT_EQ(ole->DoVerb(OLEIVERB_OPEN, nullptr, nullptr, 0, nullptr, nullptr), E_NOTIMPL);
}

}  // namespace
}  // namespace voxtrel::com
