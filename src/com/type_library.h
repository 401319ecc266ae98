// The control's type library, read from the module's own TYPELIB resource, and the four type
// descriptions that the object's dispatch, class information and events are driven by.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include "com/com_ptr.h"

namespace voxtrel::com {

struct TypeInfos {
    ComPtr<ITypeLib> library;
    ComPtr<ITypeInfo> dispatch;  // _DVoxtrel: names, and what GetTypeInfo hands out
    ComPtr<ITypeInfo> methods;   // IVoxtrelMethods: the vtable that Invoke calls through
    ComPtr<ITypeInfo> events;    // _DVoxtrelEvents
    ComPtr<ITypeInfo> coclass;   // Voxtrel
};

// Loads the library from the module file rather than from the registry, so that an object works
// whether or not (and wherever) the library was registered.
HRESULT LoadModuleTypeLib(ComPtr<ITypeLib>& library);
HRESULT LoadTypeInfos(TypeInfos& infos);

}  // namespace voxtrel::com
