// The incoming call offer ("process") and the host's answer to it: accept, redirect or decline.
// The offer carries its details struct first and the call id second.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/party_address.h"
#include "protocol/xmlrpc_method.h"

namespace voxtrel {

class CallArrivedMethod : public XmlRpcRequestMethod {
  public:
    CallArrivedMethod() : XmlRpcRequestMethod(kProcess) {}
    bool Write(std::string& out) const override;
    // Drops an offer whose "From" or "To" is missing, not a string or not an address.
    void Dispatch(CallServiceNotifications& session) override;
    // An empty answer: it does not write, so the offer is not answered until the host decides.
    std::unique_ptr<XmlRpcResponseMethod> CreateResponse(bool fault) const override;
    bool ReadParams(XMLNavigator& navigator) override;
    virtual bool SetParams(uint64_t callId, const PartyAddress& caller, const PartyAddress& callee,
                           uint64_t origCallId);

    std::unique_ptr<XmlRpcValueStruct> dataParam;
};

enum CallAction : int32_t {
    kActionAccept = 0,
    kActionDecline = 1,
    kActionRedirect = 2,
};

class CallArrivedResponseMethod : public XmlRpcResponseMethod {
  public:
    CallArrivedResponseMethod() : XmlRpcResponseMethod(kProcess) {}
    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadParams(XMLNavigator& navigator) override;

    bool BuildAccept(uint64_t callId, const std::string& callerIdText,
                     const std::string& displayNameText);
    // Targets that cannot be written are left out of the "target" array.
    bool BuildRedirect(uint64_t callId, std::vector<PartyAddress> targetList,
                       const std::string& callerIdText, const std::string& displayNameText);
    bool BuildDecline(uint64_t callId, const std::string& reasonText);

    std::unique_ptr<XmlRpcValueStruct> answerStruct;
    int32_t actionCode = kActionAccept;
    std::string callerId;
    std::string displayName;
    std::string reason;
    std::vector<std::string> targets;

  private:
    void StartAnswer(uint64_t callId, const char* action);
    void SetCaller(const std::string& callerIdText, const std::string& displayNameText);
};

// Removes the message-taker marker from a redirect target text; true when it was there.
bool TakeMessageTakerMarker(std::string& target);

}  // namespace voxtrel
