// Calls of the control's methods through IDispatch: names resolved once with GetIDsOfNames,
// arguments handed over as automation values that the control's type library converts.
#include "com_script_target.h"

#include <algorithm>
#include <iostream>
#include <string_view>

#include "com/bstr_text.h"

namespace voxtrel::com {

HRESULT ComScriptTarget::Call(const std::wstring& name, DispatchArgs& args, VARIANT& result) {
    auto known = ids_.find(name);
    DISPID id = DISPID_UNKNOWN;
    if (known != ids_.end()) {
        id = known->second;
    } else {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
        HRESULT hr = control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(hr)) return hr;
        ids_[name] = id;
    }
    DISPPARAMS params = args.Params();
    return control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                            nullptr, nullptr);
}

namespace {

void ReportFailure(const char* name, HRESULT hr) {
    char code[16];
    wsprintfA(code, "0x%08lX", static_cast<unsigned long>(hr));
    std::cerr << "voxtrel-com-host: " << name << " failed: " << code << std::endl;
}

}  // namespace

ControlValue ComScriptTarget::Invoke(const ControlMember& method,
                                     std::span<const ControlValue> args) {
    DispatchArgs params;
    for (size_t i = 0; i < method.count && i < args.size(); ++i) {
        switch (method.params[i].type) {
            case ControlType::Text:
                params.Text(args[i].text);
                break;
            case ControlType::Short:
                params.Short(static_cast<int16_t>(args[i].number));
                break;
            default:
                // A BOOL goes as the number it is: the control's type converts it, as a script's
                // number.
                params.Long(args[i].number);
                break;
        }
    }
    const std::string_view name = method.name;
    const bool text = method.result == ControlType::Text;
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = Call(std::wstring(name.begin(), name.end()), params, result);
    if (SUCCEEDED(hr)) hr = VariantChangeType(&result, &result, 0, text ? VT_BSTR : VT_BOOL);
    ControlValue value;
    if (FAILED(hr)) {
        ReportFailure(method.name, hr);
    } else if (text) {
        value.text = NarrowText(result.bstrVal);
    } else {
        value.number = result.boolVal != VARIANT_FALSE ? 1 : 0;
    }
    VariantClear(&result);
    return value;
}

void ComScriptTarget::Pump(int timeoutMs, const std::function<bool()>& done) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(std::max(timeoutMs, 0));
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            // One message at a time: an event that follows the awaited one in the queue stays
            // there for the script's next line.
            if (done()) return;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

bool ComScriptTarget::CreateControlWindow(std::string& error) {
    error = "not available through the ActiveX control (its window belongs to its container)";
    return false;
}

bool ComScriptTarget::DestroyControlWindow(std::string& error) {
    return CreateControlWindow(error);
}

}  // namespace voxtrel::com
