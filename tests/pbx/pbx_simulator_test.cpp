// The simulator over loopback connections: authentication, answers in order and the service's own
// faults, offers answered among acknowledgements, the console's commands, misbehaving peers, and
// the simulator's start and stop.
#include "pbx/pbx_simulator.h"

#include <gtest/gtest.h>

#include <thread>

#include "pbx_test_client.h"
#include "protocol/authenticate.h"
#include "protocol/call_notifications.h"
#include "protocol/call_offer.h"
#include "protocol/subscription.h"

namespace voxtrel::pbx {
namespace {

using namespace testing;

TEST_F(PbxSimulatorTest, EveryRequestIsAnsweredInItsTurnWithItsIdOrItsFault) {
    options.timings.ring = std::chrono::seconds(60);
    Start();
    auto client = Authenticated();
    // Each connection authenticates on its own.
    auto stranger = Connect();
    EXPECT_FALSE(stranger->Authenticate("demo", "wrong"));
    EXPECT_TRUE(Fault(stranger->Call(*CreateCall(11, "pbx:1")), kFaultNotAuthenticated));
    auto refused = Make<SubscribeMethod>(9, "100");
    refused->subscriptionType->value = 2;
    auto invalid = CreateCall(5, "pbx:1");
    SetString(invalid->to, "nowhere");
    struct Case {
        std::unique_ptr<XmlRpcRequestMethod> request;
        int32_t fault;
        uint64_t id;
    } cases[] = {
        {CreateCall(11, "pbx:100"), 0, 11},
        {Make<EnableDtmfDetectionMethod>(11, 1), 0, 11},
        {Make<IncomingCallHandlingMethod>("100", 1), 0, 0},
        {Make<IncomingCallHandlingMethod>(std::string(257, '1'), 1), kFaultLimit, 0},
        {Make<SubscribeMethod>(77, "100"), 0, 77},
        {std::move(refused), 0, 9},
        {Make<UnsubscribeMethod>(77), 0, 77},
        {Make<UnsubscribeMethod>(77), kFaultUnknownSubscription, 0},
        {std::move(invalid), kFaultInvalidAddress, 0},
        {Make<CallStateChangedMethod>(5, 3), kFaultUnknownMethod, 0},
        {Make<JoinCallsMethod>(11, 12), kFaultUnknownCall, 0},
        {Make<UnjoinCallsMethod>(11, 11), kFaultNotJoined, 0},
        {Make<TransferCallMethod>(11, Address("pbx:300")), kFaultWrongState, 0},
        {Make<CloseCallMethod>(11), 0, 11},
        {Make<CloseCallMethod>(11), kFaultUnknownCall, 0},
    };
    std::string all;
    for (const Case& c : cases)
        ASSERT_TRUE(c.request->Write(all));
    // An unknown method is still a request, answered in its turn.
    all += "<methodCall><methodName>hold</methodName></methodCall>\r\n\r\n";
    ASSERT_TRUE(client->SendText(all));
    for (const Case& c : cases) {
        Reply reply = client->ReadReply(*c.request);
        EXPECT_TRUE(c.fault ? Fault(reply, c.fault) : Plain(reply, c.id)) << Describe(*c.request);
        if (auto* subscribed = dynamic_cast<SubscribeResponseMethod*>(reply.answer.get())) {
            EXPECT_EQ(subscribed->confirmed->value, c.id == 77);
            EXPECT_EQ(subscribed->errorCode->value, c.id == 77 ? 0 : 1);
        }
    }
    EXPECT_TRUE(Fault(client->ReadReply(*cases[0].request), kFaultUnknownMethod));
    // A call's first notification follows the answer that created it.
    EXPECT_EQ(client->transcript[1], "answer");
    EXPECT_EQ(client->transcript[2], "callstatechanged 11 1");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 11 1");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 11 6");
    ASSERT_TRUE(client->Sync());
    EXPECT_EQ(Command("counts"), "requests 20 accepted 0 declined 0 redirected 0 acknowledged 2");
}

TEST_F(PbxSimulatorTest, OfferAnswersAreMatchedByContentAmongAcknowledgements) {
    Start();
    auto first = Authenticated();
    auto second = Authenticated();
    auto third = Authenticated();
    for (auto* client : {first.get(), second.get(), third.get()}) {
        EXPECT_TRUE(Plain(client->Call(*Make<IncomingCallHandlingMethod>(
                              client == third.get() ? "200" : "100", 1)),
                          0));
    }
    std::string id = Command("offer 100 pbx:555 42");
    auto request = second->NextRequest();
    auto* offer = dynamic_cast<CallArrivedMethod*>(request.get());
    ASSERT_NE(offer, nullptr);
    EXPECT_EQ(FormatId(offer->GetId()), id);
    for (auto [name, value] :
         {std::pair{"From", "tel:555"}, {"To", "tel:100"}, {"OrigCallID", "42"}})
        EXPECT_EQ(GetMemberAs<XmlRpcValueString>(*offer->dataParam, name, kXmlRpcString)->value,
                  value);

    // While the offer waits, notifications of another call come and are acknowledged first.
    first->autoAcknowledge = false;
    EXPECT_TRUE(Plain(first->Call(*CreateCall(61, "pbx:noanswer")), 61));
    auto offered = first->NextRequest();
    auto dialing = first->NextRequest();
    auto ringing = first->NextRequest();
    ASSERT_TRUE(dialing && offered && ringing);
    ASSERT_TRUE(first->Acknowledge(*dialing) && first->Acknowledge(*ringing));
    CallArrivedResponseMethod accept, late, decline, redirect, away;
    accept.BuildAccept(std::stoull(id), "100", "Desk");
    ASSERT_TRUE(first->Send(accept));
    EXPECT_EQ(first->NextNotice(), "callstatechanged " + id + " 3");
    // The late accept of the second connection finds the call taken.
    late.BuildAccept(std::stoull(id), "", "");
    ASSERT_TRUE(second->Send(late) && second->Sync() && first->Sync());
    EXPECT_EQ(Command("status " + id),
              "call " + id + " state 3 connection 1 offered 0 joined 0 dtmf off");
    EXPECT_EQ(Command("status"), "connections 3 authenticated 3 calls 2 unacknowledged 1");

    // One decline leaves the offer to the other; a redirect moves it to the target's handlers,
    // or out of the service.
    id = Command("offer 100 sip:555@pbx.example");
    decline.BuildDecline(std::stoull(id), "busy here");
    ASSERT_TRUE(first->Send(decline) && first->Sync());
    EXPECT_EQ(Command("status " + id),
              "call " + id + " state 2 connection 0 offered 1 joined 0 dtmf off");
    redirect.BuildRedirect(std::stoull(id), {Address("pbx:200")}, "", "");
    ASSERT_TRUE(second->Send(redirect));
    EXPECT_EQ(third->NextNotice(), "process " + id);
    away.BuildRedirect(std::stoull(id), {Address("pstn:5551234")}, "", "");
    ASSERT_TRUE(third->Send(away) && third->Sync());
    EXPECT_EQ(Command("status " + id), "error: unknown call " + id);
    EXPECT_EQ(Command("counts"), "requests 11 accepted 2 declined 1 redirected 2 acknowledged 2");
}

TEST_F(PbxSimulatorTest, ConsoleCommandsReachTheirConnectionsOnly) {
    Start();
    auto client = Authenticated();
    auto bystander = Authenticated();
    ASSERT_TRUE(client->Call(*Make<SubscribeMethod>(88, "100")).received);
    EXPECT_EQ(Command("mail 88 pbx:300 35 12"), "ok");
    EXPECT_EQ(client->NextNotice(), "mailarrived 88");
    EXPECT_EQ(Command("mail 89 pbx:300 35 12"), "error: unknown subscription 89");
    EXPECT_EQ(Command("mail 88 nobody 35 12"), "error: nobody is not a party address");
    EXPECT_EQ(bystander->NextNotice(kQuietWait), "nothing");
    // A fault queued for a muted method waits until it answers again; muted requests do nothing.
    EXPECT_TRUE(Plain(client->Call(*CreateCall(72, "pbx:noanswer")), 72));
    EXPECT_EQ(Command("mute closecall"), "ok");
    EXPECT_EQ(Command("fault Services.CallProcessingService.CLOSECALL 9"), "ok");
    ASSERT_TRUE(client->Send(*Make<CloseCallMethod>(72)) && client->Sync());
    EXPECT_EQ(Command("unmute closecall"), "ok");
    EXPECT_TRUE(Fault(client->Call(*Make<CloseCallMethod>(72)), 9));
    EXPECT_TRUE(Plain(client->Call(*Make<CloseCallMethod>(72)), 72));
}

TEST_F(PbxSimulatorTest, PeersThatBreakTheProtocolOrLagLoseOnlyTheirConnection) {
    options.maxMessageBytes = 64 * 1024;
    options.maxOutputBytes = 64 * 1024;
    options.maxConnections = 5;
    Start();
    auto good = Authenticated();
    auto slow = Authenticated();
    EXPECT_TRUE(Plain(good->Call(*CreateCall(81, "pbx:100")), 81));
    EXPECT_TRUE(Plain(slow->Call(*CreateCall(91, "pbx:100")), 91));
    EXPECT_TRUE(Plain(slow->Call(*Make<EnableDtmfDetectionMethod>(91, 1)), 91));
    WaitForState(*slow, 91, kStateConnected);
    auto garbage = Authenticated();
    auto flood = Connect();
    auto sloppy = Authenticated();
    EXPECT_TRUE(Connect()->WaitClosed());
    ASSERT_TRUE(garbage->SendText("hello there\r\n\r\n"));
    for (int i = 0; i < 8; ++i)
        flood->SendText(std::string(16 * 1024, '<'));
    // Blank messages, answers that match nothing and answers that do not read are dropped.
    XmlRpcResponseMethod stray(kCallStateChanged);
    stray.SetId(999);
    CallArrivedResponseMethod unknownOffer;
    unknownOffer.BuildAccept(999, "", "");
    ASSERT_TRUE(sloppy->SendText("\r\n\r\n  \r\n\r\n<methodResponse></methodResponse>\r\n\r\n") &&
                sloppy->Send(stray) && sloppy->Send(unknownOffer));
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
    WaitForState(*good, 81, kStateConnected);
    good->Disconnect();
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
    auto client = Authenticated();
    simulator.Stop();
    EXPECT_FALSE(simulator.Running());
    EXPECT_TRUE(client->WaitClosed());
    Start();
    EXPECT_TRUE(Authenticated()->Sync());
}

}  // namespace
}  // namespace voxtrel::pbx
