// Call states and their timed progress; every notification goes to the call's owner through the
// model's events, at the moment the state changes.
#include "pbx/call_model.h"

#include <algorithm>

#include "xml/xml_navigator.h"

namespace voxtrel::pbx {

namespace {

bool Talking(const Call& call) {
    return call.state == kStateConnected || call.state == kStateJoined;
}

Outcome Fault(int32_t code, std::string text) {
    return Outcome{code, std::move(text)};
}

bool IsDtmfSymbol(char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D');
}

}  // namespace

bool IsFinalState(int32_t state) {
    return state == kStateDisconnected || state == kStateBusy || state == kStateFailed;
}

Destination DestinationOf(const PartyAddress& party) {
    const char* number = party.number.c_str();
    if (EqualsIgnoreCase(number, "busy")) return Destination::kBusy;
    if (EqualsIgnoreCase(number, "unreachable")) return Destination::kUnreachable;
    if (EqualsIgnoreCase(number, "noanswer")) return Destination::kNoAnswer;
    return Destination::kAnswers;
}

CallModel::CallModel(CallModelEvents& events, const PbxTimings& timings, size_t maxCalls)
    : events_(events), timings_(timings), maxCalls_(maxCalls) {}

const Call* CallModel::Find(uint64_t callId) const {
    auto found = calls_.find(callId);
    return found == calls_.end() ? nullptr : &found->second;
}

Call* CallModel::Owned(ConnectionId connection, uint64_t callId, Outcome& outcome) {
    auto found = calls_.find(callId);
    // Another connection's call is as unknown here as a call that never was.
    if (found == calls_.end() || found->second.owner != connection) {
        outcome = Fault(kFaultUnknownCall, "Unknown call " + std::to_string(callId));
        return nullptr;
    }
    return &found->second;
}

Call& CallModel::AddCall(uint64_t callId, int32_t state) {
    Call& call = calls_[callId];
    call.id = callId;
    call.serial = nextSerial_++;
    call.state = state;
    return call;
}

void CallModel::Schedule(const Call& call, TimerKind kind, Clock::time_point due) {
    uint32_t epoch = kind == TimerKind::kPlayDone ? call.playEpoch : call.progressEpoch;
    timers_.emplace(due, Timer{call.id, call.serial, kind, epoch});
}

void CallModel::ChangeState(Call& call, int32_t state) {
    call.state = state;
    ++call.progressEpoch;
    if (!Talking(call)) CancelPlays(call);
    if (call.owner != 0) events_.CallStateChanged(call.owner, call.id, state);
    if (IsFinalState(state)) RemoveCall(call.id);
}

void CallModel::CancelPlays(Call& call) {
    ++call.playEpoch;
    call.queuedPlays = 0;
    call.playsEnd = Clock::time_point{};
}

void CallModel::RemoveCall(uint64_t callId) {
    auto found = calls_.find(callId);
    if (found == calls_.end()) return;
    uint64_t serial = found->second.serial;
    uint64_t partner = found->second.joinedWith;
    calls_.erase(found);
    std::erase_if(timers_, [serial](const auto& entry) { return entry.second.serial == serial; });
    auto other = calls_.find(partner);
    if (partner != 0 && other != calls_.end() && other->second.joinedWith == callId) {
        other->second.joinedWith = 0;
        ChangeState(other->second, kStateConnected);
    }
}

Outcome CallModel::CreateCall(ConnectionId connection, uint64_t callId, const PartyAddress& to,
                              Clock::time_point now) {
    if (calls_.count(callId) != 0) {
        return Fault(kFaultCallIdInUse, "Call id " + std::to_string(callId) + " is in use");
    }
    if (calls_.size() >= maxCalls_) return Fault(kFaultLimit, "Too many calls");
    Call& call = AddCall(callId, kStateDialing);
    call.owner = connection;
    call.destination = DestinationOf(to);
    events_.CallStateChanged(connection, callId, kStateDialing);
    Schedule(call, TimerKind::kProgress, now + timings_.ring);
    return {};
}

Outcome CallModel::CloseCall(ConnectionId connection, uint64_t callId) {
    Outcome outcome;
    if (Call* call = Owned(connection, callId, outcome)) ChangeState(*call, kStateDisconnected);
    return outcome;
}

Outcome CallModel::TransferCall(ConnectionId connection, uint64_t callId, const PartyAddress& to,
                                Clock::time_point now) {
    Outcome outcome;
    Call* call = Owned(connection, callId, outcome);
    if (call == nullptr) return outcome;
    if (call->state != kStateConnected) {
        return Fault(kFaultWrongState, "Call " + std::to_string(callId) + " is not connected");
    }
    call->transferDestination = DestinationOf(to);
    ChangeState(*call, kStateTransferring);
    Schedule(*call, TimerKind::kTransferDone, now + timings_.transfer);
    return outcome;
}

bool CallModel::OwnedPair(ConnectionId connection, uint64_t callId, uint64_t otherId, Call*& call,
                          Call*& other, Outcome& outcome) {
    call = Owned(connection, callId, outcome);
    other = call != nullptr ? Owned(connection, otherId, outcome) : nullptr;
    return other != nullptr;
}

void CallModel::Link(Call& call, Call& other, bool joined) {
    call.joinedWith = joined ? other.id : 0;
    other.joinedWith = joined ? call.id : 0;
    int32_t state = joined ? kStateJoined : kStateConnected;
    ChangeState(call, state);
    ChangeState(other, state);
}

Outcome CallModel::JoinCalls(ConnectionId connection, uint64_t callId, uint64_t otherId) {
    Outcome outcome;
    Call* call = nullptr;
    Call* other = nullptr;
    if (!OwnedPair(connection, callId, otherId, call, other, outcome)) return outcome;
    if (call == other) return Fault(kFaultWrongState, "A call cannot join itself");
    if (call->state != kStateConnected || other->state != kStateConnected) {
        return Fault(kFaultWrongState, "Both calls must be connected");
    }
    Link(*call, *other, true);
    return outcome;
}

Outcome CallModel::UnjoinCalls(ConnectionId connection, uint64_t callId, uint64_t otherId) {
    Outcome outcome;
    Call* call = nullptr;
    Call* other = nullptr;
    if (!OwnedPair(connection, callId, otherId, call, other, outcome)) return outcome;
    if (call->joinedWith != otherId || other->joinedWith != callId) {
        return Fault(kFaultNotJoined, "The calls are not joined");
    }
    Link(*call, *other, false);
    return outcome;
}

Outcome CallModel::PlayMessage(ConnectionId connection, uint64_t callId, int32_t playCount,
                               Clock::time_point now) {
    Outcome outcome;
    Call* call = Owned(connection, callId, outcome);
    if (call == nullptr) return outcome;
    if (!Talking(*call)) {
        return Fault(kFaultWrongState, "Call " + std::to_string(callId) + " is not connected");
    }
    if (call->queuedPlays >= kMaxQueuedPlays) return Fault(kFaultLimit, "Too many messages");
    // Messages play one after the other.
    auto start = std::max(now, call->playsEnd);
    call->playsEnd = start + timings_.play * std::max(playCount, 1);
    ++call->queuedPlays;
    Schedule(*call, TimerKind::kPlayDone, call->playsEnd);
    return outcome;
}

Outcome CallModel::EnableDtmfDetection(ConnectionId connection, uint64_t callId, bool on) {
    Outcome outcome;
    if (Call* call = Owned(connection, callId, outcome)) call->dtmfDetection = on;
    return outcome;
}

uint64_t CallModel::NextServiceId() {
    while (nextServiceId_ == 0 || calls_.count(nextServiceId_) != 0)
        ++nextServiceId_;
    return nextServiceId_++;
}

void CallModel::Offer(Call& call, const std::vector<ConnectionId>& handlers) {
    call.offeredTo.insert(handlers.begin(), handlers.end());
    for (ConnectionId handler : handlers) {
        events_.CallOffered(handler, call.id, call.caller, call.callee, call.origCallId);
    }
}

Outcome CallModel::OfferCall(const std::string& extension, const PartyAddress& caller,
                             uint64_t origCallId, uint64_t& callId) {
    std::vector<ConnectionId> handlers = events_.HandlersOf(extension);
    if (handlers.empty()) {
        return Fault(kFaultUnknownCall, "No connection has taken over extension " + extension);
    }
    if (calls_.size() >= maxCalls_) return Fault(kFaultLimit, "Too many calls");
    callId = NextServiceId();
    Call& call = AddCall(callId, kStateRinging);
    call.caller = caller;
    ResetPartyAddress(call.callee);
    call.callee.number = extension;
    call.origCallId = origCallId;
    Offer(call, handlers);
    return {};
}

Call* CallModel::Offered(ConnectionId connection, uint64_t callId, Outcome& outcome) {
    auto found = calls_.find(callId);
    if (found == calls_.end() || found->second.offeredTo.count(connection) == 0) {
        outcome = Fault(kFaultUnknownCall, "No offer of call " + std::to_string(callId));
        return nullptr;
    }
    return &found->second;
}

Outcome CallModel::AcceptOffer(ConnectionId connection, uint64_t callId) {
    Outcome outcome;
    Call* call = Offered(connection, callId, outcome);
    if (call == nullptr) return outcome;
    call->offeredTo.clear();
    call->owner = connection;
    ChangeState(*call, kStateConnected);
    return outcome;
}

Outcome CallModel::DeclineOffer(ConnectionId connection, uint64_t callId) {
    Outcome outcome;
    Call* call = Offered(connection, callId, outcome);
    if (call == nullptr) return outcome;
    call->offeredTo.erase(connection);
    // The caller gives up once nobody is left to answer.
    if (call->offeredTo.empty()) RemoveCall(callId);
    return outcome;
}

Outcome CallModel::RedirectOffer(ConnectionId connection, uint64_t callId,
                                 const std::vector<PartyAddress>& targets) {
    Outcome outcome;
    Call* call = Offered(connection, callId, outcome);
    if (call == nullptr) return outcome;
    call->offeredTo.clear();
    std::vector<ConnectionId> handlers;
    if (!targets.empty()) handlers = events_.HandlersOf(targets.front().number);
    if (handlers.empty()) {
        // Forwarded out of this service.
        RemoveCall(callId);
        return outcome;
    }
    call->callee = targets.front();
    call->callee.kind &= ~kMessageTaker;
    Offer(*call, handlers);
    return outcome;
}

Outcome CallModel::SendDigits(uint64_t callId, std::string_view digits) {
    auto found = calls_.find(callId);
    if (found == calls_.end()) return Fault(kFaultUnknownCall, "Unknown call");
    const Call& call = found->second;
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsDtmfSymbol)) {
        return Fault(kFaultWrongState, "Digits are 0-9, *, #, A-D");
    }
    if (call.owner == 0 || !Talking(call)) {
        return Fault(kFaultWrongState, "The call is not connected");
    }
    if (!call.dtmfDetection) return Fault(kFaultWrongState, "DTMF detection is off");
    for (char digit : digits)
        events_.DtmfDigit(call.owner, callId, digit);
    return {};
}

Outcome CallModel::SetState(uint64_t callId, int32_t state) {
    auto found = calls_.find(callId);
    if (found == calls_.end()) return Fault(kFaultUnknownCall, "Unknown call");
    ChangeState(found->second, state);
    return {};
}

void CallModel::ConnectionClosed(ConnectionId connection) {
    std::vector<uint64_t> ending;
    for (auto& [id, call] : calls_) {
        call.offeredTo.erase(connection);
        if (call.owner == connection || (call.owner == 0 && call.offeredTo.empty())) {
            // Nobody hears about these calls any more; partners of other connections do.
            call.owner = 0;
            ending.push_back(id);
        }
    }
    for (uint64_t id : ending)
        RemoveCall(id);
}

void CallModel::Progress(Call& call, Clock::time_point due) {
    if (call.state == kStateDialing) {
        switch (call.destination) {
            case Destination::kBusy:
                ChangeState(call, kStateBusy);
                return;
            case Destination::kUnreachable:
                ChangeState(call, kStateFailed);
                return;
            case Destination::kNoAnswer:
                ChangeState(call, kStateRinging);
                return;
            case Destination::kAnswers:
                ChangeState(call, kStateRinging);
                Schedule(call, TimerKind::kProgress, due + timings_.answer);
                return;
        }
    } else if (call.state == kStateRinging) {
        ChangeState(call, kStateConnected);
    }
}

void CallModel::FinishTransfer(Call& call) {
    bool reached = call.transferDestination == Destination::kAnswers ||
                   call.transferDestination == Destination::kNoAnswer;
    ChangeState(call, reached ? kStateDisconnected : kStateConnected);
}

void CallModel::Advance(Clock::time_point now) {
    while (!timers_.empty() && timers_.begin()->first <= now) {
        auto [due, timer] = *timers_.begin();
        timers_.erase(timers_.begin());
        auto found = calls_.find(timer.callId);
        if (found == calls_.end() || found->second.serial != timer.serial) continue;
        Call& call = found->second;
        switch (timer.kind) {
            case TimerKind::kProgress:
                if (timer.epoch == call.progressEpoch) Progress(call, due);
                break;
            case TimerKind::kTransferDone:
                if (timer.epoch == call.progressEpoch) FinishTransfer(call);
                break;
            case TimerKind::kPlayDone:
                if (timer.epoch != call.playEpoch) break;
                --call.queuedPlays;
                if (call.owner != 0) events_.MessagePlayed(call.owner, call.id);
                break;
        }
    }
}

std::optional<Clock::time_point> CallModel::NextDue() const {
    if (timers_.empty()) return std::nullopt;
    return timers_.begin()->first;
}

std::string DescribeCallModel(const PbxTimings& timings) {
    auto ms = [](std::chrono::milliseconds time) { return std::to_string(time.count()) + " ms"; };
    std::string text;
    text += "Call states, as callstatechanged carries them:\n";
    text += "  1 dialing        createcall was accepted; the service places the call\n";
    text += "  2 ringing        the called party rings, " + ms(timings.ring) + " after dialing\n";
    text += "  3 connected      the called party answered, " + ms(timings.answer) +
            " after ringing; also an\n"
            "                   accepted offer, an unjoined call, a failed transfer\n";
    text += "  4 transferring   transfercall was accepted (connected calls only); " +
            ms(timings.transfer) +
            "\n"
            "                   later the call ends with 6, or returns to 3 when the target is\n"
            "                   busy or unreachable\n";
    text += "  5 joined         joincalls on two connected calls of one connection\n";
    text +=
        "  6 disconnected   final: closecall or a completed transfer; a call joined to\n"
        "                   the ended one returns to 3\n";
    text += "  7 busy           final: the called number is \"busy\", " + ms(timings.ring) +
            " after dialing\n";
    text += "  8 failed         final: the called number is \"unreachable\", " + ms(timings.ring) +
            " after dialing\n";
    text +=
        "A called number \"noanswer\" rings until the call is closed; any other number\n"
        "answers. The number is the party address's number, or the user of a sip address.\n";
    text += "playmessage (calls in state 3 or 5): messageplayed follows " + ms(timings.play) +
            " times the\n"
            "play count (at least one play) after the call's earlier messages have played;\n"
            "leaving states 3 and 5 silences the queued messages.\n";
    text +=
        "enabledtmfdetection: the console's dtmf command reaches a call only while its\n"
        "detection is on.\n";
    text +=
        "Offered calls ring (state 2, without a notification) at every connection that has\n"
        "taken over the extension. The first accept takes the call and gets state 3; a\n"
        "decline drops the call once no offer is left; a redirect offers it to the\n"
        "connections that have taken over the first target's number, or lets it leave.\n"
        "Ids of offered calls count up from 1; createcall names its own id, and an id in\n"
        "use is refused. Requests act only on the connection's own calls; a connection's\n"
        "calls end with it, silently.\n";
    return text;
}

}  // namespace voxtrel::pbx
