// The control's session: the notifications that the host must see become messages to the
// control's window, delivered on the host's thread while the session is authenticated.
#pragma once

#include "control/event_mailbox.h"
#include "session/call_service_client.h"

namespace voxtrel {

class CVoxtrelCtrl;

class ControlServiceClient : public CallServiceClient {
  public:
    ControlServiceClient(CVoxtrelCtrl* owner, EventMailbox* window);
    virtual ~ControlServiceClient();

    void OnAuthenticateResponse(bool success, const std::string& statusText) override;
    void OnCallArrived(uint64_t callId, const PartyAddress& caller, const PartyAddress& callee,
                       uint64_t origCallId) override;
    void OnCallStateChanged(uint64_t callId, int32_t state) override;
    void OnMessagePlayed(uint64_t callId) override;
    void OnDtmfDigitReceived(uint64_t callId, char digit) override;
    void OnSubscriptionConfirmed(uint64_t subscriptionId, bool confirmed,
                                 int32_t errorCode) override;
    void OnMailArrived(uint64_t subscriptionId, const PartyAddress& from, const std::string& time,
                       int32_t duration, int32_t mailId) override;
    void OnRequestFailed(uint64_t callId, int32_t code, const std::string& text) override;

  protected:
    void NotifyDisconnected() override;

  private:
    // Sends the message to the window when the session is authenticated and the window lives.
    void Forward(ControlMessage message);

    CVoxtrelCtrl* owner_;
    EventMailbox* window_;
};

}  // namespace voxtrel
