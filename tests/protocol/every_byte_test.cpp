// Every byte value through the text fields of the messages: written as it stands and read back
// unchanged, except '<', which no text can carry; nothing crashes or leaks on any of them.
#include <gtest/gtest.h>

#include <string>

#include "recording_client.h"

namespace voxtrel {
namespace {

std::string Fault(const std::string& text) {
    FaultResponseMethod fault(kCloseCall);
    fault.SetParams(1, text);
    return Written(fault);
}

std::string Accept(const std::string& text) {
    CallArrivedResponseMethod accept;
    accept.BuildAccept(1, "id", text);
    return Written(accept);
}

TEST(EveryByte, ThroughEveryKindOfTextField) {
    const struct {
        std::string (*write)(const std::string& text);
        uint32_t answerTo;
        const char* before;  // the notification read back, around the text
        const char* after;
    } fields[] = {
        {[](const std::string& t) { return Written<CreateCallMethod>(1, t, Address("pbx:1")); },
         kReadAsRequest, "OnCreateCall 1 ", " {kind=0 number=1}"},
        {[](const std::string& t) { return Written<AuthenticateMethod>("user", t); },
         kReadAsRequest, "OnAuthenticate user ", ""},
        {[](const std::string& t) { return Written<SubscribeMethod>(1, t); }, kReadAsRequest,
         "OnSubscribe 1 ", ""},
        {Fault, kCloseCall, "OnRequestFailed 0 1 ", ""},
        {Accept, kProcess, "OnCallAccepted 1 id ", ""},
    };
    for (const auto& field : fields) {
        for (int byte = 1; byte < 256; ++byte) {
            const std::string text = std::string("a") + static_cast<char>(byte) + "z";
            const std::string document = field.write(text);
            std::vector<std::string> read = ReadAndDispatch(field.answerTo, document);
            if (byte == '<') continue;  // cut short or unreadable, never misread silently below
            EXPECT_EQ(read, std::vector<std::string>{field.before + text + field.after})
                << field.before << byte;
        }
    }
}

TEST(EveryByte, InPartyAddresses) {
    for (int byte = 1; byte < 256; ++byte) {
        const std::string text = std::string("pbx:1") + static_cast<char>(byte);
        PartyAddress address;
        ResetPartyAddress(address);
        ASSERT_TRUE(ParsePartyAddress(text, address));
        std::string written;
        ASSERT_TRUE(FormatPartyAddress(address, written));
        EXPECT_EQ(written, text);
    }
}

}  // namespace
}  // namespace voxtrel
