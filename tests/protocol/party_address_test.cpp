// Party address parsing, normal forms and the sip helpers.
#include "protocol/party_address.h"

#include <gtest/gtest.h>

namespace voxtrel {
namespace {

struct Parsed {
    bool ok;
    PartyAddress address;
};

Parsed Parse(std::string_view text) {
    Parsed p;
    ResetPartyAddress(p.address);
    p.ok = ParsePartyAddress(text, p.address);
    return p;
}

std::string Normal(std::string_view text) {
    Parsed p = Parse(text);
    EXPECT_TRUE(p.ok) << text;
    std::string out;
    EXPECT_TRUE(FormatPartyAddress(p.address, out)) << text;
    return out;
}

TEST(PartyAddress, PrefixesAreMatchedWithoutLetterCaseAndWrittenInLowerCase) {
    EXPECT_EQ(Normal("SIP:100@host"), "sip:100@host");
    EXPECT_EQ(Normal("Pbx:200"), "pbx:200");
    EXPECT_EQ(Normal("pbx:"), "pbx:");
    EXPECT_EQ(Normal("PSTN:5551234"), "pstn:5551234");
    EXPECT_EQ(Normal("Tel:+49 30"), "tel:+49 30");
    EXPECT_EQ(Normal("aR:7"), "ar:7");
    EXPECT_EQ(Normal("VM:300;greeting"), "vm:300;greeting");
    EXPECT_EQ(Normal("vm:300"), "vm:300");
    EXPECT_EQ(Normal("vm:300;"), "vm:300");
    EXPECT_EQ(Normal("vm:1;a;b"), "vm:1;a;b");
}

TEST(PartyAddress, KindsAndFields) {
    EXPECT_EQ(Parse("pbx:1").address.kind, kPartyPbx);
    EXPECT_EQ(Parse("sip:1@h").address.kind, kPartySip);
    EXPECT_EQ(Parse("pstn:1").address.kind, kPartyPstn);
    EXPECT_EQ(Parse("tel:1").address.kind, kPartyTel);
    EXPECT_EQ(Parse("ar:1").address.kind, kPartyAr);
    Parsed vm = Parse("vm:300;greeting");
    EXPECT_EQ(vm.address.kind, kPartyVm);
    EXPECT_EQ(vm.address.number, "300");
    EXPECT_EQ(vm.address.option, "greeting");
    EXPECT_EQ(Parse("tel: 555").address.number, " 555");
}

TEST(PartyAddress, UnknownOrEmptyTextsFailAndLeaveTheRecord) {
    for (const char* text : {"", "200", "pst:1", "si:1@h", "sip", "vm", " pbx:1"}) {
        PartyAddress a;
        ResetPartyAddress(a);
        a.number = "keep";
        EXPECT_FALSE(ParsePartyAddress(text, a)) << text;
        EXPECT_EQ(a.number, "keep") << text;
    }
}

TEST(PartyAddress, SipForms) {
    Parsed p = Parse("sip:100@host:5060");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.address.number, "100");
    EXPECT_EQ(p.address.host, "host");
    EXPECT_EQ(p.address.port, "5060");

    p = Parse("sip:1@2@host");
    EXPECT_EQ(p.address.number, "1@2");
    EXPECT_EQ(p.address.host, "host");

    EXPECT_FALSE(Parse("sip:100").ok);
    EXPECT_FALSE(Parse("sip:100:5060").ok);

    p = Parse("sip:\"Front Desk\" <100@host:5060>");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.address.displayName, "Front Desk");
    EXPECT_EQ(p.address.number, "100");
    EXPECT_EQ(p.address.host, "host");
    EXPECT_EQ(p.address.port, "5060");
    EXPECT_EQ(Normal("sip:\"Front Desk\" <100@host:5060>"), "sip:100@host:5060");

    // The bracketed address splits at its last ':', leaving "sip" without '@'.
    EXPECT_FALSE(Parse("sip:\"Bob\" <sip:100@host>").ok);
    // Angle brackets without a quoted name stay in the texts.
    p = Parse("sip:<100@host>");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.address.number, "<100");
    EXPECT_EQ(p.address.host, "host>");
}

TEST(PartyAddress, QuotedDisplayNames) {
    Parsed p = Parse(R"(sip:"A \"B\" C" <1@h>)");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.address.displayName, R"(A \"B\" C)");
    EXPECT_FALSE(Parse(R"(sip:"unterminated <1@h>)").ok);
    EXPECT_FALSE(Parse(R"(sip:"Name" 1@h)").ok);
    EXPECT_FALSE(Parse(R"(sip:"Name" <1@h)").ok);
    EXPECT_FALSE(Parse(R"(sip:"Name" <>)").ok);
    p = Parse(R"(sip:"N" junk <1@h> trailing)");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.address.number, "1");
    EXPECT_EQ(p.address.host, "h");
}

TEST(PartyAddress, FormattingRules) {
    PartyAddress a;
    ResetPartyAddress(a);
    a.kind = kPartySip | kMessageTaker;
    a.number = "100";
    a.host = "host";
    std::string out = "old";
    ASSERT_TRUE(FormatPartyAddress(a, out));
    EXPECT_EQ(out, "sip:100@host");

    a.host.clear();
    ASSERT_TRUE(FormatPartyAddress(a, out));
    EXPECT_EQ(out, "sip:100");  // the host is optional when writing

    a.number.clear();
    EXPECT_FALSE(FormatPartyAddress(a, out));

    a.kind = 9;
    a.number = "5";
    ASSERT_TRUE(FormatPartyAddress(a, out));
    EXPECT_EQ(out, "tel:5");
}

TEST(PartyAddress, ParsingKeepsTheMessageTakerFlag) {
    PartyAddress a;
    ResetPartyAddress(a);
    a.kind = kMessageTaker;
    ASSERT_TRUE(ParsePartyAddress("pbx:7", a));
    EXPECT_EQ(a.kind, kMessageTaker | kPartyPbx);
    ASSERT_TRUE(ParsePartyAddress("sip:1@h", a));
    EXPECT_TRUE(a.IsMessageTaker());
    EXPECT_EQ(a.Kind(), kPartySip);
    ResetPartyAddress(a);
    EXPECT_EQ(a.kind, 0u);
}

TEST(PartyAddress, JoinHelpers) {
    std::string out;
    EXPECT_FALSE(JoinUserHost(out, "", "h", true));
    EXPECT_FALSE(JoinUserHost(out, "u", "", false));
    ASSERT_TRUE(JoinUserHost(out, "u", "", true));
    EXPECT_EQ(out, "u");
    ASSERT_TRUE(JoinUserHostPort(out, "u", "h", "1", false));
    EXPECT_EQ(out, "u@h:1");

    std::string user, host = "untouched", port = "p";
    EXPECT_TRUE(SplitHostPort("noat", user, host, port, true));
    EXPECT_EQ(user, "noat");
    EXPECT_EQ(host, "untouched");
    EXPECT_EQ(port, "");
    EXPECT_FALSE(SplitHostPort("noat:99", user, host, port, false));
    EXPECT_EQ(port, "99");  // set even when the split fails
}

}  // namespace
}  // namespace voxtrel
