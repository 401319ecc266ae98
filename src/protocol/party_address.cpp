// Parsing and writing of party address texts.
#include "protocol/party_address.h"

#include "xml/ascii_case.h"

namespace voxtrel {

namespace {

// The closing quote of a display name: the next '"' not directly preceded by a backslash.
size_t FindClosingQuote(std::string_view text, size_t opening) {
    for (size_t i = opening + 1; i < text.size(); ++i) {
        if (text[i] == '"' && text[i - 1] != '\\') return i;
    }
    return std::string_view::npos;
}

}  // namespace

void ResetPartyAddress(PartyAddress& address) {
    address.number.clear();
    address.option.clear();
    address.displayName.clear();
    address.host.clear();
    address.port.clear();
    address.kind = 0;
}

bool ParsePartyAddress(std::string_view text, PartyAddress& address) {
    if (text.empty()) return false;
    if (StartsWithIgnoreCase(text, "sip:")) {
        if (!ParseNameAddr(text.substr(4), address.displayName, address.number, address.host,
                           address.port, false)) {
            return false;
        }
        address.kind |= kPartySip;
    } else if (StartsWithIgnoreCase(text, "tel:")) {
        address.number = text.substr(4);
        address.kind |= kPartyTel;
    } else if (StartsWithIgnoreCase(text, "pbx:")) {
        address.number = text.substr(4);
    } else if (StartsWithIgnoreCase(text, "pstn:")) {
        address.number = text.substr(5);
        address.kind |= kPartyPstn;
    } else if (StartsWithIgnoreCase(text, "ar:")) {
        address.number = text.substr(3);
        address.kind |= kPartyAr;
    } else if (StartsWithIgnoreCase(text, "vm:")) {
        std::string_view rest = text.substr(3);
        size_t semicolon = rest.find(';');
        if (semicolon == std::string_view::npos) {
            address.number = rest;
        } else {
            address.number = rest.substr(0, semicolon);
            address.option = rest.substr(semicolon + 1);
        }
        address.kind |= kPartyVm;
    } else {
        return false;
    }
    return true;
}

bool FormatPartyAddress(const PartyAddress& address, std::string& out) {
    out.clear();
    switch (address.kind & ~kMessageTaker) {
        case kPartyPbx:
            out = "pbx:" + address.number;
            return true;
        case kPartySip:
            if (!JoinUserHostPort(out, address.number, address.host, address.port, true)) {
                return false;
            }
            out.insert(0, "sip:");
            return true;
        case kPartyPstn:
            out = "pstn:" + address.number;
            return true;
        case kPartyAr:
            out = "ar:" + address.number;
            return true;
        case kPartyVm:
            out = "vm:" + address.number;
            if (!address.option.empty()) out += ";" + address.option;
            return true;
        default:
            out = "tel:" + address.number;
            return true;
    }
}

bool ParseNameAddr(std::string_view text, std::string& displayName, std::string& user,
                   std::string& host, std::string& port, bool hostOptional) {
    size_t opening = text.find('"');
    if (opening == std::string_view::npos) {
        displayName.clear();
        return SplitHostPort(text, user, host, port, hostOptional);
    }
    size_t closing = FindClosingQuote(text, opening);
    if (closing == std::string_view::npos) return false;
    size_t open = text.find('<', closing + 1);
    if (open == std::string_view::npos) return false;
    size_t close = text.find('>', open + 1);
    if (close == std::string_view::npos || close == open + 1) return false;
    displayName = text.substr(opening + 1, closing - opening - 1);
    return SplitHostPort(text.substr(open + 1, close - open - 1), user, host, port, hostOptional);
}

bool SplitHostPort(std::string_view text, std::string& user, std::string& host, std::string& port,
                   bool hostOptional) {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        port.clear();
        return SplitUserHost(text, user, host, hostOptional);
    }
    bool split = SplitUserHost(text.substr(0, colon), user, host, hostOptional);
    port = text.substr(colon + 1);
    return split;
}

bool SplitUserHost(std::string_view text, std::string& user, std::string& host, bool hostOptional) {
    size_t at = text.rfind('@');
    if (at == std::string_view::npos) {
        if (!hostOptional) return false;
        user = text;
        return true;
    }
    user = text.substr(0, at);
    host = text.substr(at + 1);
    return true;
}

bool JoinUserHost(std::string& out, const std::string& user, const std::string& host,
                  bool hostOptional) {
    if (user.empty()) return false;
    if (host.empty()) {
        if (!hostOptional) return false;
        out = user;
        return true;
    }
    out = user + "@" + host;
    return true;
}

bool JoinUserHostPort(std::string& out, const std::string& user, const std::string& host,
                      const std::string& port, bool hostOptional) {
    if (!JoinUserHost(out, user, host, hostOptional)) return false;
    if (!port.empty()) out += ":" + port;
    return true;
}

}  // namespace voxtrel
