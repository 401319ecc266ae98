// The simulator over loopback connections: authentication, answers in order and the service's own
// faults, offers answered among acknowledgements, the console's commands, misbehaving peers, and
// the simulator's start and stop.
#include "pbx/pbx_simulator.h"

#include <gtest/gtest.h>

#include "pbx_test_client.h"
#include "protocol/call_notifications.h"
#include "protocol/call_offer.h"

namespace voxtrel::pbx {
namespace {

using namespace testing;

TEST_F(PbxSimulatorTest, EveryRequestIsAnsweredInItsTurnWithItsIdOrItsFault) {
    options.timings.ring = std::chrono::seconds(60);
    Start();
    auto client = Connect();
    // Each connection authenticates on its own.
    EXPECT_EQ(Connect(false)->Call(*CreateCall(11, "pbx:1")).brief, "fault 7");
    auto refused = Make<SubscribeMethod>(9, "100");
    refused->subscriptionType->value = 2;
    auto invalid = CreateCall(5, "pbx:1");
    SetString(invalid->to, "nowhere");
    struct Case {
        std::unique_ptr<XmlRpcRequestMethod> request;
        std::string reply;
    } cases[] = {
        {CreateCall(11, "pbx:100"), "answer 11"},
        {Make<EnableDtmfDetectionMethod>(11, 1), "answer 11"},
        {Make<IncomingCallHandlingMethod>("100", 1), "answer 0"},
        {Make<IncomingCallHandlingMethod>(std::string(257, '1'), 1), "fault 9"},
        {Make<SubscribeMethod>(77, "100"), "answer 77"},
        {std::move(refused), "answer 9"},
        {Make<UnsubscribeMethod>(77), "answer 77"},
        {Make<UnsubscribeMethod>(77), "fault 6"},
        {std::move(invalid), "fault 2"},
        {Make<CallStateChangedMethod>(5, 3), "fault 8"},
        {Make<JoinCallsMethod>(11, 12), "fault 1"},
        {Make<UnjoinCallsMethod>(11, 11), "fault 4"},
        {Make<TransferCallMethod>(11, Address("pbx:300")), "fault 3"},
        {Make<CloseCallMethod>(11), "answer 11"},
        {Make<CloseCallMethod>(11), "fault 1"},
        {Make<SubscribeMethod>(88, "100"), "answer 88"},
    };
    std::string all;
    for (const Case& c : cases)
        all += Doc(*c.request);
    // An unknown method is still a request, answered in its turn.
    ASSERT_TRUE(
        client->Send(all + "<methodCall><methodName>hold</methodName></methodCall>\r\n\r\n"));
    for (const Case& c : cases) {
        Reply reply = client->Answer(*c.request);
        EXPECT_EQ(reply.brief, c.reply) << Doc(*c.request);
        if (auto* subscribed = dynamic_cast<SubscribeResponseMethod*>(reply.answer.get())) {
            EXPECT_EQ(subscribed->confirmed->value, c.reply != "answer 9");
            EXPECT_EQ(subscribed->errorCode->value, c.reply == "answer 9" ? 1 : 0);
        }
    }
    EXPECT_EQ(client->Answer(*cases[0].request).brief, "fault 8");
    // A call's first notification follows the answer that created it.
    EXPECT_EQ(client->transcript[1], "answer");
    EXPECT_EQ(client->transcript[2], "callstatechanged 11 1");
    EXPECT_EQ(client->Notice(), "callstatechanged 11 1");
    EXPECT_EQ(client->Notice(), "callstatechanged 11 6");
    ASSERT_TRUE(client->Sync());
    EXPECT_EQ(Command("counts"), "requests 20 accepted 0 declined 0 redirected 0 acknowledged 2");

    // Mail reaches the subscriber only.
    auto bystander = Connect();
    EXPECT_EQ(Command("mail 88 pbx:300 35 12"), "ok");
    EXPECT_EQ(client->Notice(), "mailarrived 88");
    EXPECT_EQ(Command("mail 89 pbx:300 35 12"), "error: unknown subscription 89");
    EXPECT_EQ(Command("mail 88 nobody 35 12"), "error: nobody is not a party address");
    EXPECT_EQ(bystander->Notice(kQuietWait), "nothing");
    // A fault queued for a muted method waits until it answers again; muted requests do nothing.
    EXPECT_EQ(client->Call(*CreateCall(72, "pbx:noanswer")).brief, "answer 72");
    EXPECT_EQ(Command("mute closecall"), "ok");
    EXPECT_EQ(Command("fault Services.CallProcessingService.CLOSECALL 9"), "ok");
    ASSERT_TRUE(client->Send(Doc(*Make<CloseCallMethod>(72))) && client->Sync());
    EXPECT_EQ(Command("unmute closecall"), "ok");
    EXPECT_EQ(client->Call(*Make<CloseCallMethod>(72)).brief, "fault 9");
    EXPECT_EQ(client->Call(*Make<CloseCallMethod>(72)).brief, "answer 72");
}

TEST_F(PbxSimulatorTest, OfferAnswersAreMatchedByContentAmongAcknowledgements) {
    Start();
    auto first = Connect();
    auto second = Connect();
    auto third = Connect();
    for (auto* client : {first.get(), second.get(), third.get()}) {
        auto handle = Make<IncomingCallHandlingMethod>(client == third.get() ? "200" : "100", 1);
        EXPECT_EQ(client->Call(*handle).brief, "answer 0");
    }
    EXPECT_EQ(Command("offers 0 100 sip:a@b"), "error: usage: offers COUNT EXT FROM");
    EXPECT_EQ(Command("offers 5001 100 sip:a@b"), "error: at most 5000 offers at once");
    EXPECT_EQ(Command("offers 3 300 sip:a@b"), "error: No connection has taken over extension 300");
    std::string id = Command("offer 100 pbx:555 42");
    EXPECT_EQ(second->Notice(), "process " + id + " tel:555 tel:100 42");

    // While the offer waits, notifications of another call come and are acknowledged first.
    EXPECT_EQ(first->Call(*CreateCall(61, "pbx:noanswer")).brief, "answer 61");
    EXPECT_EQ(first->Notice(), "process " + id + " tel:555 tel:100 42");
    EXPECT_EQ(first->Notice(), "callstatechanged 61 1");
    EXPECT_EQ(first->Notice(), "callstatechanged 61 2");
    CallArrivedResponseMethod accept, late, decline, redirect, away;
    accept.BuildAccept(std::stoull(id), "100", "Desk");
    ASSERT_TRUE(first->Send(Doc(accept)));
    EXPECT_EQ(first->Notice(), "callstatechanged " + id + " 3");
    // The late accept of the second connection finds the call taken.
    late.BuildAccept(std::stoull(id), "", "");
    ASSERT_TRUE(second->Send(Doc(late)) && second->Sync() && first->Sync());
    EXPECT_EQ(Command("status " + id),
              "call " + id + " state 3 connection 1 offered 0 joined 0 dtmf off");
    EXPECT_EQ(Command("status"), "connections 3 authenticated 3 calls 2 unacknowledged 0");

    // One decline leaves the offer to the other; a redirect moves it to the target's handlers,
    // or out of the service.
    id = Command("offer 100 sip:555@pbx.example");
    decline.BuildDecline(std::stoull(id), "busy here");
    ASSERT_TRUE(first->Send(Doc(decline)) && first->Sync());
    EXPECT_EQ(Command("status " + id),
              "call " + id + " state 2 connection 0 offered 1 joined 0 dtmf off");
    redirect.BuildRedirect(std::stoull(id), {Address("pbx:200")}, "", "");
    ASSERT_TRUE(second->Send(Doc(redirect)));
    EXPECT_EQ(third->Notice(), "process " + id + " sip:555@pbx.example tel:200 -");
    away.BuildRedirect(std::stoull(id), {Address("pstn:5551234")}, "", "");
    ASSERT_TRUE(third->Send(Doc(away)) && third->Sync());
    EXPECT_EQ(Command("status " + id), "error: unknown call " + id);
    EXPECT_EQ(Command("counts"), "requests 11 accepted 2 declined 1 redirected 2 acknowledged 3");
    // Many offers leave at once, in order, past the id in use.
    EXPECT_EQ(Command("offers 300 200 sip:a@b"), "ok 300 offered from call 3");
    for (int i = 3; i < 304; ++i) {
        if (i == 61) continue;
        ASSERT_EQ(third->Notice(), "process " + std::to_string(i) + " sip:a@b tel:200 -");
    }
}

TEST_F(PbxSimulatorTest, PeersThatBreakTheProtocolOrLagLoseOnlyTheirConnection) {
    options.maxMessageBytes = 64 * 1024;
    options.maxOutputBytes = 64 * 1024;
    options.maxConnections = 5;
    Start();
    auto good = Connect();
    auto slow = Connect();
    EXPECT_EQ(good->Call(*CreateCall(81, "pbx:noanswer")).brief, "answer 81");
    EXPECT_EQ(slow->Call(*CreateCall(91, "pbx:100")).brief, "answer 91");
    EXPECT_EQ(slow->Call(*Make<EnableDtmfDetectionMethod>(91, 1)).brief, "answer 91");
    // A number argument of the console takes effect.
    EXPECT_EQ(Command("state 91 3"), "ok");
    auto garbage = Connect();
    auto flood = Connect(false);
    auto sloppy = Connect();
    EXPECT_TRUE(Connect(false)->WaitClosed());
    ASSERT_TRUE(garbage->Send("hello there\r\n\r\n"));
    for (int i = 0; i < 8; ++i)
        flood->Send(std::string(16 * 1024, '<'));
    // Blank messages, answers that match nothing and answers that do not read are dropped.
    XmlRpcResponseMethod stray(kCallStateChanged);
    stray.SetId(999);
    CallArrivedResponseMethod unknownOffer;
    unknownOffer.BuildAccept(999, "", "");
    ASSERT_TRUE(sloppy->Send("\r\n\r\n  \r\n\r\n<methodResponse></methodResponse>\r\n\r\n" +
                             Doc(stray) + Doc(unknownOffer)));
    EXPECT_TRUE(sloppy->Sync());
    EXPECT_TRUE(garbage->WaitClosed());
    EXPECT_TRUE(flood->WaitClosed());
    // The slow client reads no more; its digits pile up until its connection goes, and its
    // call with it.
    bool dropped = false;
    for (int i = 0; i < 400 && !dropped; ++i)
        dropped = Command("dtmf 91 " + std::string(1000, '5')) != "ok";
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(slow->WaitClosed());
    EXPECT_TRUE(good->Sync());
    good.reset();
    ASSERT_TRUE(sloppy->Sync());
    for (int i = 0; i < 200 && Command("status").rfind("connections 1 ", 0) != 0; ++i)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(Command("status"), "connections 1 authenticated 1 calls 0 unacknowledged 0");
}

TEST_F(PbxSimulatorTest, CommandsAreLookedUpAndStartStopsAndStartsAgain) {
    std::string reply;
    EXPECT_FALSE(simulator.Command("status", reply));
    EXPECT_EQ(reply, "error: the simulator is not running");
    options.host = "no-such-host.invalid";
    EXPECT_FALSE(simulator.Start(options, &reply));
    EXPECT_EQ(reply, "cannot resolve no-such-host.invalid");
    options.host = "127.0.0.1";
    options.commands = {"mute subscribe", "mute hold"};
    EXPECT_FALSE(simulator.Start(options, &reply));
    EXPECT_EQ(reply, "mute hold: error: unknown method hold");
    options.commands.clear();
    Start();
    EXPECT_FALSE(simulator.Start(options, &reply));
    for (auto [line, expected] : std::initializer_list<std::pair<const char*, const char*>>{
             {"help",
              "commands: offer offers mail dtmf state fault fault-rate delay mute unmute "
              "chaos garbage flood nest attributes cr-flood crlfcr-flood close status "
              "counts help"},
             {"  ", "error: empty command"},
             {"launch", "error: unknown command launch (try help)"},
             {"offer 100", "error: usage: offer EXT FROM [ORIGCALLID]"},
             {"unmute", "error: usage: unmute METHOD"},
             {"state 5 x", "error: usage: state CALLID N"},
             {"dtmf 5", "error: usage: dtmf CALLID DIGITS"},
             {"status x", "error: usage: status [CALLID]"},
             {"fault createcall x", "error: usage: fault METHOD CODE TEXT"},
             {"fault hold 1 x", "error: unknown method hold"},
             {"chaos split maybe",
              "error: usage: chaos [close PERCENT | split on|off | "
              "slow-read BYTES_PER_SECOND | seed N | off]"},
             {"close", "ok 0 closed"}}) {
        EXPECT_EQ(Command(line), expected);
    }
    // Queued faults and their texts are bounded.
    EXPECT_EQ(Command("fault closecall 1 " + std::string(1025, 'x')),
              "error: too many faults queued");
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(Command("fault closecall 1 " + std::string(i == 0 ? 1024 : 0, 'x')), "ok");
    EXPECT_EQ(Command("fault closecall 1"), "error: too many faults queued");
    auto client = Connect();
    simulator.Stop();
    EXPECT_FALSE(simulator.Running());
    EXPECT_TRUE(client->WaitClosed());
    // The simulator's own thread closes the connections.
    EXPECT_NE(log.find("\nconnection 1 closed: service stopped\n"), std::string::npos) << log;
    Start();
    EXPECT_TRUE(Connect()->Sync());
}

}  // namespace
}  // namespace voxtrel::pbx
