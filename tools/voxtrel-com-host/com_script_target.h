// The ActiveX control, driven through its IDispatch, as the target of the scripting host: every
// method is called by name with automation arguments, as a script host would call it.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <map>
#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "com/dispatch_args.h"
#include "script_host.h"

namespace voxtrel::com {

class ComScriptTarget : public ScriptTarget {
  public:
    explicit ComScriptTarget(ComPtr<IDispatch> control) : control_(std::move(control)) {}

    bool Connect(const std::string& server, int16_t port, int32_t timeout, const std::string& user,
                 const std::string& password) override;
    bool Disconnect() override;
    std::string CreateCall(const std::string& from, const std::string& to) override;
    bool CloseCall(const std::string& callID) override;
    bool TransferCall(const std::string& callID, const std::string& to) override;
    bool JoinCalls(const std::string& callID, const std::string& other) override;
    bool UnjoinCalls(const std::string& callID, const std::string& other) override;
    bool PlayMessage(const std::string& callID, const std::string& fileName,
                     int16_t playCount) override;
    bool EnableDtmfDetection(const std::string& callID, int32_t onoff) override;
    bool IncomingCallHandling(const std::string& extension, int32_t enable) override;
    bool AcceptCall(const std::string& callID, const std::string& callerID,
                    const std::string& callerDispName) override;
    bool RejectCall(const std::string& callID) override;
    bool ForwardCall(const std::string& callID, const std::string& callee,
                     const std::string& callerID, const std::string& callerDispName) override;
    std::string SubscribeToVoiceMail(const std::string& extension) override;
    bool Unsubscribe(const std::string& subscrID) override;

    // Runs the thread's message loop for timeoutMs, the control delivering its events through it;
    // it stops at the first message after which done() holds.
    void Pump(int timeoutMs, const std::function<bool()>& done) override;
    // The control's window belongs to its container; through COM there is none to operate.
    bool CreateControlWindow(std::string& error) override;
    bool DestroyControlWindow(std::string& error) override;

  private:
    bool CallBool(const wchar_t* name, DispatchArgs& args);
    std::string CallText(const wchar_t* name, DispatchArgs& args);
    HRESULT Call(const wchar_t* name, DispatchArgs& args, VARIANT& result);

    ComPtr<IDispatch> control_;
    std::map<std::wstring, DISPID> ids_;
};

}  // namespace voxtrel::com
