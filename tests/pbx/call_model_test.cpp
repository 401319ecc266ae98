// The call model on its own, with the time passed in: state progress and its timings, transfers,
// joins, messages, digits, offers and their answers, limits, and calls that end with their
// connection.
#include "pbx/call_model.h"

#include <gtest/gtest.h>

#include <map>
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
    void CallStateChanged(ConnectionId to, uint64_t callId, int32_t state) override {
        Add(to, "state " + std::to_string(callId) + " " + std::to_string(state));
    }
    void MessagePlayed(ConnectionId to, uint64_t callId) override {
        Add(to, "played " + std::to_string(callId));
    }
    void DtmfDigit(ConnectionId to, uint64_t callId, char digit) override {
        Add(to, "digit " + std::to_string(callId) + " " + std::string(1, digit));
    }
    void CallOffered(ConnectionId to, uint64_t callId, const PartyAddress& caller,
                     const PartyAddress& callee, uint64_t origCallId) override {
        Add(to, "offer " + std::to_string(callId) + " " + caller.number + " " + callee.number +
                    " " + std::to_string(origCallId));
    }
    std::vector<ConnectionId> HandlersOf(const std::string& extension) override {
        return handlers[extension];
    }
    // The lines since the last call.
    Lines Take() { return std::exchange(lines, {}); }

    std::map<std::string, std::vector<ConnectionId>> handlers;
    Lines lines;

  private:
    void Add(ConnectionId to, const std::string& text) {
        lines.push_back(std::to_string(to) + ": " + text);
    }
};

class CallModelTest : public ::testing::Test {
  protected:
    // A call of connection 1 that has reached state 3 at now.
    void Connected(uint64_t callId) {
        ASSERT_TRUE(model.CreateCall(1, callId, Party("pbx:100"), now).Ok());
        now += milliseconds(1000);
        model.Advance(now);
        ASSERT_EQ(model.Find(callId)->state, kStateConnected);
        events.Take();
    }
    Lines At(int ms) {
        model.Advance(now + milliseconds(ms));
        return events.Take();
    }

    RecordingEvents events;
    CallModel model{
        events, {milliseconds(200), milliseconds(800), milliseconds(400), milliseconds(500)}, 4};
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
};

TEST_F(CallModelTest, CreatedCallsProgressOnTimeToTheOutcomeTheirNumberChooses) {
    for (auto [id, to] : {std::pair<uint64_t, const char*>{10, "pbx:100"},
                          {1, "pbx:Busy"},
                          {2, "sip:unreachable@pbx.example"},
                          {3, "tel:noanswer"}}) {
        ASSERT_TRUE(model.CreateCall(1, id, Party(to), now).Ok());
    }
    EXPECT_EQ(events.Take(),
              (Lines{"1: state 10 1", "1: state 1 1", "1: state 2 1", "1: state 3 1"}));
    EXPECT_EQ(model.NextDue(), now + milliseconds(200));
    EXPECT_TRUE(At(199).empty());
    // A late pass still counts the next step from when the ringing was due.
    EXPECT_EQ(At(250), (Lines{"1: state 10 2", "1: state 1 7", "1: state 2 8", "1: state 3 2"}));
    EXPECT_TRUE(At(999).empty());
    EXPECT_EQ(At(1000), Lines{"1: state 10 3"});
    EXPECT_FALSE(model.NextDue().has_value());
    EXPECT_EQ(model.Find(1), nullptr);
    EXPECT_EQ(model.Find(3)->state, kStateRinging);
    EXPECT_EQ(model.CloseCall(1, 1).fault, kFaultUnknownCall);
}

TEST_F(CallModelTest, RequestsActOnOwnCallsWithinTheLimits) {
    Connected(5);
    EXPECT_EQ(model.CreateCall(2, 5, Party("pbx:1"), now).fault, kFaultCallIdInUse);
    EXPECT_EQ(model.CloseCall(2, 5).fault, kFaultUnknownCall);
    EXPECT_EQ(model.PlayMessage(2, 5, 1, now).fault, kFaultUnknownCall);
    EXPECT_EQ(model.EnableDtmfDetection(2, 5, true).fault, kFaultUnknownCall);
    EXPECT_TRUE(events.Take().empty());
    events.handlers["100"] = {1};
    for (uint64_t id = 1; id <= 3; ++id)
        ASSERT_TRUE(model.CreateCall(1, id, Party("pbx:1"), now).Ok());
    EXPECT_EQ(model.CreateCall(1, 6, Party("pbx:1"), now).fault, kFaultLimit);
    uint64_t callId = 0;
    EXPECT_EQ(model.OfferCall("100", Party("pbx:1"), 0, callId).fault, kFaultLimit);
    // Offered ids skip the ids in use.
    ASSERT_TRUE(model.CloseCall(1, 5).Ok());
    ASSERT_TRUE(model.OfferCall("100", Party("pbx:1"), 0, callId).Ok());
    EXPECT_EQ(callId, 4u);
}

TEST_F(CallModelTest, TimersOfAnEndedCallDoNotTouchALaterCallWithItsId) {
    ASSERT_TRUE(model.CreateCall(1, 5, Party("pbx:100"), now).Ok());
    ASSERT_TRUE(model.CloseCall(1, 5).Ok());
    ASSERT_TRUE(model.CreateCall(1, 5, Party("pbx:100"), now + milliseconds(150)).Ok());
    events.Take();
    EXPECT_TRUE(At(200).empty());
    EXPECT_EQ(At(350), Lines{"1: state 5 2"});
}

TEST_F(CallModelTest, MessagesPlayOneAfterTheOtherWithinALimitAndStopWithTheCall) {
    ASSERT_TRUE(model.CreateCall(1, 7, Party("pbx:100"), now).Ok());
    EXPECT_EQ(model.PlayMessage(1, 7, 1, now).fault, kFaultWrongState);
    Connected(8);
    ASSERT_TRUE(model.PlayMessage(1, 7, 2, now).Ok());
    ASSERT_TRUE(model.PlayMessage(1, 7, -1, now).Ok());
    EXPECT_TRUE(At(999).empty());
    EXPECT_EQ(At(1000), Lines{"1: played 7"});
    EXPECT_EQ(At(1500), Lines{"1: played 7"});
    for (size_t i = 0; i < CallModel::kMaxQueuedPlays; ++i)
        ASSERT_TRUE(model.PlayMessage(1, 8, 1, now).Ok());
    EXPECT_EQ(model.PlayMessage(1, 8, 1, now).fault, kFaultLimit);
    ASSERT_TRUE(model.TransferCall(1, 8, Party("pbx:busy"), now + milliseconds(100)).Ok());
    EXPECT_EQ(At(100000), (Lines{"1: state 8 4", "1: state 8 3"}));
}

TEST_F(CallModelTest, TransfersEndTheCallUnlessTheTargetCannotTakeIt) {
    Connected(1);
    ASSERT_TRUE(model.TransferCall(1, 1, Party("pbx:unreachable"), now).Ok());
    EXPECT_EQ(model.TransferCall(1, 1, Party("pbx:200"), now).fault, kFaultWrongState);
    EXPECT_EQ(At(399), Lines{"1: state 1 4"});
    EXPECT_EQ(At(400), Lines{"1: state 1 3"});
    ASSERT_TRUE(model.TransferCall(1, 1, Party("pbx:noanswer"), now + milliseconds(400)).Ok());
    EXPECT_EQ(At(800), (Lines{"1: state 1 4", "1: state 1 6"}));
    EXPECT_EQ(model.Find(1), nullptr);
}

TEST_F(CallModelTest, JoinedCallsSplitAgainAndAPartnerOutlivesItsCall) {
    Connected(1);
    Connected(2);
    ASSERT_TRUE(model.CreateCall(1, 3, Party("pbx:noanswer"), now).Ok());
    At(200);
    EXPECT_EQ(model.JoinCalls(1, 1, 1).fault, kFaultWrongState);
    EXPECT_EQ(model.JoinCalls(1, 1, 3).fault, kFaultWrongState);
    EXPECT_EQ(model.JoinCalls(1, 3, 1).fault, kFaultWrongState);
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
    EXPECT_TRUE(At(100000).empty());
}

TEST_F(CallModelTest, DigitsReachOnlyConnectedCallsWithDetectionOn) {
    ASSERT_TRUE(model.CreateCall(1, 4, Party("pbx:100"), now).Ok());
    ASSERT_TRUE(model.EnableDtmfDetection(1, 4, true).Ok());
    EXPECT_EQ(model.SendDigits(4, "1").fault, kFaultWrongState);
    At(1000);
    EXPECT_TRUE(model.SendDigits(4, "09*#AD").Ok());
    EXPECT_EQ(events.Take(), (Lines{"1: digit 4 0", "1: digit 4 9", "1: digit 4 *", "1: digit 4 #",
                                    "1: digit 4 A", "1: digit 4 D"}));
    for (const char* bad : {"12x", "", "E", "/", ":", "@"})
        EXPECT_EQ(model.SendDigits(4, bad).fault, kFaultWrongState) << bad;
    EXPECT_EQ(model.SendDigits(99, "1").fault, kFaultUnknownCall);
    ASSERT_TRUE(model.EnableDtmfDetection(1, 4, false).Ok());
    EXPECT_FALSE(model.SendDigits(4, "1").Ok());
    EXPECT_TRUE(events.Take().empty());
}

TEST_F(CallModelTest, OffersGoToTheFirstAcceptEndWhenAllDeclineAndMoveWhenRedirected) {
    events.handlers = {{"100", {1, 2}}, {"200", {3}}};
    uint64_t id = 0;
    ASSERT_TRUE(model.OfferCall("100", Party("pbx:555"), 42, id).Ok());
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(events.Take(), (Lines{"1: offer 1 555 100 42", "2: offer 1 555 100 42"}));
    EXPECT_EQ(model.CloseCall(1, 1).fault, kFaultUnknownCall);
    ASSERT_TRUE(model.AcceptOffer(2, 1).Ok());
    EXPECT_EQ(events.Take(), Lines{"2: state 1 3"});
    EXPECT_FALSE(model.AcceptOffer(1, 1).Ok());
    EXPECT_FALSE(model.DeclineOffer(1, 1).Ok());
    EXPECT_EQ(model.Find(1)->owner, 2u);

    ASSERT_TRUE(model.OfferCall("100", Party("pbx:555"), 0, id).Ok());
    ASSERT_TRUE(model.DeclineOffer(1, id).Ok());
    ASSERT_NE(model.Find(id), nullptr);
    ASSERT_TRUE(model.DeclineOffer(2, id).Ok());
    EXPECT_EQ(model.Find(id), nullptr);

    ASSERT_TRUE(model.OfferCall("100", Party("pbx:555"), 0, id).Ok());
    events.Take();
    ASSERT_TRUE(model.RedirectOffer(1, id, {Party("pbx:200")}).Ok());
    EXPECT_EQ(events.Take(), Lines{"3: offer " + std::to_string(id) + " 555 200 0"});
    EXPECT_FALSE(model.AcceptOffer(2, id).Ok());
    ASSERT_TRUE(model.RedirectOffer(3, id, {Party("pstn:5551234")}).Ok());
    EXPECT_EQ(model.Find(id), nullptr);
    EXPECT_TRUE(events.Take().empty());
}

TEST_F(CallModelTest, AConnectionsCallsAndOffersEndWithItAndTheConsoleSetsAnyState) {
    events.handlers["100"] = {2, 3};
    Connected(1);
    uint64_t offered = 0;
    ASSERT_TRUE(model.OfferCall("100", Party("pbx:555"), 0, offered).Ok());
    ASSERT_TRUE(model.CreateCall(3, 8, Party("pbx:100"), now).Ok());
    events.Take();
    model.ConnectionClosed(1);
    EXPECT_EQ(model.Find(1), nullptr);
    model.ConnectionClosed(2);
    EXPECT_EQ(model.Find(offered)->offeredTo.size(), 1u);
    ASSERT_TRUE(model.SetState(8, 42).Ok());
    // The console's state replaces the model's own progress; a final one ends the call.
    EXPECT_EQ(At(100000), Lines{"3: state 8 42"});
    ASSERT_TRUE(model.SetState(8, kStateBusy).Ok());
    EXPECT_EQ(model.Find(8), nullptr);
    EXPECT_EQ(model.SetState(8, 3).fault, kFaultUnknownCall);
    model.ConnectionClosed(3);
    EXPECT_EQ(model.Find(offered), nullptr);
    EXPECT_EQ(events.Take(), Lines{"3: state 8 7"});
}

}  // namespace
}  // namespace voxtrel::pbx
