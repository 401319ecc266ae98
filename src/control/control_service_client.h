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

    void OnAuthenticate(const std::string& userName, const std::string& password) override;
    void OnAuthenticateResponse(bool success, const std::string& statusText) override;
    void OnIncomingCallHandling(const std::string& extensionName, bool enable) override;
    void OnCallArrived(const uint64_t& callId, const PartyAddress& caller,
                       const PartyAddress& callee, const uint64_t& origCallId) override;
    void OnCallAccepted(const uint64_t& callId, const std::string& callerId,
                        const std::string& displayName) override;
    void OnCallRedirected(const uint64_t& callId, const std::vector<PartyAddress>& targets,
                          const std::string& callerId, const std::string& displayName) override;
    void OnCallDeclined(const uint64_t& callId) override;
    void OnCreateCall(const uint64_t& callId, const std::string& from,
                      const PartyAddress& to) override;
    void OnCloseCall(const uint64_t& callId) override;
    void OnTransferCall(const uint64_t& callId, const PartyAddress& to) override;
    void OnJoinCalls(const uint64_t& callId, const uint64_t& callIdToJoin) override;
    void OnUnjoinCalls(const uint64_t& callId, const uint64_t& callIdToUnjoin) override;
    void OnPlayMessage(const uint64_t& callId, const std::string& fileName,
                       int32_t playCount) override;
    void OnEnableDtmfDetection(const uint64_t& callId, bool on) override;
    void OnCallStateChanged(const uint64_t& callId, int32_t state) override;
    void OnMessagePlayed(const uint64_t& callId) override;
    void OnDtmfDigitReceived(const uint64_t& callId, char digit) override;
    void OnSubscribe(const uint64_t& subscriptionId, const std::string& extensionName) override;
    void OnUnsubscribe(const uint64_t& subscriptionId) override;
    void OnSubscriptionConfirmed(const uint64_t& subscriptionId, bool confirmed,
                                 int32_t errorCode) override;
    void OnMailArrived(const uint64_t& subscriptionId, const PartyAddress& from,
                       const std::string& time, int32_t duration, int32_t mailId) override;
    void OnRequestFailed(const uint64_t& callId, int32_t code, const std::string& text) override;

  protected:
    void NotifyDisconnected() override;

  private:
    // Sends the message to the window when the session is authenticated and the window lives.
    void Forward(ControlMessage message);

    CVoxtrelCtrl* owner_;
    EventMailbox* window_;
};

}  // namespace voxtrel
