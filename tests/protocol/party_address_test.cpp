// Party address parsing, normal forms and the sip helpers.
#include "protocol/party_address.h"

#include <gtest/gtest.h>

#include <tuple>

#include "recording_client.h"

namespace voxtrel {
namespace {

// One record serves every row, reset in between as the callers do, so that a field the reset or
// the parse leaves behind shows in the next row.
TEST(PartyAddress, ParsedFieldsAndNormalForms) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
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
    for (const auto& [text, parsed, normal] : cases) {
        ResetPartyAddress(reused);
        std::string written = "old";
        ASSERT_TRUE(ParsePartyAddress(text, reused) && FormatPartyAddress(reused, written)) << text;
        EXPECT_EQ(Describe(reused) + " " + written, std::string(parsed) + " " + normal);
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

// Reset clears every field; parsing keeps the message-taker flag and the option and replaces a
// name and port read before. Writing ignores the flag, takes any unknown kind as tel and needs a
// user for sip.
TEST(PartyAddress, ResetParsingOverAFilledRecordAndFormatting) {
    PartyAddress a{"1", "o", "n", "h", "p", kPartySip | kMessageTaker};
    ResetPartyAddress(a);
    EXPECT_EQ(Describe(a), "{kind=0 number=}");
    a = {"9", "o", "old", "x", "p", kMessageTaker};
    ASSERT_TRUE(ParsePartyAddress("sip:1@h", a));
    EXPECT_EQ(Describe(a), "{kind=2147483649 number=1 option=o host=h}");
    std::string written, out = "old";
    for (const PartyAddress& b :
         {a, PartyAddress{"100", "", "", "", "", kPartySip}, PartyAddress{"5", "", "", "", "", 9},
          PartyAddress{"", "", "", "h", "", kPartySip}})
        written += (FormatPartyAddress(b, out) ? "" : "(refused)") + out + " ";
    EXPECT_EQ(written, "sip:1@h sip:100 tel:5 (refused) ");
}

}  // namespace
}  // namespace voxtrel
