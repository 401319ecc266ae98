// Party address parsing, normal forms and the sip helpers.
#include "protocol/party_address.h"

#include <gtest/gtest.h>

#include "recording_client.h"

namespace voxtrel {
namespace {

// One record serves every row, reset in between as the callers do, so that a field the reset or
// the parse leaves behind shows in the next row.
TEST(PartyAddress, ParsedFieldsAndNormalForms) {
    const struct {
        const char* text;
        const char* parsed;
        const char* normal;
    } cases[] = {
        {"VM:300;greeting", "{kind=5 number=300 option=greeting}", "vm:300;greeting"},
        {"vm:300", "{kind=5 number=300}", "vm:300"},
        {"vm:1;a;b", "{kind=5 number=1 option=a;b}", "vm:1;a;b"},
        {"vm:300;", "{kind=5 number=300}", "vm:300"},
        {"sip:\"Front Desk\" <100@host:5060>",
         "{kind=1 number=100 name=Front Desk host=host port=5060}", "sip:100@host:5060"},
        {"Pbx:200", "{kind=0 number=200}", "pbx:200"},
        {"SIP:100@host", "{kind=1 number=100 host=host}", "sip:100@host"},
        {R"(sip:"A \"B\" C" <1@h>)", R"({kind=1 number=1 name=A \"B\" C host=h})", "sip:1@h"},
        {"sip:1@2@host", "{kind=1 number=1@2 host=host}", "sip:1@2@host"},
        {"sip:1@h:x:5060", "{kind=1 number=1 host=h:x port=5060}", "sip:1@h:x:5060"},
        {"pbx:", "{kind=0 number=}", "pbx:"},
        {"PSTN:5551234", "{kind=2 number=5551234}", "pstn:5551234"},
        {"Tel: +49 30", "{kind=3 number= +49 30}", "tel: +49 30"},
        {"aR:7", "{kind=4 number=7}", "ar:7"},
        // Angle brackets without a quoted name stay in the texts; text around them is dropped.
        {"sip:<100@host>", "{kind=1 number=<100 host=host>}", "sip:<100@host>"},
        {R"(sip:"N" junk <1@h> trailing)", "{kind=1 number=1 name=N host=h}", "sip:1@h"},
    };
    PartyAddress reused;
    for (const auto& c : cases) {
        ResetPartyAddress(reused);
        ASSERT_TRUE(ParsePartyAddress(c.text, reused)) << c.text;
        EXPECT_EQ(Describe(reused), c.parsed) << c.text;
        std::string normal = "old";
        EXPECT_TRUE(FormatPartyAddress(reused, normal));
        EXPECT_EQ(normal, c.normal);
    }
    // Unknown prefixes, sip texts without a user@host (a bracketed one splits at its last ':'),
    // quoted names not followed by a bracketed address.
    for (const char* text :
         {"", "200", "pst:1", "si:1@h", "sip", "vm", " pbx:1", "sip:100", "sip:100:5060",
          "sip:\"Bob\" <sip:100@host>", R"(sip:"unterminated <1@h>)", R"(sip:"Name" 1@h)",
          R"(sip:"Name" <1@h)", R"(sip:"Name" <>)"}) {
        ResetPartyAddress(reused);
        EXPECT_FALSE(ParsePartyAddress(text, reused)) << text;
    }
}

TEST(PartyAddress, ResetClearsEveryFieldAndParsingKeepsTheMessageTakerFlag) {
    PartyAddress a{"1", "o", "n", "h", "p", kPartySip | kMessageTaker};
    ResetPartyAddress(a);
    EXPECT_EQ(Describe(a), "{kind=0 number=}");
    a.kind = kMessageTaker;
    ASSERT_TRUE(ParsePartyAddress("sip:1@h", a));
    EXPECT_TRUE(a.IsMessageTaker());
    EXPECT_EQ(a.Kind(), kPartySip);
    // A name-addr without a quoted name replaces one read before.
    std::string name = "old", user, host, port;
    ASSERT_TRUE(ParseNameAddr("1@h", name, user, host, port, false));
    EXPECT_EQ(name, "");
    EXPECT_FALSE(ParseNameAddr("\"N\" <>", name, user, host, port, true));
}

// Writing ignores the message-taker flag, takes any unknown kind as tel and needs a user for sip.
TEST(PartyAddress, FormattingAndTheSipHelpers) {
    std::string out = "old", user, host = "untouched", port = "p";
    const std::pair<PartyAddress, const char*> cases[] = {
        {{"100", "", "", "host", "", kPartySip | kMessageTaker}, "sip:100@host"},
        {{"100", "", "", "", "", kPartySip}, "sip:100"},
        {{"5", "", "", "", "", 9}, "tel:5"},
    };
    for (const auto& [address, text] : cases) {
        ASSERT_TRUE(FormatPartyAddress(address, out));
        EXPECT_EQ(out, text);
    }
    EXPECT_FALSE(FormatPartyAddress({"", "", "", "h", "", kPartySip}, out));
    EXPECT_FALSE(JoinUserHost(out, "", "h", true) || JoinUserHost(out, "u", "", false));
    ASSERT_TRUE(JoinUserHost(out, "u", "", true));
    EXPECT_EQ(out, "u");
    ASSERT_TRUE(JoinUserHostPort(out, "u", "h", "1", false));
    EXPECT_EQ(out, "u@h:1");
    EXPECT_TRUE(SplitHostPort("noat", user, host, port, true));
    EXPECT_EQ(user + " " + host + " " + port, "noat untouched ");
    EXPECT_FALSE(SplitHostPort("noat:99", user, host, port, false));
    EXPECT_EQ(port, "99");  // set even when the split fails
}

}  // namespace
}  // namespace voxtrel
