// Party addresses: the prefixed texts ("sip:", "tel:", "pbx:", "pstn:", "ar:", "vm:") that name
// callers and called parties, their parsed record, and the sip user@host:port helpers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace voxtrel {

enum PartyKind : uint32_t {
    kPartyPbx = 0,
    kPartySip = 1,
    kPartyPstn = 2,
    kPartyTel = 3,
    kPartyAr = 4,
    kPartyVm = 5,
};

// Set in PartyAddress::kind when a redirect target was marked as the message taker.
constexpr uint32_t kMessageTaker = 0x80000000u;

struct PartyAddress {
    std::string number;       // number or extension; the user part for sip
    std::string option;       // vm only: the text after the first ';'
    std::string displayName;  // sip only: the quoted display name
    std::string host;         // sip only
    std::string port;         // sip only; empty when the text has none
    uint32_t kind = 0;        // low 8 bits: PartyKind; top bit: kMessageTaker

    uint32_t Kind() const { return kind & 0xFFu; }
    bool IsMessageTaker() const { return (kind & kMessageTaker) != 0; }
};

void ResetPartyAddress(PartyAddress& address);
// Fills a reset record from its text; false for an empty text, an unknown prefix or a sip text
// that does not split. The kind is OR-ed in, so a message-taker flag set beforehand survives.
bool ParsePartyAddress(std::string_view text, PartyAddress& address);
// Replaces out with the record's normal text; false only for a sip record without a user.
bool FormatPartyAddress(const PartyAddress& address, std::string& out);

bool ParseNameAddr(std::string_view text, std::string& displayName, std::string& user,
                   std::string& host, std::string& port, bool hostOptional);
bool SplitHostPort(std::string_view text, std::string& user, std::string& host, std::string& port,
                   bool hostOptional);
bool SplitUserHost(std::string_view text, std::string& user, std::string& host, bool hostOptional);
// Each replaces out with user@host (or the user alone when the host is empty and optional).
bool JoinUserHost(std::string& out, const std::string& user, const std::string& host,
                  bool hostOptional);
bool JoinUserHostPort(std::string& out, const std::string& user, const std::string& host,
                      const std::string& port, bool hostOptional);

}  // namespace voxtrel
