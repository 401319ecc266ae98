// The request factory: one class per row of the method table.
#include "protocol/authenticate.h"
#include "protocol/call_control.h"
#include "protocol/call_notifications.h"
#include "protocol/call_offer.h"
#include "protocol/mail_arrived.h"
#include "protocol/subscription.h"

namespace voxtrel {

namespace {

template <typename Method>
std::unique_ptr<XmlRpcRequestMethod> Make() {
    return std::make_unique<Method>();
}

using Factory = std::unique_ptr<XmlRpcRequestMethod> (*)();

// In method-table order: the index is the type code.
const Factory kFactories[kMethodCount] = {
    Make<CreateCallMethod>,           Make<CloseCallMethod>,
    Make<TransferCallMethod>,         Make<JoinCallsMethod>,
    Make<UnjoinCallsMethod>,          Make<CallStateChangedMethod>,
    Make<PlayMessageMethod>,          Make<MessagePlayedMethod>,
    Make<EnableDtmfDetectionMethod>,  Make<DtmfDigitReceivedMethod>,
    Make<IncomingCallHandlingMethod>, Make<CallArrivedMethod>,
    Make<AuthenticateMethod>,         Make<SubscribeMethod>,
    Make<UnsubscribeMethod>,          Make<MailArrivedMethod>,
};

bool NameMatches(std::string_view name, const char* candidate) {
    size_t i = 0;
    for (; i < name.size(); ++i) {
        unsigned char a = static_cast<unsigned char>(name[i]);
        unsigned char b = static_cast<unsigned char>(candidate[i]);
        if (b == 0)
            return false;
        if (a >= 'A' && a <= 'Z')
            a = static_cast<unsigned char>(a + 32);
        if (b >= 'A' && b <= 'Z')
            b = static_cast<unsigned char>(b + 32);
        if (a != b)
            return false;
    }
    return candidate[i] == 0;
}

}  // namespace

std::unique_ptr<XmlRpcRequestMethod> CreateRequest(std::string_view methodName) {
    for (uint32_t code = 0; code < kMethodCount; ++code) {
        if (NameMatches(methodName, MethodName(code)))
            return kFactories[code]();
    }
    return nullptr;
}

}  // namespace voxtrel
