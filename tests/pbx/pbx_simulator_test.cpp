// The simulator over loopback connections: answers and faults, offers, the console's commands,
// misbehaving peers, start and stop, and the faults that it injects on purpose.
#include "pbx/pbx_simulator.h"

#include <gtest/gtest.h>

#include <regex>

#include "pbx/pbx_service.h"
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
    EXPECT_EQ(Connect(false)->Call(*CreateCall(11, "pbx:1")), "fault 7");
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
        {Make<UnsubscribeMethod>(77), "answer 77"},
        {Make<UnsubscribeMethod>(77), "fault 6"},
        {std::move(invalid), "fault 2"},
        {Make<CallStateChangedMethod>(5, 3), "fault 8"},
        {Make<JoinCallsMethod>(11, 12), "fault 1"},
        {Make<UnjoinCallsMethod>(11, 11), "fault 4"},
        {Make<TransferCallMethod>(11, Address("pbx:300")), "fault 3"},
        {Make<CloseCallMethod>(11), "answer 11"},
        {Make<CloseCallMethod>(11), "fault 1"},
    };
    std::string all;
    for (const Case& c : cases)
        all += Doc(*c.request);
    // An unknown method is still a request, answered in its turn.
    ASSERT_TRUE(
        client->Send(all + "<methodCall><methodName>hold</methodName></methodCall>\r\n\r\n"));
    for (const Case& c : cases)
        EXPECT_EQ(client->Answer(), c.reply) << Doc(*c.request);
    EXPECT_EQ(client->Answer(), "fault 8");
    EXPECT_EQ(client->Notice(), "callstatechanged 11 1");
    EXPECT_EQ(client->Notice(), "callstatechanged 11 6");
    // A fault queued for a muted method waits until it answers again; muted requests do nothing.
    EXPECT_EQ(client->Call(*CreateCall(72, "pbx:noanswer")), "answer 72");
    EXPECT_EQ(Command("mute closecall"), "ok");
    EXPECT_EQ(Command("fault Services.CallProcessingService.CLOSECALL 9"), "ok");
    ASSERT_TRUE(client->Send(Doc(*Make<CloseCallMethod>(72))) && client->Sync());
    EXPECT_EQ(Command("unmute closecall"), "ok");
    EXPECT_EQ(client->Call(*Make<CloseCallMethod>(72)), "fault 9");
    EXPECT_EQ(client->Call(*Make<CloseCallMethod>(72)), "answer 72");
}

TEST_F(PbxSimulatorTest, OfferAnswersAreMatchedByContentAmongAcknowledgements) {
    Start();
    std::unique_ptr<PbxTestClient> first = Connect(), second = Connect(), third = Connect();
    for (auto* client : {first.get(), second.get(), third.get()}) {
        auto handle = Make<IncomingCallHandlingMethod>(client == third.get() ? "200" : "100", 1);
        EXPECT_EQ(client->Call(*handle), "answer 0");
    }
    std::string id = Command("offer 100 pbx:555 42");
    EXPECT_EQ(second->Notice(), "process " + id + " tel:555 tel:100 42");

    // While the offer waits, notifications of another call come and are acknowledged first.
    EXPECT_EQ(first->Call(*CreateCall(61, "pbx:noanswer")), "answer 61");
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

    // One decline leaves the offer to the other; a redirect moves it to the target's handlers,
    // or out of the service.
    id = Command("offer 100 sip:555@pbx.example");
    decline.BuildDecline(std::stoull(id), "busy here");
    ASSERT_TRUE(first->Send(Doc(decline)) && first->Sync());
    redirect.BuildRedirect(std::stoull(id), {Address("pbx:200")}, "", "");
    ASSERT_TRUE(second->Send(Doc(redirect)));
    EXPECT_EQ(third->Notice(), "process " + id + " sip:555@pbx.example tel:200 -");
    away.BuildRedirect(std::stoull(id), {Address("pstn:5551234")}, "", "");
    ASSERT_TRUE(third->Send(Doc(away)) && third->Sync());
    EXPECT_EQ(Command("status " + id), "error: unknown call " + id);
    EXPECT_EQ(Command("counts"), "requests 11 accepted 2 declined 1 redirected 2 acknowledged 3");
    // Many offers leave at once, in order, past the id in use.
    EXPECT_EQ(Command("offers 300 200 sip:a@b"), "ok 300 offered from call 3");
    for (int i = 0; i < 299; ++i)
        third->Notice();
    EXPECT_EQ(third->Notice(), "process 303 sip:a@b tel:200 -");
}

TEST_F(PbxSimulatorTest, PeersThatBreakTheProtocolOrLagLoseOnlyTheirConnection) {
    options.maxMessageBytes = 64 * 1024;
    options.maxOutputBytes = 64 * 1024;
    options.maxConnections = 5;
    Start();
    std::unique_ptr<PbxTestClient> good = Connect(), slow = Connect();
    EXPECT_EQ(slow->Call(*CreateCall(91, "pbx:100")), "answer 91");
    EXPECT_EQ(slow->Call(*Make<EnableDtmfDetectionMethod>(91, 1)), "answer 91");
    EXPECT_EQ(Command("state 91 3"), "ok");
    std::unique_ptr<PbxTestClient> garbage = Connect(), flood = Connect(false), sloppy = Connect();
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
    EXPECT_TRUE(garbage->WaitClosed());
    EXPECT_TRUE(flood->WaitClosed());
    // The slow client reads no more; its digits pile up until its connection goes, and its
    // call with it.
    for (int i = 0; i < 400 && Command("dtmf 91 " + std::string(1000, '5')) == "ok"; ++i) {
    }
    EXPECT_TRUE(slow->WaitClosed());
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
             {"chaos close",
              "error: usage: chaos [close PERCENT | split on|off | "
              "slow-read BYTES_PER_SECOND | seed N | off]"},
             {"garbage", "error: no connection"},
             {"garbage 9", "error: no connection 9"},
             {"mail 89 pbx:300 35 12", "error: unknown subscription 89"},
             {"mail 88 nobody 35 12", "error: nobody is not a party address"},
             {"offers 0 100 sip:a@b", "error: usage: offers COUNT EXT FROM"},
             {"offers 5001 100 sip:a@b", "error: at most 5000 offers at once"},
             {"offers 3 300 sip:a@b", "error: No connection has taken over extension 300"},
             {"delay closecall -1", "error: a delay is 0 to 86400000 ms"},
             {"delay closecall 86400001", "error: a delay is 0 to 86400000 ms"},
             {"delay closecall 86400000", "ok"},
             {"fault-rate closecall 101 3", "error: usage: fault-rate METHOD PERCENT CODE [TEXT]"},
             {"nest 1 20001", "error: usage: nest [CONNECTION [DEPTH]], at most 20000"},
             {"attributes 1 0", "error: usage: attributes [CONNECTION [COUNT]], at most 80000"},
             {"cr-flood 1 1000001", "error: usage: cr-flood [CONNECTION [BYTES]], at most 1000000"},
             {"crlfcr-flood 1 2 3", "error: usage: crlfcr-flood [CONNECTION [BYTES]]"}}) {
        EXPECT_EQ(Command(line), expected);
    }
    // Queued faults and their texts are bounded.
    EXPECT_EQ(Command("fault closecall 1 " + std::string(1025, 'x')),
              "error: too many faults queued");
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(Command("fault closecall 1 " + std::string(i == 0 ? 1024 : 0, 'x')), "ok");
    EXPECT_EQ(Command("fault closecall 1"), "error: too many faults queued");
    auto client = Connect();
    EXPECT_TRUE(client->Sync());
    simulator.Stop();
    EXPECT_TRUE(client->WaitClosed());
    // The simulator's own thread traces each request and closes the connections.
    EXPECT_TRUE(std::regex_search(
        log, std::regex("\nconnection 1 [-0-9T:.]+Z < [^\n]*incomingcallhandling</methodName>")))
        << log;
    EXPECT_NE(log.find("\nconnection 1 closed: service stopped\n"), std::string::npos) << log;
    Start();
    EXPECT_TRUE(Connect()->Sync());
}

TEST_F(PbxSimulatorTest, FaultRatesAndLateAnswersUntilChaosOffEndsThem) {
    options.seed = 42;
    options.commands = {"fault-rate createcall 100 33 Out of order: all day", "mute unsubscribe",
                        "chaos slow-read 100000"};
    Start();
    EXPECT_EQ(Command("chaos"), "seed 42 close 0 split off slow-read 100000");
    auto client = Connect();
    EXPECT_EQ(client->Call(*CreateCall(41, "pbx:100")), "fault 33");
    // A faulted request had no effect; a queued fault goes first and the rate goes on after it.
    ASSERT_EQ(Command("fault createcall 5 once"), "ok");
    EXPECT_EQ(client->Call(*CreateCall(41, "pbx:100")), "fault 5");
    EXPECT_EQ(client->Call(*CreateCall(41, "pbx:100")), "fault 33");
    ASSERT_EQ(Command("fault-rate createcall 0"), "ok");
    EXPECT_EQ(client->Call(*CreateCall(41, "pbx:100")), "answer 41");
    // At half the rate some are faulted and some not, the same ones again from the same seed.
    std::string seen[2];
    for (std::string& pattern : seen) {
        ASSERT_EQ(Command("chaos seed 5"), "ok");
        ASSERT_EQ(Command("fault-rate closecall 50 12"), "ok");
        for (int i = 0; i < 40; ++i)
            pattern += client->Call(*Make<CloseCallMethod>(99)) == "fault 12" ? 'F' : '.';
    }
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_TRUE(seen[0].find('F') != seen[0].npos && seen[0].find('.') != seen[0].npos) << seen[0];
    ASSERT_EQ(Command("chaos split on"), "ok");
    EXPECT_EQ(Command("chaos off"), "ok");
    EXPECT_EQ(Command("chaos"), "seed 5 close 0 split off slow-read 0");
    EXPECT_EQ(client->Call(*Make<CloseCallMethod>(99)), "fault 1");
    EXPECT_EQ(client->Call(*Make<UnsubscribeMethod>(0)), "fault 6");

    // Late answers keep their turn and hold back what follows.
    ASSERT_EQ(Command("delay closecall 1000"), "ok");
    ASSERT_EQ(Command("delay createcall 300"), "ok");
    ASSERT_TRUE(client->Send(Doc(*Make<CloseCallMethod>(5)) + Doc(*CreateCall(7, "pbx:100")) +
                             Doc(*Make<IncomingCallHandlingMethod>("100", 1))));
    EXPECT_EQ(client->Answer(800'000), "nothing");
    EXPECT_EQ(client->Answer(), "fault 1");
    EXPECT_EQ(client->Answer(), "answer 7");
    EXPECT_EQ(client->Answer(), "answer 0");
    ASSERT_EQ(Command("delay closecall 0"), "ok");
    EXPECT_EQ(client->Call(*Make<CloseCallMethod>(5)), "fault 1");
}

TEST_F(PbxSimulatorTest, GarbageFloodsHostileMessagesAndChaosSpoilOneConnectionsStream) {
    options.seed = 2;  // binary bytes that would hold a CR if the garbage let one in
    Start();
    auto client = Connect();
    std::string reply = Command("garbage");
    ASSERT_EQ(reply.rfind("ok connection 1, 46 bytes of text, ", 0), 0u) << reply;
    size_t binary = std::stoull(reply.substr(35));
    std::string text;
    ASSERT_TRUE(client->Raw(text));
    // The binary bytes, without CR, stand in front of the next message.
    ASSERT_TRUE(client->Send(Doc(*Make<CloseCallMethod>(3))) && client->Raw(text));
    EXPECT_EQ(text.find("<?xml"), binary);
    EXPECT_GT(text.find('\r'), binary);
    for (auto [command, size] : {std::pair{"nest 1 3000", 129239u},
                                 {"attributes 1 2000", 19141u},
                                 {"cr-flood 1 20000", 20003u}}) {
        EXPECT_EQ(Command(command), "ok connection 1, " + std::to_string(size) + " bytes");
        ASSERT_TRUE(client->Raw(text));
        EXPECT_EQ(text.size() + kMessageTerminator.size(), size) << command;
    }
    EXPECT_GT(client->partialReceives, 0u);
    // Without a terminator, CR LF CR joins the next message.
    EXPECT_EQ(Command("crlfcr-flood 1 3001"), "ok connection 1, 3001 bytes");
    EXPECT_FALSE(client->Raw(text, kQuietWait));
    ASSERT_TRUE(client->Send(Doc(*Make<CloseCallMethod>(5))) && client->Raw(text));
    EXPECT_EQ(text.substr(2997, 9), "\r\n\r\r<?xml");

    auto flooded = Connect();
    EXPECT_EQ(Command("flood 2"),
              "ok connection 2, " + std::to_string(PbxService::kFloodBytes) + " bytes");
    size_t before = flooded->receivedBytes;
    EXPECT_TRUE(flooded->WaitClosed());
    EXPECT_EQ(flooded->receivedBytes - before, PbxService::kFloodBytes);
    EXPECT_TRUE(client->Sync());

    client->partialReceives = 0;
    ASSERT_EQ(Command("chaos split on"), "ok");
    ASSERT_EQ(Command("chaos slow-read 2000"), "ok");
    std::string all;
    for (int i = 0; i < 16; ++i)
        all += Doc(*Make<CloseCallMethod>(5));
    ASSERT_TRUE(client->Send(all));
    // A quarter of a second's worth at once and 2000 bytes a second after that: far from all
    // the requests are read a third of a second later. The answers come in pieces.
    std::this_thread::sleep_for(milliseconds(300));
    size_t early = 0;
    while (early < 16 && client->Answer(10'000) != "nothing")
        ++early;
    EXPECT_LT(early, 16u);
    for (size_t i = early; i < 16; ++i)
        EXPECT_EQ(client->Answer(), "fault 1") << i;
    EXPECT_GT(client->partialReceives, 0u);

    // A random close after a read: the answer never leaves. One while writing: a piece of the
    // offer arrives, never a whole message.
    ASSERT_EQ(client->Call(*Make<IncomingCallHandlingMethod>("100", 1)), "answer 0");
    auto reader = Connect();
    ASSERT_EQ(Command("chaos off"), "ok");
    ASSERT_EQ(Command("chaos close 100"), "ok");
    EXPECT_EQ(reader->Call(*Make<CloseCallMethod>(5)), "nothing");
    before = client->receivedBytes;
    EXPECT_EQ(Command("offer 100 pbx:555"), "1");
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_GT(client->receivedBytes, before);
    EXPECT_EQ(client->Notice(kQuietWait), "nothing");
    EXPECT_EQ(Command("status"), "connections 0 authenticated 0 calls 0 unacknowledged 0");
    simulator.Stop();
    for (const char* kind : {"garbage", "nest", "attributes", "cr-flood", "crlfcr-flood"})
        EXPECT_NE(log.find("\nconnection 1 -> " + std::string(kind) + "\n"), std::string::npos);
    EXPECT_NE(log.find("\nconnection 2 -> flood\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace voxtrel::pbx
