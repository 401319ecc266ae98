// Notifications about a call in progress: its state changed, a played message ended, a DTMF
// digit was detected. Each carries the call id first.
#pragma once

#include <memory>
#include <string>

#include "protocol/xmlrpc_method.h"

namespace voxtrel {

// callstatechanged and dtmfdigitdetected: the call id and one int.
class CallIntNotification : public XmlRpcRequestMethod {
  public:
    bool Write(std::string& out) const override;
    bool ReadParams(XMLNavigator& navigator) override;

    std::unique_ptr<XmlRpcValueInt> dataParam;

  protected:
    explicit CallIntNotification(uint32_t type) : XmlRpcRequestMethod(type) {}
};

class CallStateChangedMethod : public CallIntNotification {
  public:
    CallStateChangedMethod() : CallIntNotification(kCallStateChanged) {}
    void Dispatch(CallServiceNotifications& session) override;
    bool SetParams(uint64_t callId, int32_t state);
};

class MessagePlayedMethod : public XmlRpcRequestMethod {
  public:
    MessagePlayedMethod() : XmlRpcRequestMethod(kMessagePlayed) {}
    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadParams(XMLNavigator& navigator) override;
    bool SetParams(uint64_t callId);
};

class DtmfDigitReceivedMethod : public CallIntNotification {
  public:
    DtmfDigitReceivedMethod() : CallIntNotification(kDtmfDigitDetected) {}
    // Passes the low 8 bits of the int as the digit's character.
    void Dispatch(CallServiceNotifications& session) override;
    // The digit travels as its character code, sign-extended from 8 bits.
    virtual bool SetParams(uint64_t callId, char digit);
};

}  // namespace voxtrel
