// The wire trace's masking of a password, sent or received in any shape, and its line form.
#include "protocol/wire_trace.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "protocol/authenticate.h"

namespace voxtrel {
namespace {

std::string Written(const std::string& password) {
    AuthenticateMethod request;
    request.SetParams("u&amp;", password);
    std::string text;
    request.Write(text);
    return text.substr(0, text.size() - kMessageTerminator.size());
}

// Each row: a document, and what it is masked to (null: it has no password to mask).
TEST(WireTrace, ThePasswordIsMaskedInEveryShapeOfAnAuthenticateRequest) {
    const std::string call = "<methodCall><methodName>";
    const std::string masked = "<param>\r\n<value><string>****</string></value>\r\n</param>\r\n";
    const std::string user = "<params><param><value>u</value></param >";
    const std::tuple<std::string, std::string, const char*> cases[] = {
        {Written("p&amp;w>1"), Written("****"), nullptr},
        {call + "a.AuthentiCATE</methodName>" + user + "<PARAM><value>pw</value></param></params>",
         call + "a.AuthentiCATE</methodName>" + user + masked + "</params>", nullptr},
        // A name that only the reader resolves, a password with markup, a params end inside it.
        {call + "a.&#97;uthenticate</methodName >" + user +
             "<param><![CDATA[pw</params>]]></param></params></methodCall>",
         call + "a.&#97;uthenticate</methodName >" + user + masked + "</params></methodCall>",
         nullptr},
        // One param only, or none readable: nothing after the method name stays.
        {call + "authenticate</methodName><params><param>pw</param></params>",
         call + "authenticate****", nullptr},
        {call + "authenticate</methodName><params>pw", call + "authenticate****", nullptr},
        {call + "createcall</methodName>" + user + "<param>pw</param>", "", "unchanged"},
        {"<methodResponse><params><param>pw</param></params></methodResponse>", "", "unchanged"},
    };
    for (const auto& [document, expected, unchanged] : cases) {
        std::string out = "old";
        EXPECT_EQ(MaskPassword(document, out), unchanged == nullptr) << document;
        EXPECT_EQ(out, unchanged ? "old" : expected) << document;
    }
}

TEST(WireTrace, OneLineWithTheUtcTimeTheDirectionAndTheEscapedDocument) {
    using std::chrono::microseconds;
    const std::tuple<int64_t, WireDirection, std::string, std::string> cases[] = {
        {1796562245123456, WireDirection::kSent, "a\r\n\\b\x01\tc\x7f\r\n\r\n",
         "2026-12-06T13:04:05.123456Z > a\\r\\n\\\\b\\x01\tc\\x7f\n"},
        {1709251199999999, WireDirection::kReceived, "", "2024-02-29T23:59:59.999999Z < \n"},
        {-1, WireDirection::kReceived, "x", "1969-12-31T23:59:59.999999Z < x\n"},
        {0, WireDirection::kSent, Written("pw"), "1970-01-01T00:00:00.000000Z > "},
    };
    for (const auto& [micros, direction, document, expected] : cases) {
        std::string line = WireTraceLine(
            direction, std::chrono::system_clock::time_point(microseconds(micros)), document);
        EXPECT_EQ(line.substr(0, expected.size()), expected);
        EXPECT_EQ(line.find("pw"), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    }
}

}  // namespace
}  // namespace voxtrel
