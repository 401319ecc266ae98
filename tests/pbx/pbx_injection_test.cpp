// The faults that the simulator injects on purpose, as a raw client sees them: late answers in
// order, fault rates, silence, random closes, split writes, garbage, floods, slow reading and
// hostile messages; and the counts and offer bursts that let a soak check what arrived.
#include <gtest/gtest.h>

#include <charconv>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pbx/pbx_service.h"
#include "pbx_fixture.h"
#include "protocol/call_control.h"
#include "protocol/call_offer.h"
#include "protocol/mail_arrived.h"
#include "protocol/subscription.h"

namespace voxtrel::pbx {
namespace {

// The suite's own helpers; gtest's are named in full.
using namespace testing;

// A few microseconds' wait of the raw client: what has arrived already.
constexpr uint32_t kNoWait = 10'000;

using PbxInjectionTest = PbxSimulatorTest;

// Requests of a call that does not exist, written one after the other into all.
std::vector<std::unique_ptr<XmlRpcRequestMethod>> UnknownCallCloses(uint64_t count,
                                                                    std::string& all) {
    std::vector<std::unique_ptr<XmlRpcRequestMethod>> requests;
    for (uint64_t id = 1; id <= count; ++id) {
        requests.push_back(Make<CloseCallMethod>(id));
        EXPECT_TRUE(requests.back()->Write(all));
    }
    return requests;
}

// The number after `word ` in a command's reply; 0 when there is none.
size_t NumberAfter(const std::string& reply, const std::string& word) {
    size_t at = reply.find(word + " ");
    if (at == std::string::npos) return 0;
    size_t value = 0;
    const char* first = reply.data() + at + word.size() + 1;
    std::from_chars(first, reply.data() + reply.size(), value);
    return value;
}

TEST_F(PbxInjectionTest, LateAnswersKeepTheirTurnAndHoldBackWhatFollows) {
    Start();
    auto client = Authenticated();
    EXPECT_EQ(Command("delay hold 5"), "error: unknown method hold");
    EXPECT_EQ(Command("delay closecall soon"), "error: usage: delay METHOD MILLISECONDS");
    EXPECT_EQ(Command("delay closecall -1").rfind("error: a delay is 0 to ", 0), 0u);
    ASSERT_EQ(Command("delay closecall 1000"), "ok");

    // A late fault, then a prompt answer: neither comes before the late one's time.
    auto late = Make<CloseCallMethod>(5);
    auto prompt = Make<IncomingCallHandlingMethod>("100", 1);
    std::string both;
    ASSERT_TRUE(late->Write(both) && prompt->Write(both));
    ASSERT_TRUE(client->SendText(both));
    std::string early;
    EXPECT_FALSE(client->NextAnswer(early, kQuietWait));
    EXPECT_TRUE(Fault(client->ReadReply(*late), kFaultUnknownCall));
    EXPECT_TRUE(Plain(client->ReadReply(*prompt), 0));

    // The notifications that a late answer's request causes follow the answer, even those
    // that are due before it.
    ASSERT_EQ(Command("delay createcall 300"), "ok");
    size_t mark = client->transcript.size();
    EXPECT_TRUE(Plain(client->Call(*CreateCall(7, "pbx:100")), 7));
    EXPECT_EQ(client->NextNotice(), "callstatechanged 7 1");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 7 2");
    ASSERT_GT(client->transcript.size(), mark);
    EXPECT_EQ(client->transcript[mark], "answer");

    ASSERT_EQ(Command("delay closecall 0"), "ok");
    ASSERT_EQ(Command("delay createcall 0"), "ok");
    EXPECT_TRUE(Fault(client->Call(*Make<CloseCallMethod>(5)), kFaultUnknownCall));
    EXPECT_TRUE(client->Sync());
}

TEST_F(PbxInjectionTest, FaultRatesAnswerEveryOrSomeRequestsWithTheirFault) {
    Start();
    auto client = Authenticated();
    EXPECT_EQ(Command("fault-rate closecall 101 3"),
              "error: usage: fault-rate METHOD PERCENT CODE [TEXT]");
    EXPECT_EQ(Command("fault-rate closecall 50"),
              "error: usage: fault-rate METHOD PERCENT CODE [TEXT]");
    EXPECT_EQ(Command("fault-rate hold 50 3"), "error: unknown method hold");

    ASSERT_EQ(Command("fault-rate createcall 100 33 Out of order: all day"), "ok");
    for (uint64_t id : {41, 42, 43}) {
        Reply reply = client->Call(*CreateCall(id, "pbx:100"));
        EXPECT_TRUE(Fault(reply, 33));
        EXPECT_EQ(reply.faultText, "Out of order: all day");
    }
    // A faulted request had no effect.
    EXPECT_TRUE(Fault(client->Call(*Make<CloseCallMethod>(41)), kFaultUnknownCall));
    // A queued fault goes first, and the rate goes on after it.
    ASSERT_EQ(Command("fault createcall 5 once"), "ok");
    EXPECT_TRUE(Fault(client->Call(*CreateCall(44, "pbx:100")), 5));
    EXPECT_TRUE(Fault(client->Call(*CreateCall(44, "pbx:100")), 33));
    ASSERT_EQ(Command("fault-rate createcall 0"), "ok");
    EXPECT_TRUE(Plain(client->Call(*CreateCall(44, "pbx:100")), 44));

    // At half the rate some are faulted and some not, the same ones again from the same seed.
    auto pattern = [&] {
        std::string seen;
        for (int i = 0; i < 40; ++i) {
            Reply reply = client->Call(*Make<CloseCallMethod>(99));
            seen += reply.faultCode == 12 ? 'F' : reply.faultCode == kFaultUnknownCall ? '.' : '?';
        }
        return seen;
    };
    ASSERT_EQ(Command("chaos seed 5"), "ok");
    ASSERT_EQ(Command("fault-rate closecall 50 12"), "ok");
    std::string first = pattern();
    EXPECT_NE(first.find('F'), std::string::npos) << first;
    EXPECT_NE(first.find('.'), std::string::npos) << first;
    EXPECT_EQ(first.find('?'), std::string::npos) << first;
    ASSERT_EQ(Command("chaos seed 5"), "ok");
    EXPECT_EQ(pattern(), first);
}

TEST_F(PbxInjectionTest, MutedMethodsAndChaosOffComeFromTheOptionsAndGoTogether) {
    options.seed = 42;
    options.commands = {"mute subscribe", "delay closecall 20", "fault-rate unsubscribe 100 9",
                        "chaos close 0",  "chaos split on",     "chaos slow-read 100000"};
    Start();
    EXPECT_EQ(Command("chaos"), "seed 42 close 0 split on slow-read 100000");
    auto client = Authenticated();
    auto subscribe = Make<SubscribeMethod>(7, "100");
    ASSERT_TRUE(client->Send(*subscribe));
    // The muted request had no answer: the next one reads its own.
    EXPECT_TRUE(Fault(client->Call(*Make<UnsubscribeMethod>(7)), 9));
    EXPECT_TRUE(Fault(client->Call(*Make<CloseCallMethod>(7)), kFaultUnknownCall));

    EXPECT_EQ(Command("chaos off"), "ok");
    EXPECT_EQ(Command("chaos"), "seed 42 close 0 split off slow-read 0");
    Reply subscribed = client->Call(*Make<SubscribeMethod>(8, "100"));
    EXPECT_TRUE(subscribed.received && !subscribed.fault);
    EXPECT_TRUE(Plain(client->Call(*Make<UnsubscribeMethod>(8)), 8));
    EXPECT_EQ(Command("chaos close 101"),
              "error: usage: chaos [close PERCENT | split on|off | slow-read BYTES_PER_SECOND | "
              "seed N | off]");
    EXPECT_EQ(Command("chaos split maybe").rfind("error: usage: chaos", 0), 0u);
}

TEST_F(PbxInjectionTest, StartFailsOnACommandOfTheOptionsThatFails) {
    options.commands = {"mute subscribe", "mute hold"};
    std::string error;
    EXPECT_FALSE(simulator.Start(options, &error));
    EXPECT_EQ(error, "mute hold: error: unknown method hold");
    EXPECT_FALSE(simulator.Running());
}

TEST_F(PbxInjectionTest, RandomClosesCutAfterAReadOrInsideAWrite) {
    Start();
    auto bystander = Authenticated();
    auto reader = Authenticated();
    auto writer = Authenticated();
    Reply subscribed = writer->Call(*Make<SubscribeMethod>(88, "100"));
    ASSERT_TRUE(subscribed.received && !subscribed.fault);

    ASSERT_EQ(Command("chaos close 100"), "ok");
    // Closed after reading the request: its answer never leaves.
    ASSERT_TRUE(reader->Send(*Make<CloseCallMethod>(5)));
    std::string answer;
    EXPECT_FALSE(reader->NextAnswer(answer));
    EXPECT_TRUE(reader->WaitClosed());

    // Closed while writing the notice: a piece of it arrives, never a whole message.
    size_t before = writer->receivedBytes;
    EXPECT_EQ(Command("mail 88 pbx:300 35 12"), "ok");
    EXPECT_TRUE(writer->WaitClosed());
    EXPECT_EQ(writer->NextNotice(kQuietWait), "nothing");
    MailArrivedMethod notice;
    PartyAddress from;
    ResetPartyAddress(from);
    ParsePartyAddress("pbx:300", from);
    ASSERT_TRUE(notice.SetParams(88, from, 0, 35, 12));
    std::string whole;
    ASSERT_TRUE(notice.Write(whole));
    EXPECT_LT(writer->receivedBytes - before, whole.size());

    ASSERT_EQ(Command("chaos close 0"), "ok");
    EXPECT_TRUE(bystander->Sync());
    EXPECT_EQ(Command("status"), "connections 1 authenticated 1 calls 0 unacknowledged 0");
}

TEST_F(PbxInjectionTest, SplitWritesDeliverMessagesInPiecesThatStillRead) {
    Start();
    auto client = Authenticated();
    ASSERT_EQ(Command("chaos split on"), "ok");
    std::string all;
    auto requests = UnknownCallCloses(20, all);
    ASSERT_TRUE(client->SendText(all));
    for (const auto& request : requests) {
        EXPECT_TRUE(Fault(client->ReadReply(*request), kFaultUnknownCall));
    }
    EXPECT_GT(client->partialReceives, 0u);
    ASSERT_EQ(Command("chaos split off"), "ok");
    EXPECT_TRUE(client->Sync());
}

TEST_F(PbxInjectionTest, GarbageIsATerminatedNonDocumentThenBinaryBytes) {
    Start();
    EXPECT_EQ(Command("garbage"), "error: no connection");
    auto client = Authenticated();
    EXPECT_EQ(Command("garbage 9"), "error: no connection 9");
    EXPECT_EQ(Command("garbage x"), "error: usage: garbage [CONNECTION]");
    std::string reply = Command("garbage 1");
    ASSERT_EQ(reply.rfind("ok connection 1, ", 0), 0u) << reply;
    size_t textBytes = NumberAfter(reply, ",");
    size_t binaryBytes = NumberAfter(reply, "text,");
    ASSERT_GE(binaryBytes, 16u) << reply;
    ASSERT_LE(binaryBytes, 256u) << reply;

    std::string text;
    ASSERT_TRUE(client->NextRaw(text));
    EXPECT_EQ(text.size() + kMessageTerminator.size(), textBytes);
    EXPECT_EQ(text.find('<'), std::string::npos) << text;
    EXPECT_EQ(ParseRequest(text), nullptr);

    // The binary bytes stand in front of the next message.
    auto request = Make<CloseCallMethod>(3);
    ASSERT_TRUE(client->Send(*request));
    std::string spoiled;
    ASSERT_TRUE(client->NextRaw(spoiled));
    ASSERT_GT(spoiled.size(), binaryBytes);
    EXPECT_EQ(spoiled.substr(0, binaryBytes).find('\r'), std::string::npos);
    EXPECT_EQ(spoiled.compare(binaryBytes, 5, "<?xml"), 0);
    EXPECT_TRUE(client->Sync());

    // Without a number, a connection at random: here the only one.
    EXPECT_EQ(Command("garbage").rfind("ok connection 1, ", 0), 0u);
}

TEST_F(PbxInjectionTest, AFloodWithoutTerminatorOutgrowsThePeersLimitAndEnds) {
    Start();
    auto bystander = Authenticated();
    auto flooded = Authenticated();
    ASSERT_TRUE(Plain(flooded->Call(*Make<IncomingCallHandlingMethod>("100", 1)), 0));
    EXPECT_EQ(Command("flood 2"),
              "ok connection 2, " + std::to_string(PbxService::kFloodBytes) + " bytes");
    size_t before = flooded->receivedBytes;
    EXPECT_TRUE(flooded->WaitClosed());
    EXPECT_EQ(flooded->receivedBytes - before, PbxService::kFloodBytes);
    EXPECT_GT(PbxService::kFloodBytes, MessageFramer::kDefaultLimit);
    EXPECT_EQ(flooded->NextNotice(kNoWait), "nothing");
    EXPECT_TRUE(bystander->Sync());
    EXPECT_EQ(Command("status"), "connections 1 authenticated 1 calls 0 unacknowledged 0");
}

TEST_F(PbxInjectionTest, ASlowReaderStillGetsEveryAnswerInOrder) {
    Start();
    auto client = Authenticated();
    EXPECT_EQ(Command("chaos slow-read fast").rfind("error: usage: chaos", 0), 0u);
    ASSERT_EQ(Command("chaos slow-read 2000"), "ok");
    std::string all;
    auto requests = UnknownCallCloses(16, all);
    ASSERT_GT(all.size(), 3000u);
    ASSERT_TRUE(client->SendText(all));
    // A quarter of a second's worth at once and 2000 bytes a second after that: far from all
    // the requests are read a third of a second later.
    std::this_thread::sleep_for(milliseconds(300));
    size_t early = 0;
    for (const auto& request : requests) {
        Reply reply = client->ReadReply(*request, kNoWait);
        if (!reply.received) break;
        EXPECT_TRUE(Fault(reply, kFaultUnknownCall));
        ++early;
    }
    EXPECT_LT(early, requests.size());
    for (size_t i = early; i < requests.size(); ++i) {
        EXPECT_TRUE(Fault(client->ReadReply(*requests[i]), kFaultUnknownCall)) << i;
    }
    ASSERT_EQ(Command("chaos slow-read 0"), "ok");
    EXPECT_TRUE(client->Sync());
}

// How many times part occurs in text.
size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST_F(PbxInjectionTest, CountsShowTheRequestsOfferAnswersAndAcknowledgementsReceived) {
    Start();
    EXPECT_EQ(Command("counts"), "requests 0 accepted 0 declined 0 redirected 0 acknowledged 0");
    EXPECT_EQ(Command("counts now"), "error: usage: counts");
    auto client = Authenticated();
    ASSERT_TRUE(Plain(client->Call(*Make<IncomingCallHandlingMethod>("100", 1)), 0));
    EXPECT_TRUE(Fault(client->Call(*Make<CloseCallMethod>(77)), kFaultUnknownCall));
    // An unreadable request is a request too.
    ASSERT_TRUE(
        client->SendText("<?xml version=\"1.0\"?><methodCall><methodName>nothing"
                         "</methodName></methodCall>\r\n\r\n"));
    std::string answer;
    ASSERT_TRUE(client->NextAnswer(answer));
    EXPECT_EQ(Command("counts"), "requests 4 accepted 0 declined 0 redirected 0 acknowledged 0");

    // Answers to offers count by their action, also those the call model ignores.
    std::string first = Command("offer 100 sip:a@b");
    std::string second = Command("offer 100 sip:a@b");
    uint64_t firstId = NumberAfter(" " + first, "");
    uint64_t secondId = NumberAfter(" " + second, "");
    ASSERT_NE(firstId, 0u) << first;
    CallArrivedResponseMethod accept;
    accept.BuildAccept(firstId, "", "");
    CallArrivedResponseMethod decline;
    decline.BuildDecline(secondId, "");
    CallArrivedResponseMethod stray;
    stray.BuildAccept(999999, "", "");
    ASSERT_TRUE(client->Send(accept));
    ASSERT_TRUE(client->Send(decline));
    ASSERT_TRUE(client->Send(stray));
    // The accepted call connects; its state change is acknowledged by the client.
    WaitForState(*client, firstId, kStateConnected);
    EXPECT_TRUE(client->Sync());
    EXPECT_EQ(Command("counts"), "requests 5 accepted 2 declined 1 redirected 0 acknowledged 1");
}

TEST_F(PbxInjectionTest, OffersMakesManyOffersAtOnce) {
    Start();
    EXPECT_EQ(Command("offers 5 100 sip:a@b"), "error: No connection has taken over extension 100");
    auto client = Authenticated();
    ASSERT_TRUE(Plain(client->Call(*Make<IncomingCallHandlingMethod>("100", 1)), 0));
    EXPECT_EQ(Command("offers 0 100 sip:a@b"), "error: usage: offers COUNT EXT FROM");
    EXPECT_EQ(Command("offers 3 100"), "error: usage: offers COUNT EXT FROM");
    EXPECT_EQ(Command("offers 5001 100 sip:a@b"), "error: at most 5000 offers at once");
    std::string reply = Command("offers 300 100 sip:a@b");
    ASSERT_EQ(reply.rfind("ok 300 offered from call ", 0), 0u) << reply;
    uint64_t first = NumberAfter(reply, "call");
    for (uint64_t i = 0; i < 300; ++i) {
        auto offer = client->NextRequest();
        ASSERT_NE(offer, nullptr) << i;
        EXPECT_EQ(Describe(*offer), "process " + std::to_string(first + i));
    }
    EXPECT_EQ(Command("status").rfind("connections 1 authenticated 1 calls 300 ", 0), 0u);
}

TEST_F(PbxInjectionTest, NestSendsAStateChangeWithADeeplyNestedFirstParamInPieces) {
    Start();
    EXPECT_EQ(Command("nest"), "error: no connection");
    auto client = Authenticated();
    EXPECT_EQ(Command("nest 1 0"), "error: usage: nest [CONNECTION [DEPTH]], at most 20000");
    EXPECT_EQ(Command("nest 1 20001"), "error: usage: nest [CONNECTION [DEPTH]], at most 20000");
    EXPECT_EQ(Command("nest 1 2 3"), "error: usage: nest [CONNECTION [DEPTH]]");
    std::string reply = Command("nest 1 3000");
    ASSERT_EQ(reply.rfind("ok connection 1, ", 0), 0u) << reply;
    std::string text;
    ASSERT_TRUE(client->NextRaw(text));
    EXPECT_EQ(text.size() + kMessageTerminator.size(), NumberAfter(reply, ","));
    EXPECT_EQ(Occurrences(text, "<value><array><data>"), 3000u);
    EXPECT_EQ(Occurrences(text, "</data></array></value>"), 3000u);
    EXPECT_NE(text.find("callstatechanged"), std::string::npos) << text.substr(0, 200);
    EXPECT_GT(client->partialReceives, 0u);
    EXPECT_TRUE(client->Sync());
    // The default depth.
    reply = Command("nest");
    EXPECT_EQ(NumberAfter(reply, ","), text.size() + kMessageTerminator.size() + 7000 * 43);
    ASSERT_TRUE(client->NextRaw(text));
    EXPECT_EQ(Occurrences(text, "<value><array><data>"), PbxService::kDefaultNesting);
}

TEST_F(PbxInjectionTest, AttributesSendsAStateChangeWhoseTagHasManyDistinctAttributes) {
    Start();
    auto client = Authenticated();
    EXPECT_EQ(Command("attributes 1 80001"),
              "error: usage: attributes [CONNECTION [COUNT]], at most 80000");
    std::string reply = Command("attributes 1 2000");
    ASSERT_EQ(reply.rfind("ok connection 1, ", 0), 0u) << reply;
    std::string text;
    ASSERT_TRUE(client->NextRaw(text));
    EXPECT_NE(text.find("<methodCall a0=\"1\" a1=\"1\""), std::string::npos) << text.substr(0, 200);
    EXPECT_NE(text.find(" a1999=\"1\">"), std::string::npos);
    EXPECT_EQ(text.find(" a2000="), std::string::npos);
    EXPECT_EQ(Occurrences(text, "=\"1\""), 2000u);
    // Without the attributes it is a plain state change of call 0.
    std::string plain = text.substr(0, text.find(" a0=")) + text.substr(text.find(">", 30));
    auto request = ParseRequest(plain);
    ASSERT_NE(request, nullptr) << plain;
    EXPECT_EQ(Describe(*request), "callstatechanged 0 6");
    EXPECT_GT(client->partialReceives, 0u);
    EXPECT_TRUE(client->Sync());
}

TEST_F(PbxInjectionTest, CrFloodIsABlankMessageOfCarriageReturnsInPieces) {
    Start();
    auto client = Authenticated();
    EXPECT_EQ(Command("cr-flood 1 1000001"),
              "error: usage: cr-flood [CONNECTION [BYTES]], at most 1000000");
    EXPECT_EQ(Command("cr-flood 1 20000"), "ok connection 1, 20003 bytes");
    std::string text;
    ASSERT_TRUE(client->NextRaw(text));
    EXPECT_EQ(text, std::string(19999, '\r'));
    EXPECT_GT(client->partialReceives, 0u);
    EXPECT_TRUE(client->Sync());
}

TEST_F(PbxInjectionTest, CrLfCrFloodHasNoTerminatorSoTheNextMessageJoinsIt) {
    Start();
    auto client = Authenticated();
    EXPECT_EQ(Command("crlfcr-flood 1 30000"), "ok connection 1, 30000 bytes");
    EXPECT_EQ(Command("crlfcr-flood 1 3001"), "ok connection 1, 3001 bytes");
    // Nothing ends until the next message does.
    std::string text;
    EXPECT_FALSE(client->NextRaw(text, kQuietWait));
    ASSERT_TRUE(client->Send(*Make<CloseCallMethod>(5)));
    ASSERT_TRUE(client->NextRaw(text));
    ASSERT_GT(text.size(), 33001u);
    for (size_t i = 0; i < 33001; ++i)
        ASSERT_EQ(text[i], "\r\n\r"[i % 3 == 0 ? 0 : i % 3]) << i;
    EXPECT_EQ(text.compare(33001, 5, "<?xml"), 0) << text.substr(33001, 20);
    EXPECT_GT(client->partialReceives, 0u);
    EXPECT_TRUE(client->Sync());
}

}  // namespace
}  // namespace voxtrel::pbx
