// The Voxtrel control: fifteen methods that steer calls on the PBX, and eight events delivered on
// the host's thread, one at a time, in order. The same core serves every face of the control
// (C++, the C API, Python, the Windows ActiveX control).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "control/control_api_list.h"

namespace voxtrel {

// The host's event handlers. Each runs on the host's thread, inside PumpEvents (or the
// platform's message loop on Windows); the control's methods may be called from inside them.
// Each does nothing unless overridden, so a host handles only the events it needs.
class VoxtrelEvents {
  public:
    virtual ~VoxtrelEvents() = default;
    // Every event arrives here first, a row of kControlEvents with its arguments in parameter
    // order; by default it goes on to its own handler below. A face that treats all events alike
    // (the C interface, the ActiveX control, the script host) overrides this one instead.
    virtual void OnEvent(const ControlMember& event, std::span<const ControlValue> values);
    virtual void CallStateChanged(const std::string& /*callID*/, int16_t /*callState*/) {}
    virtual void MessagePlayed(const std::string& /*callID*/) {}
    virtual void DtmfDigitReceived(const std::string& /*callID*/, int16_t /*digit*/) {}
    virtual void RequestFailed(const std::string& /*callID*/, int32_t /*failureCode*/,
                               const std::string& /*failureString*/) {}
    virtual void Disconnected() {}
    virtual void CallArrived(const std::string& /*callID*/, const std::string& /*caller*/,
                             const std::string& /*callee*/, const std::string& /*origCallID*/) {}
    virtual void MailArrived(const std::string& /*subscrID*/, const std::string& /*caller*/,
                             const std::string& /*time*/, int32_t /*duration*/, int32_t /*id*/) {}
    virtual void SubscriptionConfirmed(const std::string& /*subscrID*/, bool /*confirmed*/,
                                       int32_t /*errorCode*/) {}
};

class ControlServiceClient;
class EventMailbox;
class SessionAccounting;
class WireTraceSink;
struct ControlMessage;

class CVoxtrelCtrl {
  public:
    // The calling thread becomes the host's thread: the control's window is bound to it and
    // events are delivered there. The window exists from construction.
    CVoxtrelCtrl();
    // Disconnects, releases any delivery in progress and stops the worker.
    ~CVoxtrelCtrl();
    CVoxtrelCtrl(const CVoxtrelCtrl&) = delete;
    CVoxtrelCtrl& operator=(const CVoxtrelCtrl&) = delete;

    // The fifteen methods. Texts are byte strings in the system's single-byte code page; ids are
    // decimal texts, read digit by digit without validation. A BOOL argument is passed on as a
    // 32-bit integer (only 1 means on). The two id-returning methods give "0" when nothing was
    // sent. None throws; none waits for the service except Connect and Disconnect.
    bool Connect(const std::string& serverAddress, int16_t serverPort, int32_t timeout,
                 const std::string& username, const std::string& password);
    bool Disconnect();
    std::string CreateCall(const std::string& from, const std::string& to);
    bool CloseCall(const std::string& callID);
    bool TransferCall(const std::string& callID, const std::string& to);
    bool JoinCalls(const std::string& callID, const std::string& callIDtoJoin);
    bool UnjoinCalls(const std::string& callID, const std::string& callIDtoUnjoin);
    bool PlayMessage(const std::string& callID, const std::string& fileName, int16_t playCount);
    bool EnableDtmfDetection(const std::string& callID, int32_t onoff);
    bool IncomingCallHandling(const std::string& extensionName, int32_t enable);
    bool AcceptCall(const std::string& callID, const std::string& callerID,
                    const std::string& callerDispName);
    bool RejectCall(const std::string& callID);
    bool ForwardCall(const std::string& callID, const std::string& callee,
                     const std::string& callerID, const std::string& callerDispName);
    std::string SubscribeToVoiceMail(const std::string& extensionName);
    bool Unsubscribe(const std::string& subscrID);

    // The sink that receives the events; not owned; null drops them. Set on the host's thread.
    void SetEventSink(VoxtrelEvents* sink);
    // Accounting of every message the session takes (tests and soak runs); not owned.
    void SetSessionAccounting(SessionAccounting* accounting);
    // The sink of every message sent and received (not owned; null: none), which runs on the
    // worker thread. Any thread.
    void SetWireTrace(WireTraceSink* sink);

    // The control's window, the target of event delivery. Without it every event is dropped, as
    // for a control that is not in-place active. Host's thread only.
    bool CreateControlWindow();   // false when it exists already
    void DestroyControlWindow();  // drops a delivery in progress unhandled
    bool HasControlWindow() const;

    // Handles the events waiting for the host's thread, waiting up to timeoutMs for the first
    // one (0: only those already waiting); returns how many were handled.
    int PumpEvents(int timeoutMs);
    // A descriptor that polls readable while an event waits, for the host's own event loop
    // (POSIX); -1 without a window or where the platform delivers through its message loop.
    int EventDescriptor() const;

  private:
    // The window's message handlers: each fires its event on the host's thread.
    void HandleMessage(const ControlMessage& message);
    // Waits up to a second for the worker to finish reporting a lost connection; false at once
    // when an outcome waits for this thread, since only pumping can deliver it.
    bool AwaitLossReported();

    std::unique_ptr<EventMailbox> mailbox_;
    std::unique_ptr<ControlServiceClient> session_;
    VoxtrelEvents* sink_ = nullptr;
    // How many Disconnected handlers run on the host's thread right now (they may nest).
    int disconnectedHandlers_ = 0;
};

}  // namespace voxtrel
