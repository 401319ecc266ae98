// Tests of the control's container face: extent and persistence, quick activation, safety
// options, drawing, and in-place activation where the machine can show windows.
#include <windows.h>

#include <gtest/gtest.h>
#include <objsafe.h>
#include <olectl.h>

#include <map>
#include <string>

#include "com_test_support.h"

// mingw-w64's objsafe.h declares no __uuidof for IObjectSafety.
__CRT_UUID_DECL(IObjectSafety, 0xcb5bdc81, 0x93c1, 0x11cf, 0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0,
                0x64)

namespace voxtrel::com {
namespace {

using namespace voxtrel::com::testing;

// A property bag as a web page's PARAM tags make one: values as text.
struct MapBag final : IPropertyBag {
    std::map<std::wstring, std::string> values;
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        return values.count(name) ? (*value = Text(values[name]), S_OK) : E_INVALIDARG;
    }
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
        return values[name] = VariantText(*value), S_OK;
    }
};

// A container's site for the control in a top-level window, logging its calls: can activate,
// activated, UI activated, UI deactivated, deactivated as c a u U A.
struct TestSite final : IOleClientSite, IOleInPlaceSite {
    HWND window;
    std::string calls;
    explicit TestSite(HWND frame) : window(frame) {}
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
    STDMETHODIMP GetWindow(HWND* hwnd) override { return *hwnd = window, S_OK; }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP CanInPlaceActivate() override { return calls += 'c', S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return calls += 'a', S_OK; }
    STDMETHODIMP OnUIActivate() override { return calls += 'u', S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos,
                                  LPRECT clip, LPOLEINPLACEFRAMEINFO) override {
        *frame = nullptr, *doc = nullptr;
        return *pos = *clip = RECT{10, 20, 50, 60}, S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return calls += 'U', S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return calls += 'A', S_OK; }
    STDMETHODIMP DiscardUndoState() override { return S_OK; }
    STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }
};

TEST(Embedding, PersistsActivatesQuicklyKeepsSafetyOptionsDrawsAndActivatesInPlace) {
    ComApartment apartment;
    ComPtr<IOleObject> ole;
    ASSERT_EQ(NewControl().As(ole), S_OK);
    auto as = [&](auto face) { return ole.As(face), face; };  // each answered: see Identity
    auto extent = [&] {
        SIZEL size{};
        EXPECT_EQ(ole->GetExtent(DVASPECT_CONTENT, &size), S_OK);
        return std::make_pair(size.cx, size.cy);
    };
    const auto initial = extent();
    auto persist = as(ComPtr<IPersistStreamInit>());
    auto bagged = as(ComPtr<IPersistPropertyBag>());
    SIZEL size{initial.first, initial.second};
    ASSERT_EQ(persist->InitNew(), S_OK);
    ASSERT_EQ(ole->SetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);  // nothing changed
    size = {1234, 567};
    EXPECT_EQ(ole->SetExtent(DVASPECT_ICON, &size), DV_E_DVASPECT);
    ASSERT_EQ(ole->SetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_OK);
    ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    ASSERT_EQ(persist->Save(stream.Get(), TRUE), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    MapBag bag, page, none;
    ASSERT_EQ(bagged->Save(&bag, TRUE, TRUE), S_OK);
    EXPECT_EQ(bag.values[L"_ExtentX"] + " " + bag.values[L"_ExtentY"], "1234 567");
    page.values = {{L"_ExtentX", "777"}, {L"_ExtentY", "888"}};
    ASSERT_EQ(bagged->Load(&page, nullptr), S_OK);
    EXPECT_EQ(extent(), std::make_pair(777L, 888L));
    ASSERT_EQ(bagged->Load(&none, nullptr), S_OK);  // every property is optional
    EXPECT_EQ(extent(), initial);
    stream->Seek({}, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(persist->Load(stream.Get()), S_OK);
    EXPECT_EQ(extent(), std::make_pair(1234L, 567L));
    // A stream of something else is refused.
    stream->Seek({}, STREAM_SEEK_SET, nullptr);
    stream->Write("not a control", 13, nullptr);
    stream->Seek({}, STREAM_SEEK_SET, nullptr);
    EXPECT_EQ(persist->Load(stream.Get()), E_FAIL);

    // Quick activation connects the container's event sink.
    auto sink = RecordingSink::Make();
    QACONTAINER container{};
    container.cbSize = sizeof container;
    container.pUnkEventSink = sink.Get();
    QACONTROL answer{};
    answer.cbSize = 4;
    EXPECT_EQ(as(ComPtr<IQuickActivate>())->QuickActivate(&container, &answer), E_INVALIDARG);
    answer.cbSize = sizeof answer;
    ASSERT_EQ(as(ComPtr<IQuickActivate>())->QuickActivate(&container, &answer), S_OK);
    EXPECT_EQ(sink->References(), 2u);
    Unadvise(ole.Get(), answer.dwEventCookie);
    EXPECT_EQ(sink->References(), 1u);

    auto safety = as(ComPtr<IObjectSafety>());
    const DWORD caller = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
    const DWORD data = INTERFACESAFE_FOR_UNTRUSTED_DATA;
    DWORD supported = 0, enabled = 0;
    // Supported and enabled options after each change; only the masked options change.
    auto options = [&](REFIID iid, DWORD mask, DWORD set) {
        EXPECT_EQ(safety->SetInterfaceSafetyOptions(iid, mask, set), S_OK);
        EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
        return std::make_pair(supported, enabled);
    };
    EXPECT_EQ(options(IID_IDispatch, 0, 0), std::make_pair(caller | data, 0ul));
    EXPECT_EQ(options(IID_IDispatch, caller, caller), std::make_pair(caller | data, caller));
    EXPECT_EQ(options(IID_IPersistPropertyBag, data, data).second, caller | data);
    EXPECT_EQ(options(IID_IDispatch, caller, 0).second, data);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 0x100, 0x100), E_FAIL);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IOleObject, &supported, &enabled),
              E_NOINTERFACE);

    // Drawn into its bounds, the icon's tile reaches every edge.
    auto view = as(ComPtr<IViewObject2>());
    HDC screen = GetDC(nullptr), dc = CreateCompatibleDC(screen);
    HGDIOBJ old = SelectObject(dc, CreateCompatibleBitmap(screen, 40, 30));
    const RECTL bounds{0, 0, 40, 30};
    PatBlt(dc, 0, 0, 40, 30, WHITENESS);
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, 0, 0, 0, dc, nullptr, 0, 0, 0), E_INVALIDARG);
    ASSERT_EQ(view->Draw(DVASPECT_CONTENT, -1, 0, 0, 0, dc, &bounds, 0, 0, 0), S_OK);
    for (POINT p : {POINT{1, 15}, POINT{38, 15}, POINT{20, 1}, POINT{20, 28}})
        EXPECT_NE(GetPixel(dc, p.x, p.y), RGB(255, 255, 255)) << p.x << "," << p.y;
    DeleteObject(SelectObject(dc, old));
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);

    // Without a container no verb activates.
    EXPECT_EQ(ole->DoVerb(OLEIVERB_SHOW, nullptr, nullptr, 0, nullptr, nullptr), E_UNEXPECTED);
    HWND frame = CreateWindowExW(0, L"STATIC", L"container", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300,
                                 nullptr, nullptr, nullptr, nullptr);
    if (!frame) GTEST_SKIP() << "no display: windows cannot be shown here";
    TestSite site(frame);
    ASSERT_EQ(ole->SetClientSite(&site), S_OK);
    ASSERT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, frame, nullptr), S_OK);
    EXPECT_EQ(site.calls, "ca");
    auto inPlace = as(ComPtr<IOleInPlaceObject>());
    HWND child = nullptr;
    ASSERT_EQ(inPlace->GetWindow(&child), S_OK);
    EXPECT_EQ(GetParent(child), frame);
    RECT r, moved{0, 0, 100, 70};
    GetWindowRect(child, &r);
    EXPECT_EQ(std::make_pair(r.right - r.left, r.bottom - r.top), std::make_pair(40L, 40L));
    ASSERT_EQ(inPlace->SetObjectRects(&moved, &moved), S_OK);
    GetWindowRect(child, &r);
    EXPECT_EQ(std::make_pair(r.right - r.left, r.bottom - r.top), std::make_pair(100L, 70L));
    UpdateWindow(child);  // paints the icon
    ASSERT_EQ(ole->DoVerb(OLEIVERB_UIACTIVATE, nullptr, &site, 0, frame, nullptr), S_OK);
    // A verb it does not know counts as the primary one; already active, it activates no more.
    EXPECT_EQ(ole->DoVerb(7, nullptr, &site, 0, frame, nullptr), OLEOBJ_S_INVALIDVERB);
    ASSERT_EQ(ole->Close(OLECLOSE_NOSAVE), S_OK);
    EXPECT_EQ(site.calls, "cauUA");
    EXPECT_FALSE(IsWindow(child));
    EXPECT_EQ(inPlace->GetWindow(&child), E_FAIL);
    ASSERT_EQ(ole->SetClientSite(nullptr), S_OK);
    DestroyWindow(frame);
}

}  // namespace
}  // namespace voxtrel::com
