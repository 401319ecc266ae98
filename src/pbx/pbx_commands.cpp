// The console commands of the simulated service, one line each, and the help texts that
// describe them and the service's answers.
#include <algorithm>
#include <charconv>
#include <ctime>
#include <random>

#include "pbx/pbx_service.h"
#include "protocol/call_notifications.h"
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

bool ParsePercent(std::string_view text, uint32_t& percent) {
    return ParseNumber(text, percent) && percent <= 100;
}

// The method a command names, or a failure reply.
bool ParseMethod(std::string_view name, uint32_t& type, std::string& reply) {
    int found = FindMethodType(name);
    if (found < 0) return Fail(reply, "unknown method " + std::string(name));
    type = static_cast<uint32_t>(found);
    return true;
}

}  // namespace

const std::vector<PbxService::ConsoleCommand>& PbxService::Commands() {
    using S = PbxService;
    auto n = [](size_t value) { return std::to_string(value); };
    // The order is that of help's list and of the --help text.
    static const std::vector<ConsoleCommand> commands = {
        {"offer", "EXT FROM [ORIGCALLID]",
         "offers a new call from the party address FROM to every connection that has taken over "
         "EXT (incomingcallhandling); prints the new call id",
         &S::Offer},
        {"offers", "COUNT EXT FROM",
         "COUNT offers at once (at most " + n(kMaxOffersAtOnce) +
             "), as offer does, written together",
         &S::Offers},
        {"mail", "SUBSCRID FROM DURATION MAILID",
         "a voice-mail notice, sent now, to the connections holding the subscription", &S::Mail},
        {"dtmf", "CALLID DIGITS",
         "detected digits (0-9 * # A-D) on a connected call whose detection is on", &S::Dtmf},
        {"state", "CALLID N",
         "the call moves to state N and its connection hears of it; 6, 7 and 8 end it", &S::State},
        {"fault", "METHOD CODE TEXT",
         "the next request of METHOD (\"createcall\" or its full name) gets this fault", &S::Fault},
        {"fault-rate", "METHOD PERCENT CODE [TEXT]",
         "from now on each request of METHOD gets this fault with a chance of PERCENT (100: "
         "every one; 0 ends it); the request has no effect then",
         &S::FaultRate},
        {"delay", "METHOD MILLISECONDS",
         "answers to METHOD leave that late (0 ends it); answers stay in order, so what the "
         "connection is sent after a late answer waits behind it",
         &S::Delay},
        {"mute", "METHOD", "stop answering METHOD requests (they have no effect either)", &S::Mute},
        {"unmute", "METHOD", "answer METHOD requests again", &S::Mute},
        {"chaos", "close PERCENT",
         "after each message written or read, a connection is closed with that chance; a close "
         "while writing cuts the message at a random byte",
         &S::Chaos},
        {"chaos", "split on|off",
         "each write hands the socket a random prefix of what waits, a millisecond apart, so "
         "that peers receive messages in random pieces",
         &S::Chaos},
        {"chaos", "slow-read BYTES_PER_SECOND",
         "read at most that many bytes a second from each connection (0: no limit)", &S::Chaos},
        {"chaos", "seed N", "restarts the random choices of the injected faults from seed N",
         &S::Chaos},
        {"chaos", "off", "ends every injected fault: rates, delays, silences, queued faults, chaos",
         &S::Chaos},
        {"chaos", "", "prints the seed and the chaos settings", &S::Chaos},
        {"garbage", "[CONNECTION]",
         "sends a terminated text that is no XML document, then 16 to 256 random bytes without "
         "CR that spoil the next message; to a connection at random without CONNECTION "
         "(connections are numbered from 1 in the order they came)",
         &S::Garbage},
        {"flood", "[CONNECTION]",
         "sends " + n(kFloodBytes) +
             " bytes without a terminator, more than a peer may keep, then closes the connection",
         &S::Flood},
        {"nest", "[CONNECTION [DEPTH]]",
         "a state change of call 0 whose first param is an array nested DEPTH deep (default " +
             n(kDefaultNesting) + ", at most " + n(kMaxNesting) +
             "), sent in pieces of a few bytes",
         &S::Hostile},
        {"attributes", "[CONNECTION [COUNT]]",
         "a state change of call 0 whose methodCall tag has COUNT distinct attributes (default " +
             n(kDefaultAttributes) + ", at most " + n(kMaxAttributes) +
             "), sent in pieces of a few bytes",
         &S::Hostile},
        {"cr-flood", "[CONNECTION [BYTES]]",
         "BYTES carriage returns (default " + n(kDefaultCrBytes) +
             ") and then LF CR LF: a blank message, sent in pieces of a few bytes",
         &S::Hostile},
        {"crlfcr-flood", "[CONNECTION [BYTES]]",
         "BYTES of CR LF CR repeated, without a terminator: the next message the connection is "
         "sent joins them; sent in pieces of a few bytes",
         &S::Hostile},
        {"close", "", "closes every connection; the service goes on listening", &S::CloseAll},
        {"status", "[CALLID]",
         "counts of connections, calls and unacknowledged notifications; or one call", &S::Status},
        {"counts", "",
         "what all connections have sent so far: requests, offer answers (accepted, declined, "
         "redirected) and acknowledged notifications",
         &S::Counts},
        {"help", "", "the names of the commands", &S::Help},
    };
    return commands;
}

namespace {

// "usage: NAME SYNOPSIS"; a command of several forms lists them as alternatives.
std::string UsageOf(std::string_view name) {
    std::vector<std::string_view> forms;
    bool bare = false;
    for (const auto& command : PbxService::Commands()) {
        if (command.name != name) continue;
        if (command.synopsis.empty()) {
            bare = true;
        } else {
            forms.push_back(command.synopsis);
        }
    }
    std::string usage = "usage: " + std::string(name);
    if (forms.empty()) return usage;
    usage += bare ? " [" : " ";
    for (size_t i = 0; i < forms.size(); ++i)
        usage += (i == 0 ? "" : " | ") + std::string(forms[i]);
    if (bare) usage += "]";
    return usage;
}

bool Usage(std::string& reply, std::string_view command) {
    reply = "error: " + UsageOf(command);
    return false;
}

// Words of text, at most width columns a line, each line indented.
std::string Wrap(std::string_view text, size_t indent, size_t width) {
    std::string wrapped;
    size_t column = 0;
    for (std::string_view word : SplitWords(text)) {
        if (column > 0 && column + 1 + word.size() > width) {
            wrapped += "\n";
            column = 0;
        }
        if (column == 0) {
            wrapped.append(indent, ' ');
            column = indent;
        } else {
            wrapped += ' ';
            ++column;
        }
        wrapped += word;
        column += word.size();
    }
    return wrapped + "\n";
}

}  // namespace

bool PbxService::Execute(std::string_view line, std::string& reply) {
    now_ = Clock::now();
    Words words = SplitWords(line);
    if (words.empty()) return Fail(reply, "empty command");
    const auto& commands = Commands();
    auto found = std::find_if(commands.begin(), commands.end(), [&](const ConsoleCommand& command) {
        return command.name == words[0];
    });
    if (found == commands.end()) {
        return Fail(reply, "unknown command " + std::string(words[0]) + " (try help)");
    }
    bool ok = (this->*found->run)(line, words, reply);
    // Connections that a command closed, or that its notifications overflowed, go at once.
    Sweep();
    return ok;
}

bool PbxService::Help(std::string_view, const Words&, std::string& reply) {
    reply = "commands:";
    std::string_view last;
    for (const auto& command : Commands()) {
        if (command.name != last) reply += " " + std::string(command.name);
        last = command.name;
    }
    return true;
}

bool PbxService::Dtmf(std::string_view, const Words& words, std::string& reply) {
    uint64_t callId = 0;
    if (words.size() != 3 || !ParseNumber(words[1], callId)) return Usage(reply, words[0]);
    Outcome outcome = model_.SendDigits(callId, words[2]);
    if (!outcome.Ok()) return Fail(reply, outcome.text);
    reply = "ok";
    return true;
}

bool PbxService::State(std::string_view, const Words& words, std::string& reply) {
    uint64_t callId = 0;
    int32_t state = 0;
    if (words.size() != 3 || !ParseNumber(words[1], callId) || !ParseNumber(words[2], state)) {
        return Usage(reply, words[0]);
    }
    Outcome outcome = model_.SetState(callId, state);
    if (!outcome.Ok()) return Fail(reply, outcome.text);
    reply = "ok";
    return true;
}

bool PbxService::Fault(std::string_view line, const Words& words, std::string& reply) {
    int32_t code = 0;
    if (words.size() < 3 || !ParseNumber(words[2], code)) return Usage(reply, words[0]);
    uint32_t type = 0;
    if (!ParseMethod(words[1], type, reply)) return false;
    std::string text = words.size() > 3 ? std::string(RestFrom(line, words[3])) : "";
    if (!faults_.methods.AddFault(type, {code, text})) {
        return Fail(reply, "too many faults queued");
    }
    reply = "ok";
    return true;
}

bool PbxService::Mute(std::string_view, const Words& words, std::string& reply) {
    if (words.size() != 2) return Usage(reply, words[0]);
    uint32_t type = 0;
    if (!ParseMethod(words[1], type, reply)) return false;
    faults_.methods.SetMuted(type, words[0] == "mute");
    reply = "ok";
    return true;
}

bool PbxService::Offer(std::string_view, const Words& words, std::string& reply) {
    if (words.size() < 3 || words.size() > 4) return Usage(reply, words[0]);
    std::string extension(words[1]);
    PartyAddress caller;
    ResetPartyAddress(caller);
    if (!ParsePartyAddress(words[2], caller)) {
        return Fail(reply, std::string(words[2]) + " is not a party address");
    }
    uint64_t origCallId = 0;
    if (words.size() == 4 && !ParseNumber(words[3], origCallId)) return Usage(reply, words[0]);
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

bool PbxService::Offers(std::string_view line, const Words& words, std::string& reply) {
    size_t count = 0;
    if (words.size() != 4 || !ParseNumber(words[1], count) || count == 0) {
        return Usage(reply, words[0]);
    }
    if (count > kMaxOffersAtOnce) {
        return Fail(reply, "at most " + std::to_string(kMaxOffersAtOnce) + " offers at once");
    }
    // All of them are queued before the next pass writes: they leave in one write.
    uint64_t first = 0;
    size_t offered = 0;
    for (; offered < count; ++offered) {
        std::string one;
        if (!Offer(line, {"offer", words[2], words[3]}, one)) {
            if (offered == 0) {
                reply = one;
                return false;
            }
            break;
        }
        if (offered == 0) ParseNumber(one, first);
    }
    reply = "ok " + std::to_string(offered) + " offered from call " + FormatId(first);
    return true;
}

bool PbxService::Counts(std::string_view, const Words& words, std::string& reply) {
    if (words.size() != 1) return Usage(reply, words[0]);
    reply = "requests " + std::to_string(received_.requests) + " accepted " +
            std::to_string(received_.accepted) + " declined " + std::to_string(received_.declined) +
            " redirected " + std::to_string(received_.redirected) + " acknowledged " +
            std::to_string(received_.acknowledged);
    return true;
}

bool PbxService::Mail(std::string_view, const Words& words, std::string& reply) {
    uint64_t subscriptionId = 0;
    int32_t duration = 0;
    int32_t mailId = 0;
    if (words.size() != 5 || !ParseNumber(words[1], subscriptionId) ||
        !ParseNumber(words[3], duration) || !ParseNumber(words[4], mailId)) {
        return Usage(reply, words[0]);
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

bool PbxService::Status(std::string_view, const Words& words, std::string& reply) {
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
    if (words.size() != 2 || !ParseNumber(words[1], callId)) return Usage(reply, words[0]);
    const Call* call = model_.Find(callId);
    if (call == nullptr) return Fail(reply, "unknown call " + FormatId(callId));
    reply = "call " + FormatId(callId) + " state " + std::to_string(call->state) + " connection " +
            std::to_string(call->owner) + " offered " + std::to_string(call->offeredTo.size()) +
            " joined " + FormatId(call->joinedWith) + " dtmf " +
            (call->dtmfDetection ? "on" : "off");
    return true;
}

bool PbxService::CloseAll(std::string_view, const Words&, std::string& reply) {
    size_t closed = 0;
    for (auto& [id, connection] : connections_) {
        if (!connection->closing) ++closed;
        Close(*connection, "closed by the console");
    }
    reply = "ok " + std::to_string(closed) + " closed";
    return true;
}

bool PbxService::FaultRate(std::string_view line, const Words& words, std::string& reply) {
    uint32_t type = 0;
    uint32_t percent = 0;
    int32_t code = 0;
    if (words.size() < 3 || !ParsePercent(words[2], percent)) return Usage(reply, words[0]);
    if (!ParseMethod(words[1], type, reply)) return false;
    // Zero ends the rate and needs no fault.
    if (percent > 0 && (words.size() < 4 || !ParseNumber(words[3], code))) {
        return Usage(reply, words[0]);
    }
    std::string text = words.size() > 4 ? std::string(RestFrom(line, words[4])) : "";
    if (!faults_.methods.SetFaultRate(type, percent, {code, text}))
        return Fail(reply, "text too long");
    reply = "ok";
    return true;
}

bool PbxService::Delay(std::string_view, const Words& words, std::string& reply) {
    uint32_t type = 0;
    int64_t milliseconds = 0;
    if (words.size() != 3 || !ParseNumber(words[2], milliseconds)) {
        return Usage(reply, words[0]);
    }
    if (!ParseMethod(words[1], type, reply)) return false;
    if (!faults_.methods.SetDelay(type, std::chrono::milliseconds(milliseconds))) {
        return Fail(reply, "a delay is 0 to " +
                               std::to_string(MethodBehaviorTable::kMaxDelay.count()) + " ms");
    }
    reply = "ok";
    return true;
}

bool PbxService::Chaos(std::string_view, const Words& words, std::string& reply) {
    StreamChaos& chaos = faults_.chaos;
    if (words.size() == 1) {
        reply = "seed " + std::to_string(faults_.seed) + " close " +
                std::to_string(chaos.closePercent) + " split " +
                (chaos.splitWrites ? "on" : "off") + " slow-read " + std::to_string(chaos.readRate);
        return true;
    }
    std::string_view what = words[1];
    if (what == "off" && words.size() == 2) {
        chaos = StreamChaos{};
        faults_.methods.Reset();
    } else if (words.size() != 3) {
        return Usage(reply, words[0]);
    } else if (what == "close") {
        if (!ParsePercent(words[2], chaos.closePercent)) return Usage(reply, words[0]);
    } else if (what == "split") {
        if (words[2] != "on" && words[2] != "off") return Usage(reply, words[0]);
        chaos.splitWrites = words[2] == "on";
    } else if (what == "slow-read") {
        uint32_t rate = 0;
        if (!ParseNumber(words[2], rate)) return Usage(reply, words[0]);
        chaos.readRate = rate;
    } else if (what == "seed") {
        uint64_t seed = 0;
        if (!ParseNumber(words[2], seed)) return Usage(reply, words[0]);
        faults_.seed = seed;
        faults_.random.seed(seed);
    } else {
        return Usage(reply, words[0]);
    }
    reply = "ok";
    return true;
}

Connection* PbxService::Target(const Words& words, std::string& reply) {
    if (words.size() == 2) {
        ConnectionId id = 0;
        if (!ParseNumber(words[1], id)) {
            Usage(reply, words[0]);
            return nullptr;
        }
        Connection* connection = Live(id);
        if (connection == nullptr) Fail(reply, "no connection " + std::to_string(id));
        return connection;
    }
    if (words.size() != 1) {
        Usage(reply, words[0]);
        return nullptr;
    }
    std::vector<Connection*> live;
    for (auto& [id, connection] : connections_) {
        if (!connection->closing) live.push_back(connection.get());
    }
    if (live.empty()) {
        Fail(reply, "no connection");
        return nullptr;
    }
    return live[std::uniform_int_distribution<size_t>(0, live.size() - 1)(faults_.random)];
}

bool PbxService::Garbage(std::string_view, const Words& words, std::string& reply) {
    Connection* connection = Target(words, reply);
    if (connection == nullptr) return false;
    std::string text = "garbage: no XML-RPC document, not even XML";
    text += kMessageTerminator;
    size_t textBytes = text.size();
    // Without CR no terminator forms: the binary bytes spoil the message that follows them.
    size_t binaryBytes = std::uniform_int_distribution<size_t>(16, 256)(faults_.random);
    std::uniform_int_distribution<int> byte(0, 254);
    for (size_t i = 0; i < binaryBytes; ++i) {
        int value = byte(faults_.random);
        text += static_cast<char>(value >= '\r' ? value + 1 : value);
    }
    Log("connection " + std::to_string(connection->id) + " -> garbage");
    Queue(*connection, text);
    reply = "ok connection " + std::to_string(connection->id) + ", " + std::to_string(textBytes) +
            " bytes of text, " + std::to_string(binaryBytes) + " binary bytes";
    return true;
}

bool PbxService::Flood(std::string_view, const Words& words, std::string& reply) {
    Connection* connection = Target(words, reply);
    if (connection == nullptr) return false;
    StreamFaults& faults = connection->faults;
    if (!faults.flooding) {
        // What waits to be sent late would only follow the flood: it never leaves.
        faults.late.clear();
        faults.lateBytes = 0;
        faults.flooding = true;
        faults.floodLeft = kFloodBytes;
        Log("connection " + std::to_string(connection->id) + " -> flood");
    }
    reply = "ok connection " + std::to_string(connection->id) + ", " + std::to_string(kFloodBytes) +
            " bytes";
    return true;
}

bool PbxService::Hostile(std::string_view, const Words& words, std::string& reply) {
    std::string_view kind = words[0];
    size_t fallback = kDefaultCrBytes;
    size_t most = kMaxCrBytes;
    if (kind == "nest") {
        fallback = kDefaultNesting;
        most = kMaxNesting;
    } else if (kind == "attributes") {
        fallback = kDefaultAttributes;
        most = kMaxAttributes;
    }
    size_t amount = fallback;
    if (words.size() == 3 && (!ParseNumber(words[2], amount) || amount == 0 || amount > most)) {
        return Fail(reply, UsageOf(kind) + ", at most " + std::to_string(most));
    }
    if (words.size() > 3) return Usage(reply, kind);
    Words target(words.begin(), words.begin() + std::min<size_t>(words.size(), 2));
    Connection* connection = Target(target, reply);
    if (connection == nullptr) return false;

    std::string text;
    if (kind == "nest" || kind == "attributes") {
        // A state change of call 0 that is well-formed XML, so that only the depth or the
        // attributes make it hard to read.
        CallStateChangedMethod notice;
        notice.SetParams(0, kStateDisconnected);
        std::string plain;
        if (!notice.Write(plain)) return Fail(reply, "cannot write a notification");
        if (kind == "nest") {
            size_t open = plain.find("<param>");
            size_t close = plain.find("</param>", open);
            if (open == std::string::npos || close == std::string::npos) {
                return Fail(reply, "cannot write a notification");
            }
            open += std::string_view("<param>").size();
            std::string nested;
            nested.reserve(amount * 48);
            for (size_t i = 0; i < amount; ++i)
                nested += "<value><array><data>";
            nested += "<value><i4>0</i4></value>";
            for (size_t i = 0; i < amount; ++i)
                nested += "</data></array></value>";
            text = plain.substr(0, open) + nested + plain.substr(close);
        } else {
            size_t tag = plain.find("<methodCall");
            if (tag == std::string::npos) return Fail(reply, "cannot write a notification");
            tag += std::string_view("<methodCall").size();
            std::string attributes;
            attributes.reserve(amount * 12);
            for (size_t i = 0; i < amount; ++i)
                attributes += " a" + std::to_string(i) + "=\"1\"";
            text = plain.substr(0, tag) + attributes + plain.substr(tag);
        }
    } else if (kind == "cr-flood") {
        // Carriage returns that end as a blank message: each new CR may start a terminator.
        text.assign(amount, '\r');
        text += "\n\r\n";
    } else {
        // CR LF CR again and again: a terminator all but formed after every three bytes, never
        // completed; what the connection is sent next joins it.
        while (text.size() < amount)
            text += "\r\n\r";
        text.resize(amount);
        if (text.back() == '\n') text += '\r';
    }
    Log("connection " + std::to_string(connection->id) + " -> " + std::string(kind));
    QueueInPieces(*connection, text);
    reply = "ok connection " + std::to_string(connection->id) + ", " + std::to_string(text.size()) +
            " bytes";
    return true;
}

std::string DescribeCommands() {
    std::string text =
        "Commands, one per line; each prints one line, \"error: ...\" when it fails:\n";
    for (const auto& command : PbxService::Commands()) {
        text += "  " + std::string(command.name);
        if (!command.synopsis.empty()) text += " " + std::string(command.synopsis);
        text += "\n" + Wrap(command.help, 6, 86);
    }
    return text;
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
