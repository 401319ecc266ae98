// The class factory of the control class: what DllGetClassObject hands out.
#pragma once

#include <windows.h>

#include <unknwn.h>

namespace voxtrel::com {

// The factory for CLSID_Voxtrel answered as iid; CLASS_E_CLASSNOTAVAILABLE for any other class.
HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out);

}  // namespace voxtrel::com
