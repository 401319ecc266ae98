// The call model on its own, with the time passed in: state progress and its timings, transfers,
// joins, messages, digits, offers and their answers, and calls that end with their connection.
#include "pbx/call_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace voxtrel::pbx {
namespace {

using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

PartyAddress Party(const std::string& text) {
    PartyAddress address;
    ResetPartyAddress(address);
    EXPECT_TRUE(ParsePartyAddress(text, address)) << text;
    return address;
}

// Records what the model tells connections, one line per event, and plays the extensions'
// handlers.
class RecordingEvents : public CallModelEvents {
  public:
    void CallStateChanged(ConnectionId connection, uint64_t callId, int32_t state) override {
        Add(connection, "state " + std::to_string(callId) + " " + std::to_string(state));
    }
    void MessagePlayed(ConnectionId connection, uint64_t callId) override {
        Add(connection, "played " + std::to_string(callId));
    }
    void DtmfDigit(ConnectionId connection, uint64_t callId, char digit) override {
        Add(connection, "digit " + std::to_string(callId) + " " + std::string(1, digit));
    }
    void CallOffered(ConnectionId connection, uint64_t callId, const PartyAddress& caller,
                     const PartyAddress& callee, uint64_t origCallId) override {
        Add(connection, "offer " + std::to_string(callId) + " " + caller.number + " " +
                            callee.number + " " + std::to_string(origCallId));
    }
    std::vector<ConnectionId> HandlersOf(const std::string& extension) override {
        auto found = handlers.find(extension);
        return found == handlers.end() ? std::vector<ConnectionId>{} : found->second;
    }

    // The lines since the last call.
    Lines Take() {
        Lines taken;
        taken.swap(lines);
        return taken;
    }

    std::map<std::string, std::vector<ConnectionId>> handlers;

  private:
    void Add(ConnectionId connection, const std::string& text) {
        lines.push_back(std::to_string(connection) + ": " + text);
    }
    Lines lines;
};

class CallModelTest : public ::testing::Test {
  protected:
    static PbxTimings Timings() {
        PbxTimings timings;
        timings.ring = milliseconds(200);
        timings.answer = milliseconds(800);
        timings.transfer = milliseconds(400);
        timings.play = milliseconds(500);
        return timings;
    }

    // A call of connection 1 that has reached state 3.
    void Connected(uint64_t callId) {
        ASSERT_TRUE(model.CreateCall(1, callId, Party("pbx:100"), now).Ok());
        now += milliseconds(1000);
        model.Advance(now);
        ASSERT_EQ(model.Find(callId)->state, kStateConnected);
        events.Take();
    }

    RecordingEvents events;
    CallModel model{events, Timings(), 4};
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
};

TEST_F(CallModelTest, ACreatedCallDialsRingsAndConnectsOnTime) {
    ASSERT_TRUE(model.CreateCall(1, 10, Party("pbx:100"), now).Ok());
    EXPECT_EQ(events.Take(), Lines{"1: state 10 1"});
    EXPECT_EQ(model.NextDue(), now + milliseconds(200));
    model.Advance(now + milliseconds(199));
    EXPECT_TRUE(events.Take().empty());
    // A late pass still counts the next step from when the ringing was due.
    model.Advance(now + milliseconds(250));
    EXPECT_EQ(events.Take(), Lines{"1: state 10 2"});
    model.Advance(now + milliseconds(999));
    EXPECT_TRUE(events.Take().empty());
    model.Advance(now + milliseconds(1000));
    EXPECT_EQ(events.Take(), Lines{"1: state 10 3"});
    EXPECT_FALSE(model.NextDue().has_value());
}

TEST_F(CallModelTest, TheCalledNumberDecidesTheOutcome) {
    ASSERT_TRUE(model.CreateCall(1, 1, Party("pbx:Busy"), now).Ok());
    ASSERT_TRUE(model.CreateCall(1, 2, Party("sip:unreachable@pbx.example"), now).Ok());
    ASSERT_TRUE(model.CreateCall(1, 3, Party("tel:noanswer"), now).Ok());
    events.Take();
    model.Advance(now + std::chrono::hours(1));
    EXPECT_EQ(events.Take(), (Lines{"1: state 1 7", "1: state 2 8", "1: state 3 2"}));
    EXPECT_EQ(model.Find(1), nullptr);
    EXPECT_EQ(model.Find(2), nullptr);
    EXPECT_EQ(model.Find(3)->state, kStateRinging);
    EXPECT_EQ(model.CloseCall(1, 1).fault, kFaultUnknownCall);
}

TEST_F(CallModelTest, RequestsActOnlyOnTheConnectionsOwnCalls) {
    Connected(5);
    EXPECT_EQ(model.CreateCall(2, 5, Party("pbx:1"), now).fault, kFaultCallIdInUse);
    EXPECT_EQ(model.CloseCall(2, 5).fault, kFaultUnknownCall);
    EXPECT_EQ(model.PlayMessage(2, 5, 1, now).fault, kFaultUnknownCall);
    EXPECT_EQ(model.EnableDtmfDetection(2, 5, true).fault, kFaultUnknownCall);
    EXPECT_TRUE(events.Take().empty());
    EXPECT_TRUE(model.CloseCall(1, 5).Ok());
    EXPECT_EQ(events.Take(), Lines{"1: state 5 6"});
}

TEST_F(CallModelTest, TimersOfAnEndedCallDoNotTouchALaterCallWithItsId) {
    ASSERT_TRUE(model.CreateCall(1, 5, Party("pbx:100"), now).Ok());
    ASSERT_TRUE(model.CloseCall(1, 5).Ok());
    ASSERT_TRUE(model.CreateCall(1, 5, Party("pbx:100"), now + milliseconds(150)).Ok());
    events.Take();
    model.Advance(now + milliseconds(200));
    EXPECT_TRUE(events.Take().empty());
    model.Advance(now + milliseconds(350));
    EXPECT_EQ(events.Take(), Lines{"1: state 5 2"});
}

TEST_F(CallModelTest, MessagesPlayOneAfterTheOtherAndStopWithTheCall) {
    EXPECT_EQ(model.CreateCall(1, 7, Party("pbx:100"), now).Ok(), true);
    EXPECT_EQ(model.PlayMessage(1, 7, 1, now).fault, kFaultWrongState);
    now += milliseconds(1000);
    model.Advance(now);
    events.Take();
    ASSERT_TRUE(model.PlayMessage(1, 7, 2, now).Ok());
    ASSERT_TRUE(model.PlayMessage(1, 7, -1, now).Ok());
    model.Advance(now + milliseconds(999));
    EXPECT_TRUE(events.Take().empty());
    model.Advance(now + milliseconds(1000));
    EXPECT_EQ(events.Take(), Lines{"1: played 7"});
    model.Advance(now + milliseconds(1500));
    EXPECT_EQ(events.Take(), Lines{"1: played 7"});

    ASSERT_TRUE(model.PlayMessage(1, 7, 1, now + milliseconds(2000)).Ok());
    ASSERT_TRUE(model.TransferCall(1, 7, Party("pbx:busy"), now + milliseconds(2100)).Ok());
    model.Advance(now + milliseconds(5000));
    EXPECT_EQ(events.Take(), (Lines{"1: state 7 4", "1: state 7 3"}));
}

TEST_F(CallModelTest, QueuedMessagesAreLimited) {
    Connected(7);
    for (size_t i = 0; i < CallModel::kMaxQueuedPlays; ++i) {
        ASSERT_TRUE(model.PlayMessage(1, 7, 1, now).Ok());
    }
    EXPECT_EQ(model.PlayMessage(1, 7, 1, now).fault, kFaultLimit);
}

TEST_F(CallModelTest, TransfersEndTheCallUnlessTheTargetCannotTakeIt) {
    Connected(1);
    ASSERT_TRUE(model.TransferCall(1, 1, Party("pbx:unreachable"), now).Ok());
    EXPECT_EQ(model.TransferCall(1, 1, Party("pbx:200"), now).fault, kFaultWrongState);
    model.Advance(now + milliseconds(400));
    EXPECT_EQ(events.Take(), (Lines{"1: state 1 4", "1: state 1 3"}));
    ASSERT_TRUE(model.TransferCall(1, 1, Party("pbx:200"), now + milliseconds(400)).Ok());
    model.Advance(now + milliseconds(800));
    EXPECT_EQ(events.Take(), (Lines{"1: state 1 4", "1: state 1 6"}));
    EXPECT_EQ(model.Find(1), nullptr);
}

TEST_F(CallModelTest, JoinedCallsSplitAgainAndAPartnerOutlivesItsCall) {
    Connected(1);
    Connected(2);
    ASSERT_TRUE(model.CreateCall(1, 3, Party("pbx:noanswer"), now).Ok());
    model.Advance(now + milliseconds(200));
    events.Take();
    EXPECT_EQ(model.JoinCalls(1, 1, 1).fault, kFaultWrongState);
    EXPECT_EQ(model.JoinCalls(1, 1, 3).fault, kFaultWrongState);
    EXPECT_EQ(model.JoinCalls(1, 1, 9).fault, kFaultUnknownCall);
    EXPECT_EQ(model.UnjoinCalls(1, 1, 2).fault, kFaultNotJoined);
    ASSERT_TRUE(model.JoinCalls(1, 1, 2).Ok());
    EXPECT_EQ(events.Take(), (Lines{"1: state 1 5", "1: state 2 5"}));
    EXPECT_EQ(model.TransferCall(1, 1, Party("pbx:200"), now).fault, kFaultWrongState);
    ASSERT_TRUE(model.PlayMessage(1, 1, 1, now).Ok());
    ASSERT_TRUE(model.UnjoinCalls(1, 2, 1).Ok());
    EXPECT_EQ(events.Take(), (Lines{"1: state 2 3", "1: state 1 3"}));
    ASSERT_TRUE(model.JoinCalls(1, 2, 1).Ok());
    events.Take();
    ASSERT_TRUE(model.CloseCall(1, 1).Ok());
    EXPECT_EQ(events.Take(), (Lines{"1: state 1 6", "1: state 2 3"}));
    EXPECT_EQ(model.Find(2)->joinedWith, 0u);
    // The message of the closed call never reports.
    model.Advance(now + std::chrono::hours(1));
    EXPECT_TRUE(events.Take().empty());
}

TEST_F(CallModelTest, DigitsReachOnlyConnectedCallsWithDetectionOn) {
    ASSERT_TRUE(model.CreateCall(1, 4, Party("pbx:100"), now).Ok());
    ASSERT_TRUE(model.EnableDtmfDetection(1, 4, true).Ok());
    EXPECT_FALSE(model.SendDigits(4, "1").Ok());
    model.Advance(now + milliseconds(1000));
    events.Take();
    EXPECT_TRUE(model.SendDigits(4, "1*#D").Ok());
    EXPECT_EQ(events.Take(),
              (Lines{"1: digit 4 1", "1: digit 4 *", "1: digit 4 #", "1: digit 4 D"}));
    EXPECT_FALSE(model.SendDigits(4, "12x").Ok());
    EXPECT_FALSE(model.SendDigits(4, "").Ok());
    EXPECT_FALSE(model.SendDigits(99, "1").Ok());
    ASSERT_TRUE(model.EnableDtmfDetection(1, 4, false).Ok());
    EXPECT_FALSE(model.SendDigits(4, "1").Ok());
    EXPECT_TRUE(events.Take().empty());
}

TEST_F(CallModelTest, TheFirstAcceptTakesAnOfferedCall) {
    events.handlers["100"] = {1, 2};
    uint64_t callId = 0;
    ASSERT_TRUE(model.OfferCall("100", Party("pbx:555"), 42, callId).Ok());
    EXPECT_EQ(callId, 1u);
    EXPECT_EQ(events.Take(), (Lines{"1: offer 1 555 100 42", "2: offer 1 555 100 42"}));
    EXPECT_EQ(model.CloseCall(1, 1).fault, kFaultUnknownCall);
    ASSERT_TRUE(model.AcceptOffer(2, 1).Ok());
    EXPECT_EQ(events.Take(), Lines{"2: state 1 3"});
    EXPECT_FALSE(model.AcceptOffer(1, 1).Ok());
    EXPECT_FALSE(model.DeclineOffer(1, 1).Ok());
    EXPECT_TRUE(events.Take().empty());
    EXPECT_EQ(model.Find(1)->owner, 2u);
    EXPECT_TRUE(model.CloseCall(2, 1).Ok());
}

TEST_F(CallModelTest, OfferedCallsEndWhenEveryoneDeclinesAndMoveOnWhenRedirected) {
    events.handlers["100"] = {1, 2};
    events.handlers["200"] = {3};
    uint64_t declined = 0;
    ASSERT_TRUE(model.OfferCall("100", Party("pbx:555"), 0, declined).Ok());
    ASSERT_TRUE(model.DeclineOffer(1, declined).Ok());
    ASSERT_NE(model.Find(declined), nullptr);
    ASSERT_TRUE(model.DeclineOffer(2, declined).Ok());
    EXPECT_EQ(model.Find(declined), nullptr);

    uint64_t redirected = 0;
    ASSERT_TRUE(model.OfferCall("100", Party("pbx:555"), 0, redirected).Ok());
    EXPECT_NE(redirected, declined);
    events.Take();
    ASSERT_TRUE(model.RedirectOffer(1, redirected, {Party("pbx:200")}).Ok());
    EXPECT_EQ(events.Take(), Lines{"3: offer " + std::to_string(redirected) + " 555 200 0"});
    // The offer to connection 2 went with the redirect.
    EXPECT_FALSE(model.AcceptOffer(2, redirected).Ok());
    ASSERT_TRUE(model.RedirectOffer(3, redirected, {Party("pstn:5551234")}).Ok());
    EXPECT_EQ(model.Find(redirected), nullptr);
}

TEST_F(CallModelTest, AConnectionsCallsAndOffersEndWithIt) {
    events.handlers["100"] = {2, 3};
    Connected(1);
    uint64_t offered = 0;
    ASSERT_TRUE(model.OfferCall("100", Party("pbx:555"), 0, offered).Ok());
    events.Take();
    model.ConnectionClosed(1);
    EXPECT_EQ(model.Find(1), nullptr);
    model.ConnectionClosed(2);
    ASSERT_NE(model.Find(offered), nullptr);
    EXPECT_EQ(model.Find(offered)->offeredTo.size(), 1u);
    model.ConnectionClosed(3);
    EXPECT_EQ(model.Find(offered), nullptr);
    EXPECT_TRUE(events.Take().empty());
}

TEST_F(CallModelTest, TheConsoleSetsAnyStateAndAFinalOneEndsTheCall) {
    ASSERT_TRUE(model.CreateCall(1, 8, Party("pbx:100"), now).Ok());
    ASSERT_TRUE(model.SetState(8, 42).Ok());
    // The console's state replaces the model's own progress.
    model.Advance(now + std::chrono::hours(1));
    EXPECT_EQ(events.Take(), (Lines{"1: state 8 1", "1: state 8 42"}));
    ASSERT_TRUE(model.SetState(8, kStateBusy).Ok());
    EXPECT_EQ(model.Find(8), nullptr);
    EXPECT_FALSE(model.SetState(8, 3).Ok());
}

TEST_F(CallModelTest, CallsAreLimited) {
    events.handlers["100"] = {1};
    for (uint64_t id = 1; id <= 4; ++id)
        ASSERT_TRUE(model.CreateCall(1, id, Party("pbx:1"), now).Ok());
    EXPECT_EQ(model.CreateCall(1, 5, Party("pbx:1"), now).fault, kFaultLimit);
    uint64_t callId = 0;
    EXPECT_EQ(model.OfferCall("100", Party("pbx:1"), 0, callId).fault, kFaultLimit);
    // Offered ids skip the ids in use.
    ASSERT_TRUE(model.CloseCall(1, 4).Ok());
    ASSERT_TRUE(model.OfferCall("100", Party("pbx:1"), 0, callId).Ok());
    EXPECT_EQ(callId, 4u);
}

}  // namespace
}  // namespace voxtrel::pbx
