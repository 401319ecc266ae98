// The registry entries of the control (class id, program id, server, markers, image, status, type
// library, version) and the registration of the type library embedded in the module.
#include "com/registration.h"

#include <olectl.h>

#include <string>
#include <vector>

#include "com/control_identity.h"
#include "com/module.h"
#include "com/resource_ids.h"
#include "com/type_library.h"
#include "com/voxtrel_tlb.h"

namespace voxtrel::com {

namespace {

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40];
    int n = StringFromGUID2(guid, text, 40);
    return n > 0 ? std::wstring(text) : std::wstring();
}

// One registry entry under HKEY_CLASSES_ROOT: a key, and its value when value is given.
struct Entry {
    std::wstring key;
    const wchar_t* name;  // null: the key's default value
    std::wstring value;
    bool hasValue;
};

LONG Write(const Entry& entry) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, entry.key.c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    if (entry.hasValue) {
        status = RegSetValueExW(key, entry.name, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(entry.value.c_str()),
                                static_cast<DWORD>((entry.value.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    return status;
}

std::wstring ClassKey() {
    return L"CLSID\\" + GuidText(CLSID_Voxtrel);
}

std::vector<Entry> ControlEntries(const std::wstring& modulePath) {
    const std::wstring cls = ClassKey();
    const std::wstring progId = kProgId;
    return {
        {cls, nullptr, kTypeName, true},
        {cls + L"\\ProgID", nullptr, kProgId, true},
        {cls + L"\\InprocServer32", nullptr, modulePath, true},
        {cls + L"\\InprocServer32", L"ThreadingModel", L"Apartment", true},
        {cls + L"\\Control", nullptr, L"", false},
        {cls + L"\\Insertable", nullptr, L"", false},
        {cls + L"\\Programmable", nullptr, L"", false},
        {cls + L"\\ToolboxBitmap32", nullptr, modulePath + L", " + std::to_wstring(IDI_VOXTREL),
         true},
        {cls + L"\\MiscStatus", nullptr, L"0", true},
        {cls + L"\\MiscStatus\\1", nullptr, std::to_wstring(kMiscStatus), true},
        {cls + L"\\TypeLib", nullptr, GuidText(LIBID_VOXTRELLib), true},
        {cls + L"\\Version", nullptr, kVersion, true},
        {progId, nullptr, kTypeName, true},
        {progId + L"\\CLSID", nullptr, GuidText(CLSID_Voxtrel), true},
        {progId + L"\\Insertable", nullptr, L"", false},
    };
}

HRESULT RegisterControlClass() {
    const std::wstring path = ModulePath();
    if (path.empty()) return SELFREG_E_CLASS;
    for (const Entry& entry : ControlEntries(path)) {
        if (Write(entry) != ERROR_SUCCESS) return SELFREG_E_CLASS;
    }
    return S_OK;
}

HRESULT UnregisterControlClass() {
    for (const std::wstring& key : {ClassKey(), std::wstring(kProgId)}) {
        LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return SELFREG_E_CLASS;
    }
    return S_OK;
}

HRESULT RegisterTypeLibrary() {
    ComPtr<ITypeLib> library;
    if (FAILED(LoadModuleTypeLib(library))) return SELFREG_E_TYPELIB;
    std::wstring path = ModulePath();
    if (FAILED(RegisterTypeLib(library.Get(), path.data(), nullptr))) return SELFREG_E_TYPELIB;
    return S_OK;
}

HRESULT UnregisterTypeLibrary() {
    ComPtr<ITypeLib> library;
    if (FAILED(LoadModuleTypeLib(library))) return SELFREG_E_TYPELIB;
    TLIBATTR* attributes = nullptr;
    if (FAILED(library->GetLibAttr(&attributes))) return SELFREG_E_TYPELIB;
    HRESULT hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum,
                                   attributes->wMinorVerNum, attributes->lcid, attributes->syskind);
    library->ReleaseTLibAttr(attributes);
    return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
}

}  // namespace

HRESULT RegisterServer() {
    try {
        HRESULT hr = RegisterTypeLibrary();
        if (FAILED(hr)) return hr;
        return RegisterControlClass();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT UnregisterServer() {
    try {
        HRESULT hr = UnregisterTypeLibrary();
        if (FAILED(hr)) return hr;
        return UnregisterControlClass();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace voxtrel::com
