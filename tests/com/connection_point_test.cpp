// Tests of the control's COM identity and event plumbing: the interfaces it answers, with one
// identity and counted references, its class factory, its type information, and the connection
// point for event sinks.
#include <windows.h>

#include <gtest/gtest.h>
#include <objsafe.h>
#include <olectl.h>

#include "com_test_support.h"

namespace voxtrel::com {
namespace {

using namespace voxtrel::com::testing;

GUID TypeGuid(ITypeInfo* info) {
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return GUID_NULL;
    const GUID guid = attr->guid;
    info->ReleaseTypeAttr(attr);
    return guid;
}

TEST(Identity, AnswersTheInterfacesOfAControlWithOneIdentityTypesAndAConnectionPoint) {
    ComApartment apartment;
    ComPtr<IDispatch> control = NewControl();
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(control.As(IID_IUnknown, reinterpret_cast<void**>(unknown.Put())), S_OK);
    const ULONG refs = Refs(unknown.Get());
    for (const IID* iid :
         {&IID_IDispatch, &DIID__DVoxtrel, &IID_IProvideClassInfo, &IID_IProvideClassInfo2,
          &IID_IConnectionPointContainer, &IID_IOleObject, &IID_IOleControl, &IID_IOleWindow,
          &IID_IOleInPlaceObject, &IID_IOleInPlaceActiveObject, &IID_IViewObject, &IID_IViewObject2,
          &IID_IPersist, &IID_IPersistStreamInit, &IID_IPersistPropertyBag, &IID_IQuickActivate,
          &IID_IObjectSafety}) {
        ComPtr<IUnknown> face, identity;
        ASSERT_EQ(unknown.As(*iid, reinterpret_cast<void**>(face.Put())), S_OK);
        EXPECT_EQ(Refs(unknown.Get()), refs + 1);
        ASSERT_EQ(face.As(IID_IUnknown, reinterpret_cast<void**>(identity.Put())), S_OK);
        EXPECT_EQ(identity.Get(), unknown.Get());
    }
    ComPtr<IUnknown> none;
    EXPECT_EQ(unknown.As(IID_IPersistStorage, reinterpret_cast<void**>(none.Put())), E_NOINTERFACE);
    EXPECT_EQ(Refs(unknown.Get()), refs);
    // Its class factory makes only this class, and refuses aggregation.
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(
        GetClassObject(IID_IDispatch, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
        CLASS_E_CLASSNOTAVAILABLE);
    ASSERT_EQ(
        GetClassObject(CLSID_Voxtrel, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
        S_OK);
    EXPECT_EQ(
        factory->CreateInstance(control.Get(), IID_IUnknown, reinterpret_cast<void**>(none.Put())),
        CLASS_E_NOAGGREGATION);
    EXPECT_EQ(
        factory->CreateInstance(nullptr, IID_IClassFactory, reinterpret_cast<void**>(none.Put())),
        E_NOINTERFACE);
    // Containers find the events to connect to from the class information.
    UINT count = 0;
    ASSERT_EQ(control->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(control->GetTypeInfo(0, 0, info.Put()), S_OK);
    EXPECT_EQ(TypeGuid(info.Get()), DIID__DVoxtrel);
    ComPtr<IProvideClassInfo2> provider;
    ASSERT_EQ(control.As(provider), S_OK);
    GUID guid;
    ASSERT_EQ(provider->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &guid), S_OK);
    EXPECT_EQ(guid, DIID__DVoxtrelEvents);
    EXPECT_EQ(provider->GetGUID(2, &guid), E_INVALIDARG);
    ASSERT_EQ(provider->GetClassInfo(info.Put()), S_OK);
    EXPECT_EQ(TypeGuid(info.Get()), CLSID_Voxtrel);
    provider.Reset();

    // One connection point, where sinks connect, are enumerated and disconnect.
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(control.As(container), S_OK);
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, point.Put()), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(container->FindConnectionPoint(DIID__DVoxtrelEvents, point.Put()), S_OK);
    EXPECT_EQ(Refs(unknown.Get()), refs + 2);  // the point lives in the control and counts there
    IID iid{};
    ASSERT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, DIID__DVoxtrelEvents);
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(point->GetConnectionPointContainer(back.Put()), S_OK);
    EXPECT_EQ(back.Get(), container.Get());

    auto first = RecordingSink::Make(), second = RecordingSink::Make();
    DWORD a = 0, b = 0;
    ASSERT_EQ(point->Advise(first.Get(), &a), S_OK);
    ASSERT_EQ(point->Advise(second.Get(), &b), S_OK);
    EXPECT_TRUE(a && b && a != b);
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(point->EnumConnections(connections.Put()), S_OK);
    CONNECTDATA data[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    ComPtr<IEnumConnections> clone;
    ASSERT_EQ(connections->Clone(clone.Put()), S_OK);
    EXPECT_EQ(clone->Skip(1), S_FALSE);  // the clone keeps the position, at the end
    EXPECT_EQ(data[0].dwCookie, a);
    EXPECT_EQ(data[1].dwCookie, b);
    for (ULONG i = 0; i < fetched; ++i)
        data[i].pUnk->Release();
    connections.Reset();
    clone.Reset();
    EXPECT_EQ(first->References(), 2u);
    EXPECT_EQ(point->Unadvise(a), S_OK);
    EXPECT_EQ(point->Unadvise(a), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(first->References(), 1u);
    DWORD c = 1;  // something that is no dispatch interface cannot be a sink
    EXPECT_EQ(point->Advise(factory.Get(), &c), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(c, 0u);
    point.Reset();
    back.Reset();
    container.Reset();
    EXPECT_EQ(Refs(unknown.Get()), refs);
}

}  // namespace
}  // namespace voxtrel::com
