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
    // Each does nothing unless overridden: a side implements those that concern it.
    virtual void OnAuthenticate(const std::string& /*userName*/, const std::string& /*password*/) {}
    virtual void OnAuthenticateResponse(bool /*success*/, const std::string& /*statusText*/) {}
    virtual void OnIncomingCallHandling(const std::string& /*extensionName*/, bool /*enable*/) {}
    virtual void OnCallArrived(uint64_t /*callId*/, const PartyAddress& /*caller*/,
                               const PartyAddress& /*callee*/, uint64_t /*origCallId*/) {}
    virtual void OnCallAccepted(uint64_t /*callId*/, const std::string& /*callerId*/,
                                const std::string& /*displayName*/) {}
    virtual void OnCallRedirected(uint64_t /*callId*/, const std::vector<PartyAddress>& /*targets*/,
                                  const std::string& /*callerId*/,
                                  const std::string& /*displayName*/) {}
    virtual void OnCallDeclined(uint64_t /*callId*/) {}
    virtual void OnCreateCall(uint64_t /*callId*/, const std::string& /*from*/,
                              const PartyAddress& /*to*/) {}
    virtual void OnCloseCall(uint64_t /*callId*/) {}
    virtual void OnTransferCall(uint64_t /*callId*/, const PartyAddress& /*to*/) {}
    virtual void OnJoinCalls(uint64_t /*callId*/, uint64_t /*callIdToJoin*/) {}
    virtual void OnUnjoinCalls(uint64_t /*callId*/, uint64_t /*callIdToUnjoin*/) {}
    // playCount is -1 when the request carried none.
    virtual void OnPlayMessage(uint64_t /*callId*/, const std::string& /*fileName*/,
                               int32_t /*playCount*/) {}
    virtual void OnEnableDtmfDetection(uint64_t /*callId*/, bool /*on*/) {}
    virtual void OnCallStateChanged(uint64_t /*callId*/, int32_t /*state*/) {}
    virtual void OnMessagePlayed(uint64_t /*callId*/) {}
    virtual void OnDtmfDigitReceived(uint64_t /*callId*/, char /*digit*/) {}
    virtual void OnSubscribe(uint64_t /*subscriptionId*/, const std::string& /*extensionName*/) {}
    virtual void OnUnsubscribe(uint64_t /*subscriptionId*/) {}
    virtual void OnSubscriptionConfirmed(uint64_t /*subscriptionId*/, bool /*confirmed*/,
                                         int32_t /*errorCode*/) {}
    virtual void OnMailArrived(uint64_t /*subscriptionId*/, const PartyAddress& /*from*/,
                               const std::string& /*time*/, int32_t /*duration*/,
                               int32_t /*mailId*/) {}
    // A fault answer, or a request that the session gave up on itself.
    virtual void OnRequestFailed(uint64_t /*callId*/, int32_t /*code*/,
                                 const std::string& /*text*/) {}

  protected:
    // Not deleted through this interface: the owner deletes the concrete session.
    ~CallServiceNotifications() = default;
};

}  // namespace voxtrel
