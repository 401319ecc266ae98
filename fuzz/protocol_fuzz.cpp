// Arbitrary bytes as a received request and as the answer to each request class. A request
// that reads must write again and read back as the same method; dispatch must not misbehave.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/call_service_notifications.h"
#include "protocol/xmlrpc_method.h"

using namespace voxtrel;

namespace {

class NullClient : public CallServiceNotifications {
  public:
    void OnAuthenticate(const std::string&, const std::string&) override {}
    void OnAuthenticateResponse(bool, const std::string&) override {}
    void OnIncomingCallHandling(const std::string&, bool) override {}
    void OnCallArrived(const uint64_t&, const PartyAddress&, const PartyAddress&,
                       const uint64_t&) override {}
    void OnCallAccepted(const uint64_t&, const std::string&, const std::string&) override {}
    void OnCallRedirected(const uint64_t&, const std::vector<PartyAddress>&, const std::string&,
                          const std::string&) override {}
    void OnCallDeclined(const uint64_t&) override {}
    void OnCreateCall(const uint64_t&, const std::string&, const PartyAddress&) override {}
    void OnCloseCall(const uint64_t&) override {}
    void OnTransferCall(const uint64_t&, const PartyAddress&) override {}
    void OnJoinCalls(const uint64_t&, const uint64_t&) override {}
    void OnUnjoinCalls(const uint64_t&, const uint64_t&) override {}
    void OnPlayMessage(const uint64_t&, const std::string&, int32_t) override {}
    void OnEnableDtmfDetection(const uint64_t&, bool) override {}
    void OnCallStateChanged(const uint64_t&, int32_t) override {}
    void OnMessagePlayed(const uint64_t&) override {}
    void OnDtmfDigitReceived(const uint64_t&, char) override {}
    void OnSubscribe(const uint64_t&, const std::string&) override {}
    void OnUnsubscribe(const uint64_t&) override {}
    void OnSubscriptionConfirmed(const uint64_t&, bool, int32_t) override {}
    void OnMailArrived(const uint64_t&, const PartyAddress&, const std::string&, int32_t,
                       int32_t) override {}
    void OnRequestFailed(const uint64_t&, int32_t, const std::string&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    NullClient client;
    if (auto request = ParseRequest(text)) {
        std::string written;
        if (request->Write(written)) {
            auto again = ParseRequest(written);
            if (!again || again->methodType != request->methodType) std::abort();
        }
        auto answer = request->CreateResponse(false);
        answer->SetId(request->GetId());
        std::string ack;
        answer->Write(ack);
        request->Dispatch(client);
    }
    for (uint32_t type = 0; type < kMethodCount; ++type) {
        auto request = CreateRequest(MethodName(type));
        if (auto answer = request->ParseResponse(text)) {
            if (answer->methodType != type) std::abort();
            answer->Dispatch(client);
        }
    }
    return 0;
}
