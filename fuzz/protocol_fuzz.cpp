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

// Every notification does nothing.
class NullClient : public CallServiceNotifications {};

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
