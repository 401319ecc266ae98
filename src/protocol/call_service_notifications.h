// The notifications of the service session, in their fixed slot order: what a message's Dispatch
// calls. The session implements them; they run on its worker thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/party_address.h"

namespace voxtrel {

class CallServiceNotifications {
  public:
    // Requests that the service sends, and the answers to this side's requests, in slot order.
    virtual void OnAuthenticate(const std::string& userName, const std::string& password) = 0;
    virtual void OnAuthenticateResponse(bool success, const std::string& statusText) = 0;
    virtual void OnIncomingCallHandling(const std::string& extensionName, bool enable) = 0;
    virtual void OnCallArrived(const uint64_t& callId, const PartyAddress& caller,
                               const PartyAddress& callee, const uint64_t& origCallId) = 0;
    virtual void OnCallAccepted(const uint64_t& callId, const std::string& callerId,
                                const std::string& displayName) = 0;
    virtual void OnCallRedirected(const uint64_t& callId, const std::vector<PartyAddress>& targets,
                                  const std::string& callerId, const std::string& displayName) = 0;
    virtual void OnCallDeclined(const uint64_t& callId) = 0;
    virtual void OnCreateCall(const uint64_t& callId, const std::string& from,
                              const PartyAddress& to) = 0;
    virtual void OnCloseCall(const uint64_t& callId) = 0;
    virtual void OnTransferCall(const uint64_t& callId, const PartyAddress& to) = 0;
    virtual void OnJoinCalls(const uint64_t& callId, const uint64_t& callIdToJoin) = 0;
    virtual void OnUnjoinCalls(const uint64_t& callId, const uint64_t& callIdToUnjoin) = 0;
    // playCount is -1 when the request carried none.
    virtual void OnPlayMessage(const uint64_t& callId, const std::string& fileName,
                               int32_t playCount) = 0;
    virtual void OnEnableDtmfDetection(const uint64_t& callId, bool on) = 0;
    virtual void OnCallStateChanged(const uint64_t& callId, int32_t state) = 0;
    virtual void OnMessagePlayed(const uint64_t& callId) = 0;
    virtual void OnDtmfDigitReceived(const uint64_t& callId, char digit) = 0;
    virtual void OnSubscribe(const uint64_t& subscriptionId, const std::string& extensionName) = 0;
    virtual void OnUnsubscribe(const uint64_t& subscriptionId) = 0;
    virtual void OnSubscriptionConfirmed(const uint64_t& subscriptionId, bool confirmed,
                                         int32_t errorCode) = 0;
    virtual void OnMailArrived(const uint64_t& subscriptionId, const PartyAddress& from,
                               const std::string& time, int32_t duration, int32_t mailId) = 0;
    // A fault answer, or a request that the session gave up on itself.
    virtual void OnRequestFailed(const uint64_t& callId, int32_t code, const std::string& text) = 0;

  protected:
    // Not deleted through this interface: the owner deletes the concrete session.
    ~CallServiceNotifications() = default;
};

}  // namespace voxtrel
