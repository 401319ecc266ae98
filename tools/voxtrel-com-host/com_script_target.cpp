// Calls of the control's methods through IDispatch: names resolved once with GetIDsOfNames,
// arguments handed over as automation values that the control's type library converts.
#include "com_script_target.h"

#include <algorithm>
#include <cwchar>
#include <iostream>

#include "com/bstr_text.h"

namespace voxtrel::com {

HRESULT ComScriptTarget::Call(const wchar_t* name, DispatchArgs& args, VARIANT& result) {
    auto known = ids_.find(name);
    DISPID id = DISPID_UNKNOWN;
    if (known != ids_.end()) {
        id = known->second;
    } else {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        HRESULT hr = control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(hr)) return hr;
        ids_[name] = id;
    }
    DISPPARAMS params = args.Params();
    return control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                            nullptr, nullptr);
}

namespace {

void ReportFailure(const wchar_t* name, HRESULT hr) {
    char code[16];
    wsprintfA(code, "0x%08lX", static_cast<unsigned long>(hr));
    std::cerr << "voxtrel-com-host: " << NarrowText(name, wcslen(name)) << " failed: " << code
              << std::endl;
}

}  // namespace

bool ComScriptTarget::CallBool(const wchar_t* name, DispatchArgs& args) {
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = Call(name, args, result);
    if (SUCCEEDED(hr)) hr = VariantChangeType(&result, &result, 0, VT_BOOL);
    bool value = SUCCEEDED(hr) && result.boolVal != VARIANT_FALSE;
    if (FAILED(hr)) ReportFailure(name, hr);
    VariantClear(&result);
    return value;
}

std::string ComScriptTarget::CallText(const wchar_t* name, DispatchArgs& args) {
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = Call(name, args, result);
    if (SUCCEEDED(hr)) hr = VariantChangeType(&result, &result, 0, VT_BSTR);
    std::string value = SUCCEEDED(hr) ? NarrowText(result.bstrVal) : std::string();
    if (FAILED(hr)) ReportFailure(name, hr);
    VariantClear(&result);
    return value;
}

bool ComScriptTarget::Connect(const std::string& server, int16_t port, int32_t timeout,
                              const std::string& user, const std::string& password) {
    DispatchArgs args;
    args.Text(server).Short(port).Long(timeout).Text(user).Text(password);
    return CallBool(L"Connect", args);
}

bool ComScriptTarget::Disconnect() {
    DispatchArgs args;
    return CallBool(L"Disconnect", args);
}

std::string ComScriptTarget::CreateCall(const std::string& from, const std::string& to) {
    DispatchArgs args;
    args.Text(from).Text(to);
    return CallText(L"CreateCall", args);
}

bool ComScriptTarget::CloseCall(const std::string& callID) {
    DispatchArgs args;
    args.Text(callID);
    return CallBool(L"CloseCall", args);
}

bool ComScriptTarget::TransferCall(const std::string& callID, const std::string& to) {
    DispatchArgs args;
    args.Text(callID).Text(to);
    return CallBool(L"TransferCall", args);
}

bool ComScriptTarget::JoinCalls(const std::string& callID, const std::string& other) {
    DispatchArgs args;
    args.Text(callID).Text(other);
    return CallBool(L"JoinCalls", args);
}

bool ComScriptTarget::UnjoinCalls(const std::string& callID, const std::string& other) {
    DispatchArgs args;
    args.Text(callID).Text(other);
    return CallBool(L"UnjoinCalls", args);
}

bool ComScriptTarget::PlayMessage(const std::string& callID, const std::string& fileName,
                                  int16_t playCount) {
    DispatchArgs args;
    args.Text(callID).Text(fileName).Short(playCount);
    return CallBool(L"PlayMessage", args);
}

bool ComScriptTarget::EnableDtmfDetection(const std::string& callID, int32_t onoff) {
    DispatchArgs args;
    // A BOOL goes as the number it is: the control's type converts it, as a script's number.
    args.Text(callID).Long(onoff);
    return CallBool(L"EnableDtmfDetection", args);
}

bool ComScriptTarget::IncomingCallHandling(const std::string& extension, int32_t enable) {
    DispatchArgs args;
    args.Text(extension).Long(enable);
    return CallBool(L"IncomingCallHandling", args);
}

bool ComScriptTarget::AcceptCall(const std::string& callID, const std::string& callerID,
                                 const std::string& callerDispName) {
    DispatchArgs args;
    args.Text(callID).Text(callerID).Text(callerDispName);
    return CallBool(L"AcceptCall", args);
}

bool ComScriptTarget::RejectCall(const std::string& callID) {
    DispatchArgs args;
    args.Text(callID);
    return CallBool(L"RejectCall", args);
}

bool ComScriptTarget::ForwardCall(const std::string& callID, const std::string& callee,
                                  const std::string& callerID, const std::string& callerDispName) {
    DispatchArgs args;
    args.Text(callID).Text(callee).Text(callerID).Text(callerDispName);
    return CallBool(L"ForwardCall", args);
}

std::string ComScriptTarget::SubscribeToVoiceMail(const std::string& extension) {
    DispatchArgs args;
    args.Text(extension);
    return CallText(L"SubscribeToVoiceMail", args);
}

bool ComScriptTarget::Unsubscribe(const std::string& subscrID) {
    DispatchArgs args;
    args.Text(subscrID);
    return CallBool(L"Unsubscribe", args);
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
