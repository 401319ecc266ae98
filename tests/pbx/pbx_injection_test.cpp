// The faults that the simulator injects on purpose, as a raw client sees them: late answers in
// order, fault rates, random closes, split writes, slow reading, garbage, floods and hostile
// messages.
#include <gtest/gtest.h>

#include "pbx/pbx_service.h"
#include "pbx_test_client.h"

namespace voxtrel::pbx {
namespace {

using namespace testing;
using PbxInjectionTest = PbxSimulatorTest;

TEST_F(PbxInjectionTest, LateAnswersKeepTheirTurnAndHoldBackWhatFollows) {
    Start();
    auto client = Connect();
    EXPECT_EQ(Command("delay closecall -1"), "error: a delay is 0 to 86400000 ms");
    EXPECT_EQ(Command("delay closecall 86400001"), "error: a delay is 0 to 86400000 ms");
    ASSERT_EQ(Command("delay closecall 86400000"), "ok");
    ASSERT_EQ(Command("delay closecall 1000"), "ok");
    ASSERT_EQ(Command("delay createcall 300"), "ok");
    auto late = Make<CloseCallMethod>(5);
    auto create = CreateCall(7, "pbx:100");
    auto prompt = Make<IncomingCallHandlingMethod>("100", 1);
    ASSERT_TRUE(client->Send(Doc(*late) + Doc(*create) + Doc(*prompt)));
    EXPECT_EQ(client->Answer(*late, 800'000).brief, "nothing");
    EXPECT_EQ(client->Answer(*late).brief, "fault 1");
    // The notifications of a late answer's request follow it, even those due before it.
    EXPECT_EQ(client->Answer(*create).brief, "answer 7");
    EXPECT_EQ(client->Answer(*prompt).brief, "answer 0");
    EXPECT_EQ(client->transcript[2], "answer");
    EXPECT_EQ(client->transcript[3], "callstatechanged 7 1");
    ASSERT_EQ(Command("delay closecall 0"), "ok");
    EXPECT_EQ(client->Call(*late).brief, "fault 1");
}

TEST_F(PbxInjectionTest, FaultRatesAnswerEveryOrSomeRequestsAndChaosOffEndsThem) {
    options.seed = 42;
    options.commands = {"fault-rate createcall 100 33 Out of order: all day", "mute unsubscribe",
                        "chaos slow-read 100000"};
    Start();
    EXPECT_EQ(Command("chaos"), "seed 42 close 0 split off slow-read 100000");
    EXPECT_EQ(Command("fault-rate closecall 101 3"),
              "error: usage: fault-rate METHOD PERCENT CODE [TEXT]");
    auto client = Connect();
    Reply reply = client->Call(*CreateCall(41, "pbx:100"));
    EXPECT_EQ(reply.brief, "fault 33");
    EXPECT_EQ(reply.faultText, "Out of order: all day");
    // A faulted request had no effect; a queued fault goes first and the rate goes on after it.
    ASSERT_EQ(Command("fault createcall 5 once"), "ok");
    EXPECT_EQ(client->Call(*CreateCall(41, "pbx:100")).brief, "fault 5");
    EXPECT_EQ(client->Call(*CreateCall(41, "pbx:100")).brief, "fault 33");
    ASSERT_EQ(Command("fault-rate createcall 0"), "ok");
    EXPECT_EQ(client->Call(*CreateCall(41, "pbx:100")).brief, "answer 41");
    // At half the rate some are faulted and some not, the same ones again from the same seed.
    auto pattern = [&] {
        std::string seen;
        for (int i = 0; i < 40; ++i)
            seen += client->Call(*Make<CloseCallMethod>(99)).brief == "fault 12" ? 'F' : '.';
        return seen;
    };
    ASSERT_EQ(Command("chaos seed 5"), "ok");
    ASSERT_EQ(Command("fault-rate closecall 50 12"), "ok");
    std::string first = pattern();
    EXPECT_NE(first.find('F'), std::string::npos) << first;
    EXPECT_NE(first.find('.'), std::string::npos) << first;
    ASSERT_EQ(Command("chaos seed 5"), "ok");
    EXPECT_EQ(pattern(), first);
    ASSERT_EQ(Command("chaos split on"), "ok");
    EXPECT_EQ(Command("chaos off"), "ok");
    EXPECT_EQ(Command("chaos"), "seed 5 close 0 split off slow-read 0");
    EXPECT_EQ(client->Call(*Make<CloseCallMethod>(99)).brief, "fault 1");
    EXPECT_EQ(client->Call(*Make<UnsubscribeMethod>(0)).brief, "fault 6");
}

TEST_F(PbxInjectionTest, SplitSlowAndRandomlyClosedStreams) {
    Start();
    auto client = Connect();
    ASSERT_EQ(Command("chaos split on"), "ok");
    ASSERT_EQ(Command("chaos slow-read 2000"), "ok");
    std::string all;
    std::vector<std::unique_ptr<CloseCallMethod>> requests;
    for (uint64_t id = 1; id <= 16; ++id) {
        requests.push_back(Make<CloseCallMethod>(id));
        all += Doc(*requests.back());
    }
    ASSERT_TRUE(client->Send(all));
    // A quarter of a second's worth at once and 2000 bytes a second after that: far from all
    // the requests are read a third of a second later. The answers come in pieces.
    std::this_thread::sleep_for(milliseconds(300));
    size_t early = 0;
    while (early < requests.size() && client->Answer(*requests[early], 10'000).brief != "nothing")
        ++early;
    EXPECT_LT(early, requests.size());
    for (size_t i = early; i < requests.size(); ++i)
        EXPECT_EQ(client->Answer(*requests[i]).brief, "fault 1") << i;
    EXPECT_GT(client->partialReceives, 0u);

    // A random close after a read: the answer never leaves. One while writing: a piece of the
    // offer arrives, never a whole message.
    ASSERT_EQ(client->Call(*Make<IncomingCallHandlingMethod>("100", 1)).brief, "answer 0");
    auto reader = Connect();
    ASSERT_EQ(Command("chaos off"), "ok");
    ASSERT_EQ(Command("chaos close 100"), "ok");
    EXPECT_EQ(reader->Call(*requests[0]).brief, "nothing");
    size_t before = client->receivedBytes;
    EXPECT_EQ(Command("offer 100 pbx:555"), "1");
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_GT(client->receivedBytes, before);
    EXPECT_EQ(client->Notice(kQuietWait), "nothing");
    EXPECT_EQ(Command("status"), "connections 0 authenticated 0 calls 0 unacknowledged 0");
}

TEST_F(PbxInjectionTest, GarbageFloodsAndHostileMessagesSpoilOneConnectionsStream) {
    Start();
    EXPECT_EQ(Command("garbage"), "error: no connection");
    auto client = Connect();
    EXPECT_EQ(Command("garbage 9"), "error: no connection 9");
    std::string reply = Command("garbage");
    ASSERT_EQ(reply.rfind("ok connection 1, 46 bytes of text, ", 0), 0u) << reply;
    size_t binary = std::stoull(reply.substr(35));
    EXPECT_TRUE(binary >= 16 && binary <= 256) << reply;
    std::string text;
    ASSERT_TRUE(client->Raw(text));
    EXPECT_EQ(text.find('<'), std::string::npos);
    // The binary bytes, without CR, stand in front of the next message.
    ASSERT_TRUE(client->Send(Doc(*Make<CloseCallMethod>(3))) && client->Raw(text));
    EXPECT_EQ(text.find("<?xml"), binary);
    EXPECT_GT(text.find('\r'), binary);
    struct Case {
        std::string command, reply, start = "", end = "";
        size_t size = 0;
    } cases[] = {
        {"nest 1 3000", "ok connection 1, 129239 bytes", "<?xml", "</methodCall>", 129235},
        {"attributes 1 2000", "ok connection 1, 19141 bytes", "<?xml", "</methodCall>", 19137},
        {"cr-flood 1 20000", "ok connection 1, 20003 bytes", "\r\r", "\r\r", 19999},
        {"nest 1 20001", "error: usage: nest [CONNECTION [DEPTH]], at most 20000"},
        {"attributes 1 0", "error: usage: attributes [CONNECTION [COUNT]], at most 80000"},
        {"cr-flood 1 1000001", "error: usage: cr-flood [CONNECTION [BYTES]], at most 1000000"},
        {"crlfcr-flood 1 2 3", "error: usage: crlfcr-flood [CONNECTION [BYTES]]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Command(c.command), c.reply);
        if (c.size == 0) continue;
        ASSERT_TRUE(client->Raw(text));
        EXPECT_EQ(text.size(), c.size) << c.command;
        EXPECT_TRUE(text.starts_with(c.start) && text.ends_with(c.end)) << c.command;
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
    EXPECT_GT(PbxService::kFloodBytes, MessageFramer::kDefaultLimit);
    EXPECT_TRUE(client->Sync());
    simulator.Stop();
    for (const char* kind : {"garbage", "nest", "attributes", "cr-flood", "crlfcr-flood"})
        EXPECT_NE(log.find("\nconnection 1 -> " + std::string(kind) + "\n"), std::string::npos);
    EXPECT_NE(log.find("\nconnection 2 -> flood\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace voxtrel::pbx
