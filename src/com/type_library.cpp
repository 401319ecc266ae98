// Loading the control's type library and its type descriptions.
#include "com/type_library.h"

#include "com/module.h"
#include "com/voxtrel_tlb.h"

namespace voxtrel::com {

HRESULT LoadModuleTypeLib(ComPtr<ITypeLib>& library) {
    std::wstring path = ModulePath();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    return LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put());
}

HRESULT LoadTypeInfos(TypeInfos& infos) {
    HRESULT hr = LoadModuleTypeLib(infos.library);
    if (FAILED(hr)) return hr;
    ITypeLib* lib = infos.library.Get();
    if (FAILED(hr = lib->GetTypeInfoOfGuid(DIID__DVoxtrel, infos.dispatch.Put()))) return hr;
    if (FAILED(hr = lib->GetTypeInfoOfGuid(IID_IVoxtrelMethods, infos.methods.Put()))) return hr;
    if (FAILED(hr = lib->GetTypeInfoOfGuid(DIID__DVoxtrelEvents, infos.events.Put()))) return hr;
    return lib->GetTypeInfoOfGuid(CLSID_Voxtrel, infos.coclass.Put());
}

}  // namespace voxtrel::com
