// The simulated PBX's calls: states and their timed progress, transfers, joins, messages, DTMF
// and offers. Connections are only ids behind CallModelEvents; the time is passed in.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/party_address.h"

namespace voxtrel::pbx {

using Clock = std::chrono::steady_clock;
using ConnectionId = uint64_t;

// The numbers that callstatechanged carries.
enum CallState : int32_t {
    kStateDialing = 1,
    kStateRinging = 2,
    kStateConnected = 3,
    kStateTransferring = 4,
    kStateJoined = 5,
    kStateDisconnected = 6,
    kStateBusy = 7,
    kStateFailed = 8,
};

// A call in a final state is gone from the model.
bool IsFinalState(int32_t state);

// The codes of the service's fault answers.
enum ServiceFault : int32_t {
    kFaultNone = 0,
    kFaultUnknownCall = 1,
    kFaultInvalidAddress = 2,
    kFaultWrongState = 3,
    kFaultNotJoined = 4,
    kFaultCallIdInUse = 5,
    kFaultUnknownSubscription = 6,
    kFaultNotAuthenticated = 7,
    kFaultUnknownMethod = 8,
    kFaultLimit = 9,
};

struct PbxTimings {
    std::chrono::milliseconds ring{200};      // dialing until ringing, busy or failed
    std::chrono::milliseconds answer{800};    // ringing until connected
    std::chrono::milliseconds transfer{400};  // transferring until the transfer's outcome
    std::chrono::milliseconds play{500};      // one play of a message
};

// How a called party behaves, chosen by its number (the sip user for sip addresses).
enum class Destination {
    kAnswers,
    kBusy,         // number "busy"
    kUnreachable,  // number "unreachable"
    kNoAnswer,     // number "noanswer": rings until the call is closed
};

Destination DestinationOf(const PartyAddress& party);

// The result of an operation: fault 0 on success, else a ServiceFault and its text.
struct Outcome {
    int32_t fault = kFaultNone;
    std::string text;

    bool Ok() const { return fault == kFaultNone; }
};

class CallModelEvents {
  public:
    virtual void CallStateChanged(ConnectionId connection, uint64_t callId, int32_t state) = 0;
    virtual void MessagePlayed(ConnectionId connection, uint64_t callId) = 0;
    virtual void DtmfDigit(ConnectionId connection, uint64_t callId, char digit) = 0;
    virtual void CallOffered(ConnectionId connection, uint64_t callId, const PartyAddress& caller,
                             const PartyAddress& callee, uint64_t origCallId) = 0;
    // The connections that have taken over an extension's incoming calls, in id order.
    virtual std::vector<ConnectionId> HandlersOf(const std::string& extension) = 0;

  protected:
    ~CallModelEvents() = default;
};

struct Call {
    uint64_t id = 0;
    // Unique over the model's life, so that timers of an ended call never act on a later call
    // that reuses its id.
    uint64_t serial = 0;
    int32_t state = 0;
    // Receives the call's notifications; 0 while the call is only offered.
    ConnectionId owner = 0;
    // The parties of an offered call; a created call keeps only how its target behaves.
    PartyAddress caller;
    PartyAddress callee;
    uint64_t origCallId = 0;
    Destination destination = Destination::kAnswers;
    Destination transferDestination = Destination::kAnswers;
    uint64_t joinedWith = 0;
    bool dtmfDetection = false;
    // Connections whose offer is unanswered.
    std::set<ConnectionId> offeredTo;
    // Bumped to void the pending state step, or the queued messages.
    uint32_t progressEpoch = 0;
    uint32_t playEpoch = 0;
    size_t queuedPlays = 0;
    Clock::time_point playsEnd{};
};

class CallModel {
  public:
    static constexpr size_t kDefaultMaxCalls = 10000;
    static constexpr size_t kMaxQueuedPlays = 64;

    CallModel(CallModelEvents& events, const PbxTimings& timings,
              size_t maxCalls = kDefaultMaxCalls);
    CallModel(const CallModel&) = delete;
    CallModel& operator=(const CallModel&) = delete;

    // A connection's requests; they act only on calls that the connection owns.
    Outcome CreateCall(ConnectionId connection, uint64_t callId, const PartyAddress& to,
                       Clock::time_point now);
    Outcome CloseCall(ConnectionId connection, uint64_t callId);
    Outcome TransferCall(ConnectionId connection, uint64_t callId, const PartyAddress& to,
                         Clock::time_point now);
    Outcome JoinCalls(ConnectionId connection, uint64_t callId, uint64_t otherId);
    Outcome UnjoinCalls(ConnectionId connection, uint64_t callId, uint64_t otherId);
    // A count below 1 plays once.
    Outcome PlayMessage(ConnectionId connection, uint64_t callId, int32_t playCount,
                        Clock::time_point now);
    Outcome EnableDtmfDetection(ConnectionId connection, uint64_t callId, bool on);

    // A new call offered to every handler of the extension; callId receives its id.
    Outcome OfferCall(const std::string& extension, const PartyAddress& caller, uint64_t origCallId,
                      uint64_t& callId);
    // A connection's answers to its offers.
    Outcome AcceptOffer(ConnectionId connection, uint64_t callId);
    Outcome DeclineOffer(ConnectionId connection, uint64_t callId);
    Outcome RedirectOffer(ConnectionId connection, uint64_t callId,
                          const std::vector<PartyAddress>& targets);

    // The console's view: any call.
    Outcome SendDigits(uint64_t callId, std::string_view digits);
    Outcome SetState(uint64_t callId, int32_t state);

    // The connection's calls end, its offers are withdrawn.
    void ConnectionClosed(ConnectionId connection);

    // Runs every timed step due at now, in time order.
    void Advance(Clock::time_point now);
    std::optional<Clock::time_point> NextDue() const;

    const Call* Find(uint64_t callId) const;
    size_t CallCount() const { return calls_.size(); }

  private:
    enum class TimerKind { kProgress, kTransferDone, kPlayDone };
    struct Timer {
        uint64_t callId;
        uint64_t serial;
        TimerKind kind;
        uint32_t epoch;
    };

    // The call when the connection owns it, or when its offer to the connection is unanswered;
    // else null with the fault in outcome.
    Call* Owned(ConnectionId connection, uint64_t callId, Outcome& outcome);
    Call* Offered(ConnectionId connection, uint64_t callId, Outcome& outcome);
    bool OwnedPair(ConnectionId connection, uint64_t callId, uint64_t otherId, Call*& call,
                   Call*& other, Outcome& outcome);
    // Joins two calls, or parts them, and tells their owners, the first call first.
    void Link(Call& call, Call& other, bool joined);
    Call& AddCall(uint64_t callId, int32_t state);
    void Schedule(const Call& call, TimerKind kind, Clock::time_point due);
    // Sets the state and tells the owner; a final state removes the call, and call with it.
    void ChangeState(Call& call, int32_t state);
    void RemoveCall(uint64_t callId);
    void CancelPlays(Call& call);
    void Offer(Call& call, const std::vector<ConnectionId>& handlers);
    void Progress(Call& call, Clock::time_point due);
    void FinishTransfer(Call& call);
    uint64_t NextServiceId();

    CallModelEvents& events_;
    PbxTimings timings_;
    size_t maxCalls_;
    std::map<uint64_t, Call> calls_;
    std::multimap<Clock::time_point, Timer> timers_;
    uint64_t nextSerial_ = 1;
    uint64_t nextServiceId_ = 1;
};

// The call model in words, with these timings: the part of the simulator's help about calls.
std::string DescribeCallModel(const PbxTimings& timings);

}  // namespace voxtrel::pbx
