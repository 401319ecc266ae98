// The fault answer: a methodResponse holding a struct with "faultCode" and "faultString".
#pragma once

#include <memory>
#include <string>

#include "protocol/xmlrpc_method.h"

namespace voxtrel {

class FaultResponseMethod : public XmlRpcResponseMethod {
  public:
    explicit FaultResponseMethod(uint32_t type) : XmlRpcResponseMethod(type) {}

    bool Write(std::string& out) const override;
    // Reports the fault to OnRequestFailed with this answer's id; nothing without a struct or
    // without an int "faultCode".
    void Dispatch(CallServiceNotifications& session) override;
    bool ReadFault(XMLNavigator& navigator) override;

    // Fills the struct with the code and, when not empty, the text.
    bool SetParams(int32_t code, const std::string& text);

    std::unique_ptr<XmlRpcValueStruct> faultStruct;
};

}  // namespace voxtrel
