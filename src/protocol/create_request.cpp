// The request factory: one class per row of the method table.
#include "protocol/authenticate.h"
#include "protocol/call_control.h"
#include "protocol/call_notifications.h"
#include "protocol/call_offer.h"
#include "protocol/mail_arrived.h"
#include "protocol/subscription.h"
#include "xml/ascii_case.h"

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

// Every method name starts with the same service prefix: it is compared once, then only the
// short names.
constexpr std::string_view kServicePrefix = "Services.CallProcessingService.";

}  // namespace

std::unique_ptr<XmlRpcRequestMethod> CreateRequest(std::string_view methodName) {
    const size_t prefix = kServicePrefix.size();
    if (methodName.size() <= prefix ||
        !EqualsIgnoreCase(std::string_view(methodName.data(), prefix), kServicePrefix)) {
        return nullptr;
    }
    std::string_view shortName(methodName.data() + prefix, methodName.size() - prefix);
    for (uint32_t code = 0; code < kMethodCount; ++code) {
        std::string_view candidate = MethodNameView(code);
        if (candidate.size() == methodName.size() &&
            EqualsIgnoreCase(shortName,
                             std::string_view(candidate.data() + prefix, shortName.size()))) {
            return kFactories[code]();
        }
    }
    return nullptr;
}

}  // namespace voxtrel
