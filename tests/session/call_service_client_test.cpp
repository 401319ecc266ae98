// The session against a scripted service: connecting, the state machine, exactly one outcome per
// request, framing and routing, bursts, and readers that are slow or stop.
#include "session/call_service_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>

#include "recording_session.h"

namespace voxtrel {
namespace {

using namespace voxtrel::testing;

// The worker reports a lost connection before it returns to idle.
bool WaitUntilIdle(const CallServiceClient& session) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (session.State() != kIdle && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return session.State() == kIdle;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(SessionConnect, RefusedCredentialsEndQuickly) {
    FakePeer peer;
    RecordingSession session;
    std::thread service([&] { peer.Authenticate(false); });
    auto start = Clock::now();
    EXPECT_FALSE(session.Connect("127.0.0.1", peer.Port(), 5, "user", "wrong"));
    EXPECT_LT(SecondsSince(start), 2.0);
    service.join();
    // The worker has dropped the connection by the time Connect returns: the peer sees it
    // close, and a host that tries again at once finds the session idle.
    EXPECT_EQ(session.State(), kIdle);
    std::string message;
    EXPECT_FALSE(peer.NextMessage(message, 3));
    EXPECT_FALSE(peer.Connected());
    EXPECT_FALSE(session.Connect("no-such-host.invalid", 1, 1, "u", "p"));
    EXPECT_FALSE(session.Disconnect());
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::thread refuse([&] { peer.Authenticate(false); });
        EXPECT_FALSE(session.Connect("127.0.0.1", peer.Port(), 5, "user", "wrong"));
        refuse.join();
        std::thread accept([&] { peer.Authenticate(true); });
        EXPECT_TRUE(session.Connect("127.0.0.1", peer.Port(), 5, "user", "right")) << attempt;
        accept.join();
        EXPECT_EQ(session.State(), kAuthenticated);
        EXPECT_TRUE(session.Disconnect());
        EXPECT_EQ(session.State(), kIdle);
    }
}

TEST(SessionConnect, UnansweredAuthenticationTimesOut) {
    FakePeer peer;
    RecordingSession session;
    std::thread service([&] { peer.Accept(); });
    auto start = Clock::now();
    EXPECT_FALSE(session.Connect("127.0.0.1", peer.Port(), 1, "user", "secret"));
    double took = SecondsSince(start);
    service.join();
    EXPECT_GT(took, 4.5);
    EXPECT_LT(took, 8.0);
    EXPECT_EQ(session.Timeout(), 1);  // a positive time-out stays in force
    // The authenticate request itself ended once, by time-out or with the closed connection.
    Lines lines = session.WaitFor(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0] == "failed 0 100 Request timeout" ||
                lines[0] == "failed 0 101 Connection closed locally")
        << lines[0];
}

// Texts that would add params to the document or cut the message on the connection are refused
// by every operation that writes one, and nothing is queued.
TEST(SessionRequests, TextsThatWouldBreakTheDocumentAreRefused) {
    Connected c;
    ASSERT_TRUE(c.ok);
    const std::string breaking[] = {"x</string></value></param><param><value><string>y",
                                    "x\r\n\r\ny", std::string("x\0y", 3)};
    for (const std::string& bad : breaking) {
        SCOPED_TRACE(bad);
        const std::string address = "pbx:2" + bad;
        EXPECT_EQ(c.session.CreateCall(bad, "pbx:2"), 0u);
        EXPECT_EQ(c.session.CreateCall("pbx:1", address), 0u);
        EXPECT_FALSE(c.session.TransferCall(1, address));
        EXPECT_FALSE(c.session.PlayMessage(1, bad, 1));
        EXPECT_FALSE(c.session.IncomingCallHandling(bad, 1));
        EXPECT_FALSE(c.session.AcceptCall(1, bad, "Desk"));
        EXPECT_FALSE(c.session.AcceptCall(1, "100", bad));
        EXPECT_FALSE(c.session.ForwardCall(1, address, "100", "Desk"));
        EXPECT_FALSE(c.session.ForwardCall(1, "pbx:2", bad, "Desk"));
        EXPECT_FALSE(c.session.ForwardCall(1, "pbx:2", "100", bad));
        EXPECT_EQ(c.session.Subscribe(bad), 0u);
    }
    // Nothing of the above was queued: the next message the service reads is this one.
    ASSERT_TRUE(c.session.PlayMessage(9, "ok.wav", 1));
    std::string message;
    ASSERT_TRUE(c.peer.NextMessage(message));
    EXPECT_EQ(MethodOf(message), "playmessage");
    EXPECT_EQ(FirstString(message), "9");
    EXPECT_TRUE(c.session.Disconnect());
    for (const std::string& bad : breaking) {
        EXPECT_FALSE(c.session.Connect("127.0.0.1", c.peer.Port(), 5, bad, "secret"));
        EXPECT_FALSE(c.session.Connect("127.0.0.1", c.peer.Port(), 5, "user", bad));
    }
    EXPECT_FALSE(c.peer.AcceptWithin(std::chrono::milliseconds(200)));
}

// A burst far beyond what one wake-up per message could carry: every message reaches the
// service promptly, whatever the size of the burst.
TEST(SessionWriting, ABurstOfThreeThousandRequestsLeavesPromptly) {
    Connected c;
    ASSERT_TRUE(c.ok);
    constexpr int kBurst = 3000;
    for (int i = 1; i <= kBurst; ++i)
        ASSERT_TRUE(c.session.CloseCall(static_cast<uint64_t>(i)));
    auto start = Clock::now();
    int read = 0;
    std::string message;
    while (read < kBurst && SecondsSince(start) < 3 && c.peer.NextMessage(message, 1)) {
        ASSERT_EQ(FirstString(message), std::to_string(read + 1));
        ++read;
    }
    EXPECT_EQ(read, kBurst);
    EXPECT_LT(SecondsSince(start), 2.0);
}

TEST(SessionRequests, EachRequestEndsExactlyOnce) {
    Ledger ledger;
    {
        // Time-outs count whole seconds of the clock: with 2 the answers have at least a second
        // before their requests could time out, however slowly a checker runs the test.
        Connected c(2);
        ASSERT_TRUE(c.ok);
        c.session.SetAccounting(&ledger);
        EXPECT_EQ(c.session.CreateCall("pbx:1", "not an address"), 0u);
        uint64_t answered = c.session.CreateCall("pbx:1", "PBX:2");
        uint64_t faulted = c.session.CreateCall("pbx:1", "pbx:3");
        uint64_t subscribed = c.session.Subscribe("100");
        uint64_t timedOut = c.session.CreateCall("pbx:1", "pbx:4");
        ASSERT_NE(answered, 0u);
        EXPECT_LT(answered, faulted);
        std::string m;
        ASSERT_TRUE(c.peer.NextMessage(m));
        EXPECT_EQ(FirstString(m), std::to_string(answered));
        EXPECT_NE(m.find("<value><string>pbx:2</string></value>"), std::string::npos);
        c.peer.Send(PlainAnswer(FirstString(m)));
        ASSERT_TRUE(c.peer.NextMessage(m));
        c.peer.Send(FaultAnswer(4, "busy"));
        ASSERT_TRUE(c.peer.NextMessage(m));
        EXPECT_EQ(MethodOf(m), "subscribe");
        c.peer.Send("<?xml version=\"1.0\"?>\r\n<methodResponse>\r\n<params>\r\n" +
                    StringParam(FirstString(m)) +
                    "<param>\r\n<value><boolean>1</boolean></value>\r\n</param>\r\n" + IntParam(0) +
                    "</params>\r\n</methodResponse>\r\n\r\n");
        ASSERT_TRUE(c.peer.NextMessage(m));
        EXPECT_EQ(FirstString(m), std::to_string(timedOut));
        Lines lines = c.session.WaitFor(3, 5);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], "failed " + std::to_string(faulted) + " 4 busy");
        EXPECT_EQ(lines[1], "confirmed " + std::to_string(subscribed) + " 1 0");
        EXPECT_EQ(lines[2], "failed " + std::to_string(timedOut) + " 100 Request timeout");
        // An answer after the time-out finds no request waiting and is dropped; the notice behind
        // it shows when it was read, before the next request could take it for its own.
        c.peer.Send(PlainAnswer(std::to_string(timedOut)) +
                    Notification("messageplayed", StringParam("7")));
        EXPECT_EQ(c.session.WaitFor(4).back(), "played 7");
        c.session.CloseCall(1);  // cut short by Disconnect
        EXPECT_TRUE(c.session.Disconnect());
        EXPECT_EQ(c.session.WaitFor(5).back(), "failed 1 101 Connection closed locally");
        EXPECT_EQ(c.session.WaitFor(6, 0).size(), 5u);
        c.session.SetAccounting(nullptr);
    }
    EXPECT_EQ(ledger.Open(), 0u);
    EXPECT_EQ(ledger.errors, 0);
    EXPECT_EQ(ledger.accepted, 5);
    EXPECT_EQ(ledger.outcomes[SessionAccounting::kAnswered], 2);
    EXPECT_EQ(ledger.outcomes[SessionAccounting::kFaulted], 1);
    EXPECT_EQ(ledger.outcomes[SessionAccounting::kTimedOut], 1);
    EXPECT_EQ(ledger.outcomes[SessionAccounting::kClosedLocally], 1);
}

// A request issued while the worker reports the loss (the state still says authenticated) is
// refused, not stranded; the next connection starts with its authentication.
TEST(SessionRequests, LostConnectionFailsEveryRequestOnceThenDisconnects) {
    Ledger ledger;
    Connected c;
    ASSERT_TRUE(c.ok);
    c.session.SetAccounting(&ledger);
    bool issued = true;
    c.session.onLine = [&](const std::string& line) {
        if (line.find(" 102 ") != std::string::npos) issued = c.session.CloseCall(6);
    };
    uint64_t first = c.session.CreateCall("pbx:1", "pbx:2");
    std::string m;
    ASSERT_TRUE(c.peer.NextMessage(m));
    c.session.CloseCall(7);
    ASSERT_TRUE(c.peer.NextMessage(m));
    c.peer.CloseConnection();
    EXPECT_EQ(c.session.WaitFor(3),
              (Lines{"failed " + std::to_string(first) + " 102 Connection closed remotely",
                     "failed 7 102 Connection closed remotely", "disconnected"}));
    EXPECT_TRUE(WaitUntilIdle(c.session));
    EXPECT_FALSE(issued);
    EXPECT_EQ(ledger.Open(), 0u);
    c.session.onLine = nullptr;
    std::thread service([&] { c.peer.Authenticate(true); });
    EXPECT_TRUE(c.session.Connect("127.0.0.1", c.peer.Port(), 0, "u", "p"));
    service.join();
    c.session.SetAccounting(nullptr);
    EXPECT_EQ(ledger.errors, 0);
}

TEST(SessionRouting, NotificationsAreAcknowledgedThenDispatched) {
    Connected c;
    ASSERT_TRUE(c.ok);
    // Two messages in one send, then one split over three sends with the terminator split.
    c.peer.Send(Notification("callstatechanged", StringParam("007") + IntParam(3)) +
                Notification("messageplayed", StringParam("8")));
    std::string split = Notification("callstatechanged", StringParam("9") + IntParam(-1));
    c.peer.Send(split.substr(0, 40));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c.peer.Send(split.substr(40, split.size() - 42));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c.peer.Send(split.substr(split.size() - 2) + "\r\n\r\n");  // plus an empty message
    std::string m;
    for (const char* id : {"7", "8", "9"}) {
        ASSERT_TRUE(c.peer.NextMessage(m));
        EXPECT_EQ(m, PlainAnswer(id).substr(0, PlainAnswer(id).size() - 4));
    }
    EXPECT_EQ(c.session.WaitFor(3), (Lines{"state 7 3", "played 8", "state 9 -1"}));
    // Unknown methods and unreadable params are not acknowledged.
    c.peer.Send(Notification("hold", StringParam("1")) +
                Notification("callstatechanged", StringParam("1")));
    // A call offer waits for the host's answer.
    c.peer.Send(
        Notification("process",
                     "<param>\r\n<value><struct><member><name>From</name><value><string>pbx:1"
                     "</string></value></member><member><name>To</name><value><string>pbx:2"
                     "</string></value></member></struct></value>\r\n</param>\r\n" +
                         StringParam("55")));
    EXPECT_EQ(c.session.WaitFor(4).back(), "arrived 55");
    EXPECT_FALSE(c.peer.NextMessage(m, 1));
    EXPECT_TRUE(c.session.AcceptCall(55, "100", "Desk"));
    ASSERT_TRUE(c.peer.NextMessage(m));
    EXPECT_NE(m.find("<string>accept</string>"), std::string::npos);
}

// Records each traced message as its direction and method ("" for an answer), marked when it ran
// on the test's thread or shows the password or the terminator.
struct TraceRecorder : WireTraceSink {
    void OnWireMessage(WireDirection direction, std::chrono::system_clock::time_point,
                       std::string_view document) override {
        std::string text(document);
        bool sound = std::this_thread::get_id() != test && text.find("ss>w") == std::string::npos &&
                     !text.ends_with("\r\n\r\n") &&
                     (MethodOf(text) != "authenticate" || text.find(">****<") != std::string::npos);
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(static_cast<char>(direction) + MethodOf(text) +
                          (sound ? "" : " unsound"));
    }
    std::thread::id test = std::this_thread::get_id();
    std::mutex mutex;
    Lines entries;
};

TEST(SessionTrace, EveryMessageInOrderOnTheWorkerWithThePasswordMaskedUntilSwitchedOff) {
    FakePeer peer;
    RecordingSession session;
    TraceRecorder trace;
    session.SetWireTrace(&trace);
    std::thread service([&] { peer.Authenticate(true); });
    ASSERT_TRUE(session.Connect("127.0.0.1", peer.Port(), 5, "user", "p&amp;ss>word"));
    service.join();
    // Written while connected, where an untraced session writes on the calling thread.
    uint64_t call = session.CreateCall("pbx:1", "pbx:2");
    std::string m;
    ASSERT_TRUE(peer.NextMessage(m));
    peer.Send(PlainAnswer(std::to_string(call)) + Notification("hold", StringParam("1")) +
              Notification("callstatechanged", StringParam("7") + IntParam(3)));
    ASSERT_TRUE(peer.NextMessage(m));
    EXPECT_EQ(session.WaitFor(1), Lines{"state 7 3"});
    session.SetWireTrace(nullptr);
    ASSERT_NE(session.CreateCall("pbx:1", "pbx:2"), 0u);
    ASSERT_TRUE(peer.NextMessage(m));
    std::lock_guard<std::mutex> lock(trace.mutex);
    EXPECT_EQ(trace.entries,
              (Lines{">authenticate", "<", ">createcall", "<", "<hold", "<callstatechanged", ">"}));
}

TEST(SessionRouting, AFloodWithoutTerminatorIsALostConnection) {
    Connected c;
    ASSERT_TRUE(c.ok);
    std::string flood(64 * 1024, 'x');
    for (int i = 0; i < 17 && c.peer.Send(flood); ++i) {
    }
    EXPECT_EQ(c.session.WaitFor(1).back(), "disconnected");
    EXPECT_TRUE(WaitUntilIdle(c.session));
}

TEST(SessionWriting, ASlowReaderGetsWholeMessagesOneThatStopsIsALostConnection) {
    Ledger ledger;
    {
        Connected c;
        ASSERT_TRUE(c.ok);
        c.session.SetAccounting(&ledger);
        // First a slow reader: large messages leave whole and in order.
        const std::string name(128 * 1024, 'f');
        for (int i = 1; i <= 20; ++i)
            ASSERT_TRUE(c.session.PlayMessage(i, name, i));
        std::string m;
        for (int i = 1; i <= 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_TRUE(c.peer.NextMessage(m, 10)) << i;
            EXPECT_EQ(FirstString(m), std::to_string(i));
            EXPECT_NE(m.find(name), std::string::npos);
            c.peer.Send(PlainAnswer(std::to_string(i)));
        }
        // Then the peer reads nothing more: past what the kernel holds, the session's own output
        // would grow with every request.
        int issued = 0;
        for (int i = 1; i <= 192 && c.session.State() == kAuthenticated; ++i) {
            if (c.session.PlayMessage(100 + i, name, 1)) ++issued;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        Lines lines = c.session.WaitFor(static_cast<size_t>(issued) + 1, 10);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "disconnected");
        for (size_t i = 0; i + 1 < lines.size(); ++i) {
            EXPECT_NE(lines[i].find(" 102 Connection closed remotely"), std::string::npos)
                << lines[i];
        }
        EXPECT_TRUE(WaitUntilIdle(c.session));
        c.session.SetAccounting(nullptr);
    }
    EXPECT_EQ(ledger.Open(), 0u);
    EXPECT_EQ(ledger.errors, 0);
}

}  // namespace
}  // namespace voxtrel
