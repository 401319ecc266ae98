// Authenticate request and answer.
#include "protocol/authenticate.h"

#include "protocol/call_service_notifications.h"
#include "protocol/fault_response.h"

namespace voxtrel {

AuthenticateMethod::~AuthenticateMethod() {
    if (password) {
        // A volatile walk, so that the compiler keeps the stores to memory about to be freed.
        volatile char* bytes = password->value.data();
        for (size_t i = 0; i < password->value.size(); ++i)
            bytes[i] = 0;
    }
}

bool AuthenticateMethod::Write(std::string& out) const {
    if (!userName || !password) return false;
    return WriteRequest(out, {userName.get(), password.get()});
}

void AuthenticateMethod::Dispatch(CallServiceNotifications& session) {
    if (userName && password) session.OnAuthenticate(userName->value, password->value);
}

std::unique_ptr<XmlRpcResponseMethod> AuthenticateMethod::CreateResponse(bool fault) const {
    if (fault) return std::make_unique<FaultResponseMethod>(methodType);
    return std::make_unique<AuthenticateResponseMethod>();
}

bool AuthenticateMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcString, userName) &&
           ReadRequiredParam(navigator, kXmlRpcString, password) && !HasMoreElements(navigator);
}

bool AuthenticateMethod::SetParams(const std::string& user, const std::string& pass) {
    SetString(userName, user);
    SetString(password, pass);
    return true;
}

bool AuthenticateResponseMethod::Write(std::string& out) const {
    if (!success || !statusText) return false;
    return WriteResponse(out, {success.get(), statusText.get()});
}

void AuthenticateResponseMethod::Dispatch(CallServiceNotifications& session) {
    if (success && statusText) session.OnAuthenticateResponse(success->value, statusText->value);
}

bool AuthenticateResponseMethod::ReadParams(XMLNavigator& navigator) {
    return ReadRequiredParam(navigator, kXmlRpcBool, success) &&
           ReadRequiredParam(navigator, kXmlRpcString, statusText);
}

bool AuthenticateResponseMethod::SetParams(bool accepted, const std::string& text) {
    SetBool(success, accepted);
    SetString(statusText, text);
    return true;
}

}  // namespace voxtrel
