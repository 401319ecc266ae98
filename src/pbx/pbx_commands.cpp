// The console commands of the simulated service, one line each, and the help texts that
// describe them and the service's answers.
#include <charconv>
#include <ctime>

#include "pbx/pbx_service.h"
#include "protocol/call_offer.h"
#include "protocol/mail_arrived.h"

namespace voxtrel::pbx {

namespace {

using Words = std::vector<std::string_view>;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

Words SplitWords(std::string_view line) {
    Words words;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && IsBlank(line[at]))
            ++at;
        size_t start = at;
        while (at < line.size() && !IsBlank(line[at]))
            ++at;
        if (at > start) words.push_back(line.substr(start, at - start));
    }
    return words;
}

// The rest of the line from the word's start, without trailing blanks.
std::string_view RestFrom(std::string_view line, std::string_view word) {
    std::string_view rest = line.substr(static_cast<size_t>(word.data() - line.data()));
    while (!rest.empty() && IsBlank(rest.back()))
        rest.remove_suffix(1);
    return rest;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
    if (text.empty()) return false;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool Fail(std::string& reply, const std::string& text) {
    reply = "error: " + text;
    return false;
}

bool Usage(std::string& reply, const char* usage) {
    return Fail(reply, std::string("usage: ") + usage);
}

}  // namespace

bool PbxService::Execute(std::string_view line, std::string& reply) {
    now_ = Clock::now();
    Words words = SplitWords(line);
    if (words.empty()) return Fail(reply, "empty command");
    std::string_view command = words[0];
    bool ok = false;
    if (command == "offer") {
        ok = Offer(words, reply);
    } else if (command == "mail") {
        ok = Mail(words, reply);
    } else if (command == "dtmf" || command == "state") {
        uint64_t callId = 0;
        int32_t state = 0;
        if (words.size() != 3 || !ParseNumber(words[1], callId) ||
            (command == "state" && !ParseNumber(words[2], state))) {
            return Usage(reply, command == "dtmf" ? "dtmf CALLID DIGITS" : "state CALLID N");
        }
        Outcome outcome = command == "dtmf" ? model_.SendDigits(callId, words[2])
                                            : model_.SetState(callId, state);
        if (!outcome.Ok()) return Fail(reply, outcome.text);
        reply = "ok";
        ok = true;
    } else if (command == "fault") {
        int32_t code = 0;
        int type = words.size() >= 3 ? FindMethodType(words[1]) : -1;
        if (words.size() < 3 || !ParseNumber(words[2], code)) {
            return Usage(reply, "fault METHOD CODE TEXT");
        }
        if (type < 0) return Fail(reply, "unknown method " + std::string(words[1]));
        std::string text = words.size() > 3 ? std::string(RestFrom(line, words[3])) : "";
        if (!behaviors_.AddFault(static_cast<uint32_t>(type), {code, text})) {
            return Fail(reply, "too many faults queued");
        }
        reply = "ok";
        ok = true;
    } else if (command == "mute" || command == "unmute") {
        if (words.size() != 2) return Usage(reply, "mute METHOD");
        int type = FindMethodType(words[1]);
        if (type < 0) return Fail(reply, "unknown method " + std::string(words[1]));
        behaviors_.SetMuted(static_cast<uint32_t>(type), command == "mute");
        reply = "ok";
        ok = true;
    } else if (command == "close") {
        ok = CloseAll(reply);
    } else if (command == "status") {
        ok = Status(words, reply);
    } else if (command == "help") {
        reply = "commands: offer mail dtmf state fault mute unmute close status help";
        ok = true;
    } else {
        return Fail(reply, "unknown command " + std::string(command) + " (try help)");
    }
    // Connections that a command closed, or that its notifications overflowed, go at once.
    Sweep();
    return ok;
}

bool PbxService::Offer(const std::vector<std::string_view>& words, std::string& reply) {
    if (words.size() < 3 || words.size() > 4) return Usage(reply, "offer EXT FROM [ORIGCALLID]");
    std::string extension(words[1]);
    PartyAddress caller;
    ResetPartyAddress(caller);
    if (!ParsePartyAddress(words[2], caller)) {
        return Fail(reply, std::string(words[2]) + " is not a party address");
    }
    uint64_t origCallId = 0;
    if (words.size() == 4 && !ParseNumber(words[3], origCallId)) {
        return Usage(reply, "offer EXT FROM [ORIGCALLID]");
    }
    // The offer writes the caller as sip user@host or tel number; a sip user may be missing.
    PartyAddress callee;
    ResetPartyAddress(callee);
    callee.number = extension;
    CallArrivedMethod probe;
    if (!probe.SetParams(0, caller, callee, 0)) {
        return Fail(reply, std::string(words[2]) + " cannot be offered");
    }
    uint64_t callId = 0;
    Outcome outcome = model_.OfferCall(extension, caller, origCallId, callId);
    if (!outcome.Ok()) return Fail(reply, outcome.text);
    reply = FormatId(callId);
    return true;
}

bool PbxService::Mail(const std::vector<std::string_view>& words, std::string& reply) {
    uint64_t subscriptionId = 0;
    int32_t duration = 0;
    int32_t mailId = 0;
    if (words.size() != 5 || !ParseNumber(words[1], subscriptionId) ||
        !ParseNumber(words[3], duration) || !ParseNumber(words[4], mailId)) {
        return Usage(reply, "mail SUBSCRID FROM DURATION MAILID");
    }
    PartyAddress sender;
    ResetPartyAddress(sender);
    MailArrivedMethod notice;
    if (!ParsePartyAddress(words[2], sender) ||
        !notice.SetParams(subscriptionId, sender, static_cast<int32_t>(std::time(nullptr)),
                          duration, mailId)) {
        return Fail(reply, std::string(words[2]) + " is not a party address");
    }
    std::vector<ConnectionId> subscribers;
    for (const auto& [id, connection] : connections_) {
        if (!connection->closing && connection->subscriptions.count(subscriptionId) != 0) {
            subscribers.push_back(id);
        }
    }
    if (subscribers.empty()) return Fail(reply, "unknown subscription " + FormatId(subscriptionId));
    for (ConnectionId id : subscribers)
        Notify(id, notice, subscriptionId);
    reply = "ok";
    return true;
}

bool PbxService::Status(const std::vector<std::string_view>& words, std::string& reply) {
    if (words.size() == 1) {
        size_t authenticated = 0;
        size_t unacknowledged = 0;
        for (const auto& [id, connection] : connections_) {
            if (connection->authenticated) ++authenticated;
            unacknowledged += connection->unacknowledged.size();
        }
        reply = "connections " + std::to_string(connections_.size()) + " authenticated " +
                std::to_string(authenticated) + " calls " + std::to_string(model_.CallCount()) +
                " unacknowledged " + std::to_string(unacknowledged);
        return true;
    }
    uint64_t callId = 0;
    if (words.size() != 2 || !ParseNumber(words[1], callId)) return Usage(reply, "status [CALLID]");
    const Call* call = model_.Find(callId);
    if (call == nullptr) return Fail(reply, "unknown call " + FormatId(callId));
    reply = "call " + FormatId(callId) + " state " + std::to_string(call->state) + " connection " +
            std::to_string(call->owner) + " offered " + std::to_string(call->offeredTo.size()) +
            " joined " + FormatId(call->joinedWith) + " dtmf " +
            (call->dtmfDetection ? "on" : "off");
    return true;
}

bool PbxService::CloseAll(std::string& reply) {
    size_t closed = 0;
    for (auto& [id, connection] : connections_) {
        if (!connection->closing) ++closed;
        Close(*connection, "closed by the console");
    }
    reply = "ok " + std::to_string(closed) + " closed";
    return true;
}

std::string DescribeCommands() {
    return "Commands, one per line; each prints one line, \"error: ...\" when it fails:\n"
           "  offer EXT FROM [ORIGCALLID]\n"
           "      offers a new call from the party address FROM to every connection that has\n"
           "      taken over EXT (incomingcallhandling); prints the new call id\n"
           "  mail SUBSCRID FROM DURATION MAILID\n"
           "      a voice-mail notice, sent now, to the connections holding the subscription\n"
           "  dtmf CALLID DIGITS\n"
           "      detected digits (0-9 * # A-D) on a connected call whose detection is on\n"
           "  state CALLID N\n"
           "      the call moves to state N and its connection hears of it; 6, 7 and 8 end it\n"
           "  fault METHOD CODE TEXT\n"
           "      the next request of METHOD (\"createcall\" or its full name) gets this fault\n"
           "  mute METHOD, unmute METHOD\n"
           "      stop answering METHOD requests (they have no effect either), and resume\n"
           "  close\n"
           "      closes every connection; the service goes on listening\n"
           "  status [CALLID]\n"
           "      counts of connections, calls and unacknowledged notifications; or one call\n"
           "  help\n";
}

std::string DescribeAnswers() {
    return "Answers: every request in its turn; plain answers echo the request's id\n"
           "(\"0\" without one); authenticate gives true or false; subscribe gives the id, true\n"
           "and 0 for a voice-mail subscription with an extension, else false and 1. Requests\n"
           "before a successful authenticate get fault 7. Fault codes:\n"
           "  1 unknown call (or another connection's)     6 unknown subscription\n"
           "  2 invalid party address                      7 not authenticated\n"
           "  3 call not in a state for the request        8 unknown method, unreadable params\n"
           "  4 calls not joined                           9 limit reached (calls, messages)\n"
           "  5 call id in use\n"
           "A message that is no XML-RPC document closes its connection, as does a message\n"
           "longer than 1 MiB or more than 1 MiB of unread output.\n";
}

}  // namespace voxtrel::pbx
