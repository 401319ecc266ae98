// The authenticate request that opens every session, and its answer.
#pragma once

#include <memory>
#include <string>

#include "protocol/xmlrpc_method.h"

namespace voxtrel {

class AuthenticateMethod : public XmlRpcRequestMethod {
  public:
    AuthenticateMethod() : XmlRpcRequestMethod(kAuthenticate) {}
    // The password's bytes do not outlive the request.
    ~AuthenticateMethod() override;

    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    std::unique_ptr<XmlRpcResponseMethod> CreateResponse(bool fault) const override;
    bool ReadParams(XMLNavigator& navigator) override;
    virtual bool SetParams(const std::string& user, const std::string& pass);

    std::unique_ptr<XmlRpcValueString> userName;
    std::unique_ptr<XmlRpcValueString> password;
};

class AuthenticateResponseMethod : public XmlRpcResponseMethod {
  public:
    AuthenticateResponseMethod() : XmlRpcResponseMethod(kAuthenticate) {}

    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadParams(XMLNavigator& navigator) override;
    bool SetParams(bool accepted, const std::string& text);

    std::unique_ptr<XmlRpcValueBool> success;
    std::unique_ptr<XmlRpcValueString> statusText;
};

}  // namespace voxtrel
