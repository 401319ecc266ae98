// Tests of the type library that the control hands out against voxtrel.idl: the dispatch and event
// interfaces carry the IDL's members, and the control class names them as containers expect.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>

#include "com/voxtrel_tlb.h"
#include "com_test_support.h"

namespace voxtrel::com {
namespace {

using namespace voxtrel::com::testing;

TEST(TypeLibrary, TheControlsInterfacesAreTheIdlsAndItsClassNamesThem) {
    ComApartment apartment;
    ComPtr<IDispatch> control = NewControl();
    ASSERT_TRUE(control);
    UINT count = 0;
    ASSERT_EQ(control->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> dispatch;
    EXPECT_EQ(control->GetTypeInfo(1, 0, dispatch.Put()), DISP_E_BADINDEX);
    ASSERT_EQ(control->GetTypeInfo(0, 0, dispatch.Put()), S_OK);
    EXPECT_EQ(TypeName(dispatch.Get()), "_DVoxtrel");
    EXPECT_EQ(TypeInfoMembers(dispatch.Get()), IdlMembers("_DVoxtrel"));

    ComPtr<IProvideClassInfo2> info;
    ASSERT_EQ(control.As(info), S_OK);
    GUID guid;
    ASSERT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &guid), S_OK);
    EXPECT_TRUE(IsEqualGUID(guid, DIID__DVoxtrelEvents));
    EXPECT_EQ(info->GetGUID(2, &guid), E_INVALIDARG);
    ComPtr<ITypeInfo> cls;
    ASSERT_EQ(info->GetClassInfo(cls.Put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(cls->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, CLSID_Voxtrel));
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FCONTROL);
    const UINT implemented = attr->cImplTypes;
    cls->ReleaseTypeAttr(attr);
    // Implementation flags to interface: the dispatch interface by default, the events as the
    // default source, which is how hosts find what to connect to.
    std::map<INT, std::string> faces;
    for (UINT i = 0; i < implemented; ++i) {
        INT flags = 0;
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> face;
        ASSERT_EQ(cls->GetImplTypeFlags(i, &flags), S_OK);
        ASSERT_EQ(cls->GetRefTypeOfImplType(i, &ref), S_OK);
        ASSERT_EQ(cls->GetRefTypeInfo(ref, face.Put()), S_OK);
        faces[flags] = TypeName(face.Get());
        if (flags & IMPLTYPEFLAG_FSOURCE) {
            EXPECT_EQ(TypeInfoMembers(face.Get()), IdlMembers("_DVoxtrelEvents"));
        }
    }
    EXPECT_EQ(faces, (std::map<INT, std::string>{
                         {IMPLTYPEFLAG_FDEFAULT, "_DVoxtrel"},
                         {IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE, "_DVoxtrelEvents"}}));
}

}  // namespace
}  // namespace voxtrel::com
