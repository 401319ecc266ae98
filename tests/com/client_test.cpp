// Tests of the registered voxtrel.ocx as a COM client sees it: program id, events through the
// connection point, the registered type library and the module's entry points.
#include <windows.h>

#include <gtest/gtest.h>
#include <olectl.h>

#include <thread>

#include "com/voxtrel_tlb.h"
#include "com_test_support.h"
#include "fake_peer.h"

namespace voxtrel::com {
namespace {

using namespace voxtrel::com::testing;
using namespace voxtrel::testing;

std::wstring RegisteredModule() {
    wchar_t path[MAX_PATH] = {};
    DWORD size = sizeof path;
    RegGetValueW(HKEY_CLASSES_ROOT,
                 L"CLSID\\{DC1316FE-7AC7-4AE4-8A4D-3417CB384785}\\InprocServer32", nullptr,
                 RRF_RT_REG_SZ, nullptr, path, &size);
    return path;
}

class Client : public ::testing::Test {
  protected:
    ComApartment apartment;
};

TEST_F(Client, CreatedByProgramIdItFiresEventsThroughItsConnectionPoint) {
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(L"VOXTREL.VoxtrelCtrl.1", &clsid), S_OK);
    ComPtr<IDispatch> control;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(control.Put())),
              S_OK);
    EXPECT_EQ(Call(control.Get(), L"Disconnect", {}).text, "false");
    FakePeer peer;
    auto sink = RecordingSink::Make();
    ASSERT_NE(Advise(control.Get(), sink.Get()), 0u);
    std::thread service([&] { peer.Authenticate(true); });
    Outcome connected = Call(
        control.Get(), L"Connect",
        {Text("127.0.0.1"), Short(static_cast<short>(peer.Port())), Long(5), Text("u"), Text("p")});
    service.join();
    ASSERT_EQ(connected.text, "true");
    peer.Send(Notification("callstatechanged", StringParam("42") + IntParam(3)));
    ASSERT_TRUE(PumpUntil([&] { return !sink->events.empty(); }, 5000));
    EXPECT_EQ(sink->events[0].id, 1);
    EXPECT_EQ(sink->events[0].args, (std::vector<std::string>{"42", "3"}));
    EXPECT_EQ(Call(control.Get(), L"Disconnect", {}).text, "true");
}

TEST_F(Client, TheRegisteredTypeLibraryIsTheModulesAndTheIdls) {
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadRegTypeLib(LIBID_VOXTRELLib, 1, 0, 0, library.Put()), S_OK);
    for (auto [name, iid] : {std::pair{"_DVoxtrel", &DIID__DVoxtrel},
                             std::pair{"_DVoxtrelEvents", &DIID__DVoxtrelEvents}}) {
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(library->GetTypeInfoOfGuid(*iid, info.Put()), S_OK);
        EXPECT_EQ(TypeInfoMembers(info.Get()), IdlMembers(name));
    }
    BSTR path = nullptr;
    ASSERT_EQ(QueryPathOfRegTypeLib(LIBID_VOXTRELLib, 1, 0, 0, &path), S_OK);
    EXPECT_EQ(std::wstring(path), RegisteredModule());
    SysFreeString(path);
}

TEST_F(Client, ModuleEntryPointsHoldTheModuleWhileItsObjectsLive) {
    const std::wstring path = RegisteredModule();
    ASSERT_FALSE(path.empty());
    HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr);
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
    // Through void*: the entry points' real types are not FARPROC's.
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    auto canUnload = reinterpret_cast<CanUnloadFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    ASSERT_NE(getClassObject, nullptr);
    ASSERT_NE(canUnload, nullptr);
    EXPECT_NE(GetProcAddress(module, "DllRegisterServer"), nullptr);
    EXPECT_NE(GetProcAddress(module, "DllUnregisterServer"), nullptr);

    ComPtr<IClassFactory> factory;
    EXPECT_EQ(
        getClassObject(IID_IDispatch, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
        CLASS_E_CLASSNOTAVAILABLE);
    ASSERT_EQ(
        getClassObject(CLSID_Voxtrel, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
        S_OK);
    EXPECT_EQ(canUnload(), S_FALSE);  // the factory holds the module
    ComPtr<IUnknown> control;
    ASSERT_EQ(
        factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(control.Put())),
        S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_FALSE);  // and so do a live control and a lock
    control.Reset();
    EXPECT_EQ(canUnload(), S_FALSE);
    ASSERT_EQ(
        getClassObject(CLSID_Voxtrel, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
        S_OK);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_OK);
    FreeLibrary(module);
}

}  // namespace
}  // namespace voxtrel::com
