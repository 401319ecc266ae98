// Arbitrary texts as party addresses: a parsed address that writes must parse again into the
// same record, display name aside.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/party_address.h"

using namespace voxtrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    PartyAddress first;
    ResetPartyAddress(first);
    if (!ParsePartyAddress(text, first)) return 0;
    std::string written;
    if (!FormatPartyAddress(first, written)) {
        if (first.Kind() != kPartySip || !first.number.empty()) std::abort();
        return 0;
    }
    // Some sip records have no text that reads back into them: one without a host (the written
    // form has no '@'); one whose parts, taken from a bracketed address, hold a double quote (the
    // written form reads as an unterminated display name); and one without a port whose user or
    // host holds a ':' (the written form splits a port off at it).
    auto holds = [](const std::string& s, char c) { return s.find(c) != std::string::npos; };
    if (first.Kind() == kPartySip &&
        (first.host.empty() || holds(written, '"') ||
         (first.port.empty() && (holds(first.number, ':') || holds(first.host, ':'))))) {
        return 0;
    }
    PartyAddress second;
    ResetPartyAddress(second);
    if (!ParsePartyAddress(written, second)) std::abort();
    if (second.kind != first.kind || second.number != first.number ||
        second.option != first.option || second.host != first.host || second.port != first.port ||
        !second.displayName.empty()) {
        std::abort();
    }
    std::string again;
    if (!FormatPartyAddress(second, again) || again != written) std::abort();
    return 0;
}
