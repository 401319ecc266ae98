// Every byte value through the text fields of the messages, as a param and as a struct member:
// written as it stands and read back unchanged, except '<', which no text can carry.
#include <gtest/gtest.h>

#include <string>

#include "recording_client.h"

namespace voxtrel {
namespace {

TEST(EveryByte, ThroughTheTextFields) {
    for (int byte = 1; byte < 256; ++byte) {
        const std::string text = std::string("a") + static_cast<char>(byte) + "z";
        const std::pair<std::string, std::string> reads[] = {
            {ReadAndDispatch(kRequest, Written(CreateCallMethod(), 1, text, Address("pbx:1"))),
             "OnCreateCall 1 " + text + " {kind=0 number=1}"},
            {ReadAndDispatch(kRequest, Written(SubscribeMethod(), 1, text)),
             "OnSubscribe 1 " + text},
            {ReadAndDispatch(kCloseCall, Written(FaultResponseMethod(kCloseCall), 1, text)),
             "OnRequestFailed 0 1 " + text},
        };
        // A '<' cuts the text short or the document does not read; it is never read as sent.
        for (const auto& [read, sent] : reads)
            EXPECT_EQ(read == sent, byte != '<') << byte << " " << read;
    }
}

}  // namespace
}  // namespace voxtrel
