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

    // The method is called by its name, each argument as an automation value of its
    // parameter's type, which the control's type library converts as a script's would be.
    ControlValue Invoke(const ControlMember& method, std::span<const ControlValue> args) override;

    // Runs the thread's message loop for timeoutMs, the control delivering its events through it;
    // it stops at the first message after which done() holds.
    void Pump(int timeoutMs, const std::function<bool()>& done) override;
    // The control's window belongs to its container; through COM there is none to operate.
    bool CreateControlWindow(std::string& error) override;
    bool DestroyControlWindow(std::string& error) override;

  private:
    HRESULT Call(const std::wstring& name, DispatchArgs& args, VARIANT& result);

    ComPtr<IDispatch> control_;
    std::map<std::wstring, DISPID> ids_;
};

}  // namespace voxtrel::com
