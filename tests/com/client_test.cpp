// The registered voxtrel.ocx as COM loads it (the scripts and the host use its program id).
#include <windows.h>

#include <gtest/gtest.h>

#include "com_test_support.h"

namespace voxtrel::com {
namespace {

using namespace voxtrel::com::testing;

TEST(Client, TheRegisteredModuleStaysWhileItsFactoryLocksOrObjectsLive) {
    ComApartment apartment;
    ComPtr<IClassFactory> factory;
    auto getFactory = [&] {
        return CoGetClassObject(CLSID_Voxtrel, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(factory.Put()));
    };
    ASSERT_EQ(getFactory(), S_OK);
    // Through void*: the entry point's real type is not FARPROC's.
    auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"voxtrel.ocx"), "DllCanUnloadNow")));
    ASSERT_NE(canUnload, nullptr);
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
    ASSERT_EQ(getFactory(), S_OK);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_OK);
}

}  // namespace
}  // namespace voxtrel::com
