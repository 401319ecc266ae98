// The entry points of voxtrel.ocx, exported by voxtrel.def: class objects, unloading and
// self-registration.
#include <windows.h>

#include "com/class_factory.h"
#include "com/module.h"
#include "com/registration.h"

extern "C" {

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    return voxtrel::com::GetClassObject(clsid, iid, out);
}

STDAPI DllCanUnloadNow() {
    return voxtrel::com::ModuleInUse() ? S_FALSE : S_OK;
}

STDAPI DllRegisterServer() {
    return voxtrel::com::RegisterServer();
}

STDAPI DllUnregisterServer() {
    return voxtrel::com::UnregisterServer();
}

}  // extern "C"
