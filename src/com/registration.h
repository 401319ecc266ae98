// Self-registration of voxtrel.ocx: the type library and the registry entries of an ActiveX
// control.
#pragma once

#include <windows.h>

namespace voxtrel::com {

// DllRegisterServer: the type library (SELFREG_E_TYPELIB on failure), then the control class
// (SELFREG_E_CLASS on failure). Registering again rewrites the same entries.
HRESULT RegisterServer();
// DllUnregisterServer: the type library, then the class id and program id keys, with the same
// failure codes.
HRESULT UnregisterServer();

}  // namespace voxtrel::com
