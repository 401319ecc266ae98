// Registration for an extension's incoming calls, and the voice-mail subscription with its
// answer.
#pragma once

#include <memory>
#include <string>

#include "protocol/xmlrpc_method.h"

namespace voxtrel {

class IncomingCallHandlingMethod : public XmlRpcRequestMethod {
  public:
    IncomingCallHandlingMethod() : XmlRpcRequestMethod(kIncomingCallHandling) {}
    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadParams(XMLNavigator& navigator) override;
    // Offering is switched on exactly when flag is 1.
    virtual bool SetParams(const std::string& extension, int32_t flag);

    std::unique_ptr<XmlRpcValueString> extensionName;
    std::unique_ptr<XmlRpcValueBool> enable;
};

// The only subscription kind: voice mail.
constexpr int32_t kVoiceMailSubscription = 1;

class SubscribeMethod : public XmlRpcRequestMethod {
  public:
    SubscribeMethod() : XmlRpcRequestMethod(kSubscribe) {}
    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    std::unique_ptr<XmlRpcResponseMethod> CreateResponse(bool fault) const override;
    bool ReadParams(XMLNavigator& navigator) override;
    virtual bool SetParams(uint64_t subscriptionId, const std::string& extension);

    std::unique_ptr<XmlRpcValueInt> subscriptionType;
    std::unique_ptr<XmlRpcValueStruct> subscriptionData;  // optional on the wire
};

class UnsubscribeMethod : public XmlRpcRequestMethod {
  public:
    UnsubscribeMethod() : XmlRpcRequestMethod(kUnsubscribe) {}
    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadParams(XMLNavigator& navigator) override;
    virtual bool SetParams(uint64_t subscriptionId);
};

class SubscribeResponseMethod : public XmlRpcResponseMethod {
  public:
    SubscribeResponseMethod() : XmlRpcResponseMethod(kSubscribe) {}
    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadParams(XMLNavigator& navigator) override;
    bool SetParams(uint64_t subscriptionId, bool isConfirmed, int32_t code);

    std::unique_ptr<XmlRpcValueBool> confirmed;
    std::unique_ptr<XmlRpcValueInt> errorCode;
};

}  // namespace voxtrel
