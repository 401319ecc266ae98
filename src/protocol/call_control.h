// The seven call-control requests: create, close, transfer, join, unjoin, play a message and
// switch DTMF detection. Each carries the call id first.
#pragma once

#include <memory>
#include <string>

#include "protocol/party_address.h"
#include "protocol/xmlrpc_method.h"

namespace voxtrel {

class CreateCallMethod : public XmlRpcRequestMethod {
  public:
    CreateCallMethod() : XmlRpcRequestMethod(kCreateCall) {}
    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadParams(XMLNavigator& navigator) override;
    // False, leaving from and to as they were, when the target does not write.
    bool SetParams(uint64_t callId, const std::string& fromText, const PartyAddress& target);

    std::unique_ptr<XmlRpcValueString> from;
    std::unique_ptr<XmlRpcValueString> to;
};

class CloseCallMethod : public XmlRpcRequestMethod {
  public:
    CloseCallMethod() : XmlRpcRequestMethod(kCloseCall) {}
    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadParams(XMLNavigator& navigator) override;
    bool SetParams(uint64_t callId);
};

class TransferCallMethod : public XmlRpcRequestMethod {
  public:
    TransferCallMethod() : XmlRpcRequestMethod(kTransferCall) {}
    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadParams(XMLNavigator& navigator) override;
    bool SetParams(uint64_t callId, const PartyAddress& target);

    std::unique_ptr<XmlRpcValueString> to;
};

// Join and unjoin differ only in their method and the name of the other call's field.
class CallPairMethod : public XmlRpcRequestMethod {
  public:
    bool Write(std::string& out) const override;
    bool ReadParams(XMLNavigator& navigator) override;
    bool SetParams(uint64_t callId, uint64_t otherCallId);

  protected:
    explicit CallPairMethod(uint32_t type) : XmlRpcRequestMethod(type) {}
    std::unique_ptr<XmlRpcValueString> otherCall;
};

class JoinCallsMethod : public CallPairMethod {
  public:
    JoinCallsMethod() : CallPairMethod(kJoinCalls) {}
    void Dispatch(CallServiceNotifications& session) override;
    std::unique_ptr<XmlRpcValueString>& callIDtoJoin = otherCall;
};

class UnjoinCallsMethod : public CallPairMethod {
  public:
    UnjoinCallsMethod() : CallPairMethod(kUnjoinCalls) {}
    void Dispatch(CallServiceNotifications& session) override;
    std::unique_ptr<XmlRpcValueString>& callIDtoUnjoin = otherCall;
};

class PlayMessageMethod : public XmlRpcRequestMethod {
  public:
    PlayMessageMethod() : XmlRpcRequestMethod(kPlayMessage) {}
    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadParams(XMLNavigator& navigator) override;
    bool SetParams(uint64_t callId, const std::string& name, int32_t count);

    std::unique_ptr<XmlRpcValueString> fileName;
    std::unique_ptr<XmlRpcValueInt> playCount;  // optional on the wire
};

class EnableDtmfDetectionMethod : public XmlRpcRequestMethod {
  public:
    EnableDtmfDetectionMethod() : XmlRpcRequestMethod(kEnableDtmfDetection) {}
    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadParams(XMLNavigator& navigator) override;
    // Detection is switched on exactly when flag is 1.
    bool SetParams(uint64_t callId, int32_t flag);

    std::unique_ptr<XmlRpcValueBool> onoff;
};

}  // namespace voxtrel
