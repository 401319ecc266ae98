// Tests of the registered voxtrel.ocx as COM sees it: the module's entry points. (The scripts and
// the host program create the control by its program id; wine-test checks the registry.)
#include <windows.h>

#include <gtest/gtest.h>
#include <olectl.h>

#include "com/voxtrel_tlb.h"
#include "com_test_support.h"

namespace voxtrel::com {
namespace {

using namespace voxtrel::com::testing;

TEST(Client, TheRegisteredModuleStaysWhileItsObjectsLive) {
    ComApartment apartment;
    wchar_t path[MAX_PATH] = {};
    DWORD size = sizeof path;
    RegGetValueW(HKEY_CLASSES_ROOT,
                 L"CLSID\\{DC1316FE-7AC7-4AE4-8A4D-3417CB384785}\\InprocServer32", nullptr,
                 RRF_RT_REG_SZ, nullptr, path, &size);
    HMODULE module = LoadLibraryW(path);
    ASSERT_NE(module, nullptr);
    // Through void*: the entry points' real types are not FARPROC's.
    auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    ASSERT_TRUE(getClassObject && canUnload);
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
