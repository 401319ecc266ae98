// The call model on its own, with the time passed in: progress and its timings, transfers, joins,
// messages, digits, offers, limits, and calls that end with their connection.
#include "pbx/call_model.h"

#include <gtest/gtest.h>

#include <map>

#include "pbx_test_client.h"

namespace voxtrel::pbx {
namespace {

using std::to_string;
using std::chrono::milliseconds;
using testing::Address;
using Lines = std::vector<std::string>;

// Records what the model tells connections, one line per event, and plays the extensions'
// handlers.
class CallModelTest : public ::testing::Test, public CallModelEvents {
  protected:
    void CallStateChanged(ConnectionId to, uint64_t call, int32_t state) override {
        Add(to, "state " + to_string(call) + " " + to_string(state));
    }
    void MessagePlayed(ConnectionId to, uint64_t call) override {
        Add(to, "played " + to_string(call));
    }
    void DtmfDigit(ConnectionId to, uint64_t call, char digit) override {
        Add(to, "digit " + to_string(call) + " " + digit);
    }
    void CallOffered(ConnectionId to, uint64_t call, const PartyAddress& caller,
                     const PartyAddress& callee, uint64_t origCallId) override {
        Add(to, "offer " + to_string(call) + " " + caller.number + " " + callee.number + " " +
                    to_string(origCallId));
    }
    std::vector<ConnectionId> HandlersOf(const std::string& extension) override {
        return handlers[extension];
    }
    void Add(ConnectionId to, const std::string& text) {
        lines.push_back(to_string(to) + ": " + text);
    }

    // A call of connection 1 that has reached state 3 at now.
    void Connected(uint64_t callId) {
        ASSERT_TRUE(model.CreateCall(1, callId, Address("pbx:100"), now).Ok());
        now += milliseconds(1000);
        At(0);
        ASSERT_EQ(model.Find(callId)->state, kStateConnected);
    }
    // The events of the steps due ms after now, and of what was done since the last call.
    Lines At(int ms) {
        model.Advance(now + milliseconds(ms));
        return std::exchange(lines, {});
    }

    std::map<std::string, std::vector<ConnectionId>> handlers;
    Lines lines;
    CallModel model{
        *this, {milliseconds(200), milliseconds(800), milliseconds(400), milliseconds(500)}, 4};
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
};

TEST_F(CallModelTest, CreatedCallsProgressOnTimeToTheOutcomeTheirNumberChooses) {
    ASSERT_TRUE(model.CreateCall(1, 10, Address("pbx:100"), now).Ok() &&
                model.CreateCall(1, 1, Address("pbx:Busy"), now).Ok() &&
                model.CreateCall(1, 2, Address("sip:unreachable@pbx.example"), now).Ok() &&
                model.CreateCall(1, 3, Address("tel:noanswer"), now).Ok());
    EXPECT_EQ(model.NextDue(), now + milliseconds(200));
    EXPECT_EQ(At(199), (Lines{"1: state 10 1", "1: state 1 1", "1: state 2 1", "1: state 3 1"}));
    // A late pass still counts the next step from when the ringing was due.
    EXPECT_EQ(At(250), (Lines{"1: state 10 2", "1: state 1 7", "1: state 2 8", "1: state 3 2"}));
    EXPECT_TRUE(At(999).empty());
    EXPECT_EQ(At(1000), Lines{"1: state 10 3"});
    EXPECT_FALSE(model.NextDue().has_value());
    EXPECT_EQ(model.CloseCall(1, 1).fault, kFaultUnknownCall);
    EXPECT_EQ(model.CallCount(), 2u);
}

TEST_F(CallModelTest, RequestsActOnOwnCallsWithinTheLimitsAndTimersOnlyOnTheirCall) {
    Connected(5);
    EXPECT_EQ(model.CreateCall(2, 5, Address("pbx:1"), now).fault, kFaultCallIdInUse);
    EXPECT_EQ(model.CloseCall(2, 5).fault, kFaultUnknownCall);
    EXPECT_EQ(model.PlayMessage(2, 5, 1, now).fault, kFaultUnknownCall);
    EXPECT_EQ(model.EnableDtmfDetection(2, 5, true).fault, kFaultUnknownCall);
    handlers["100"] = {1};
    for (uint64_t id = 1; id <= 3; ++id)
        ASSERT_TRUE(model.CreateCall(1, id, Address("pbx:1"), now).Ok());
    EXPECT_EQ(model.CreateCall(1, 6, Address("pbx:1"), now).fault, kFaultLimit);
    uint64_t callId = 0;
    EXPECT_EQ(model.OfferCall("100", Address("pbx:1"), 0, callId).fault, kFaultLimit);
    // The timers of an ended call leave a new one of its id be.
    ASSERT_TRUE(model.CloseCall(1, 2).Ok() && model.CloseCall(1, 3).Ok());
    ASSERT_TRUE(model.CreateCall(1, 3, Address("pbx:1"), now + milliseconds(150)).Ok());
    EXPECT_EQ(At(200).back(), "1: state 1 2");
    EXPECT_EQ(At(350), Lines{"1: state 3 2"});
}

TEST_F(CallModelTest, MessagesPlayInTurnWithinALimitAndTransfersEndTheCallUnlessRefused) {
    ASSERT_TRUE(model.CreateCall(1, 7, Address("pbx:100"), now).Ok());
    EXPECT_EQ(model.PlayMessage(1, 7, 1, now).fault, kFaultWrongState);
    Connected(8);
    ASSERT_TRUE(model.PlayMessage(1, 7, 2, now).Ok() && model.PlayMessage(1, 7, -1, now).Ok());
    EXPECT_TRUE(At(999).empty());
    EXPECT_EQ(At(1000), Lines{"1: played 7"});
    EXPECT_EQ(At(1500), Lines{"1: played 7"});
    for (size_t i = 0; i < CallModel::kMaxQueuedPlays; ++i)
        ASSERT_TRUE(model.PlayMessage(1, 8, 1, now).Ok());
    EXPECT_EQ(model.PlayMessage(1, 8, 1, now).fault, kFaultLimit);
    // A transfer stops the messages; busy or unreachable targets give the call back.
    ASSERT_TRUE(model.TransferCall(1, 8, Address("pbx:busy"), now + milliseconds(100)).Ok());
    EXPECT_EQ(model.TransferCall(1, 8, Address("pbx:200"), now).fault, kFaultWrongState);
    EXPECT_EQ(At(100000), (Lines{"1: state 8 4", "1: state 8 3"}));
    ASSERT_TRUE(model.TransferCall(1, 8, Address("pbx:unreachable"), now).Ok());
    EXPECT_EQ(At(399), Lines{"1: state 8 4"});
    EXPECT_EQ(At(400), Lines{"1: state 8 3"});
    ASSERT_TRUE(model.TransferCall(1, 8, Address("pbx:noanswer"), now + milliseconds(400)).Ok());
    EXPECT_EQ(At(800), (Lines{"1: state 8 4", "1: state 8 6"}));
    EXPECT_EQ(model.Find(8), nullptr);
}

TEST_F(CallModelTest, JoinedCallsSplitAgainAPartnerOutlivesItsCallAndDigitsNeedDetection) {
    Connected(1);
    Connected(2);
    ASSERT_TRUE(model.CreateCall(1, 3, Address("pbx:noanswer"), now).Ok());
    EXPECT_EQ(model.JoinCalls(1, 1, 1).fault, kFaultWrongState);
    EXPECT_EQ(model.JoinCalls(1, 1, 3).fault, kFaultWrongState);
    EXPECT_EQ(model.JoinCalls(1, 3, 1).fault, kFaultWrongState);
    EXPECT_EQ(model.JoinCalls(1, 1, 9).fault, kFaultUnknownCall);
    EXPECT_EQ(model.UnjoinCalls(1, 1, 2).fault, kFaultNotJoined);
    At(200);
    ASSERT_TRUE(model.JoinCalls(1, 1, 2).Ok());
    EXPECT_EQ(At(0), (Lines{"1: state 1 5", "1: state 2 5"}));
    EXPECT_EQ(model.TransferCall(1, 1, Address("pbx:200"), now).fault, kFaultWrongState);
    ASSERT_TRUE(model.PlayMessage(1, 1, 1, now).Ok() && model.UnjoinCalls(1, 2, 1).Ok());
    EXPECT_EQ(At(0), (Lines{"1: state 2 3", "1: state 1 3"}));
    ASSERT_TRUE(model.JoinCalls(1, 2, 1).Ok());
    At(0);
    ASSERT_TRUE(model.CloseCall(1, 1).Ok());
    // The partner returns to 3; the message of the closed call never reports.
    EXPECT_EQ(At(100000), (Lines{"1: state 1 6", "1: state 2 3"}));
    EXPECT_EQ(model.Find(2)->joinedWith, 0u);
    // Digits reach connected calls with detection on only.
    ASSERT_TRUE(model.EnableDtmfDetection(1, 2, true).Ok());
    ASSERT_TRUE(model.EnableDtmfDetection(1, 3, true).Ok());
    EXPECT_EQ(model.SendDigits(3, "1").fault, kFaultWrongState);
    EXPECT_TRUE(model.SendDigits(2, "09*#AD").Ok());
    EXPECT_EQ(At(0), (Lines{"1: digit 2 0", "1: digit 2 9", "1: digit 2 *", "1: digit 2 #",
                            "1: digit 2 A", "1: digit 2 D"}));
    for (const char* bad : {"12x", "", "E", "/", ":", "@"})
        EXPECT_EQ(model.SendDigits(2, bad).fault, kFaultWrongState) << bad;
    EXPECT_EQ(model.SendDigits(99, "1").fault, kFaultUnknownCall);
    ASSERT_TRUE(model.EnableDtmfDetection(1, 2, false).Ok());
    EXPECT_FALSE(model.SendDigits(2, "1").Ok());
}

TEST_F(CallModelTest, OffersEndWhenAllDeclineOrTheirConnectionsCloseAndTheConsoleSetsAnyState) {
    handlers["100"] = {2, 3};
    Connected(1);
    uint64_t offered = 0;
    ASSERT_TRUE(model.OfferCall("100", Address("pbx:555"), 42, offered).Ok());
    ASSERT_TRUE(model.DeclineOffer(2, offered).Ok() && model.DeclineOffer(3, offered).Ok());
    EXPECT_EQ(model.Find(offered), nullptr);
    ASSERT_TRUE(model.OfferCall("100", Address("pbx:555"), 0, offered).Ok());
    ASSERT_TRUE(model.CreateCall(3, 8, Address("pbx:100"), now).Ok());
    model.ConnectionClosed(1);
    model.ConnectionClosed(2);
    EXPECT_EQ(model.Find(1), nullptr);
    EXPECT_EQ(model.Find(offered)->offeredTo.size(), 1u);
    // The console's state replaces the model's own progress; a final one ends the call.
    ASSERT_TRUE(model.SetState(8, 42).Ok());
    ASSERT_TRUE(model.SetState(8, kStateBusy).Ok());
    EXPECT_EQ(model.SetState(8, 3).fault, kFaultUnknownCall);
    model.ConnectionClosed(3);
    EXPECT_EQ(model.Find(offered), nullptr);
    EXPECT_EQ(At(100000),
              (Lines{"2: offer 2 555 100 42", "3: offer 2 555 100 42", "2: offer 3 555 100 0",
                     "3: offer 3 555 100 0", "3: state 8 1", "3: state 8 42", "3: state 8 7"}));
}

}  // namespace
}  // namespace voxtrel::pbx
