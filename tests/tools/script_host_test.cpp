// The scripting host's line syntax, conversions and output forms, against a recording target.
#include "script_host.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace voxtrel {
namespace {

// Records every call as a line and answers with fixed results.
class FakeTarget : public ScriptTarget {
  public:
    bool Connect(const std::string& s, int16_t port, int32_t timeout, const std::string& u,
                 const std::string& p) override {
        return Add("Connect " + s + " " + std::to_string(port) + " " + std::to_string(timeout) +
                   " " + u + " " + p);
    }
    bool Disconnect() override { return Add("Disconnect"); }
    std::string CreateCall(const std::string& from, const std::string& to) override {
        Add("CreateCall " + from + " " + to);
        return "1234";
    }
    bool CloseCall(const std::string& id) override { return Add("CloseCall [" + id + "]"); }
    bool TransferCall(const std::string& id, const std::string& to) override {
        return Add("TransferCall " + id + " " + to);
    }
    bool JoinCalls(const std::string& a, const std::string& b) override {
        return Add("JoinCalls " + a + " " + b);
    }
    bool UnjoinCalls(const std::string& a, const std::string& b) override {
        return Add("UnjoinCalls " + a + " " + b);
    }
    bool PlayMessage(const std::string& id, const std::string& f, int16_t count) override {
        return Add("PlayMessage " + id + " " + f + " " + std::to_string(count));
    }
    bool EnableDtmfDetection(const std::string& id, int32_t on) override {
        return Add("EnableDtmfDetection " + id + " " + std::to_string(on));
    }
    bool IncomingCallHandling(const std::string& ext, int32_t on) override {
        return Add("IncomingCallHandling " + ext + " " + std::to_string(on));
    }
    bool AcceptCall(const std::string& id, const std::string& c, const std::string& n) override {
        return Add("AcceptCall " + id + " " + c + " " + n);
    }
    bool RejectCall(const std::string& id) override { return Add("RejectCall " + id); }
    bool ForwardCall(const std::string& id, const std::string& to, const std::string& c,
                     const std::string& n) override {
        return Add("ForwardCall " + id + " " + to + " " + c + " " + n);
    }
    std::string SubscribeToVoiceMail(const std::string& ext) override {
        Add("SubscribeToVoiceMail " + ext);
        return "0";
    }
    bool Unsubscribe(const std::string& id) override { return Add("Unsubscribe " + id); }
    void Pump(int, const std::function<bool()>& done) override {
        ++pumps;
        if (onPump) onPump();
        doneAfterPump.push_back(done());
    }
    bool CreateControlWindow(std::string&) override { return Add("window create"); }
    bool DestroyControlWindow(std::string& error) override {
        error = "no window";
        return false;
    }

    std::vector<std::string> calls;
    int pumps = 0;
    std::function<void()> onPump;
    std::vector<bool> doneAfterPump;
    bool result = true;

  private:
    bool Add(const std::string& line) {
        calls.push_back(line);
        return result;
    }
};

struct Script {
    FakeTarget target;
    std::ostringstream out;
    ScriptHost host{target, out, true};

    std::string Run(const std::string& text) {
        std::istringstream in(text);
        host.Run(in);
        return out.str();
    }
};

TEST(ScriptSyntax, WordsQuotesAndEscapes) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(SplitScriptLine(" a\t\"b c\" \"\" \"q\\\"x\\\\y\" d\"e f\"", words, error));
    EXPECT_EQ(words, (std::vector<std::string>{"a", "b c", "", "q\"x\\y", "de f"}));
    EXPECT_FALSE(SplitScriptLine("a \"open", words, error));
    EXPECT_EQ(error, "unterminated quote");
}

TEST(ScriptSyntax, JsonStrings) {
    EXPECT_EQ(JsonString("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
    EXPECT_EQ(JsonString("caf\xE9"), "\"caf\\u00e9\"");
    EXPECT_EQ(JsonString(std::string("\0x", 2)), "\"\\u0000x\"");
}

TEST(ScriptMethods, ArgumentsConvertAsTheControlsTypes) {
    Script s;
    std::string out = s.Run(
        "# a comment\n"
        "\n"
        "connect 127.0.0.1 -1 4294967297 \"demo\" demo\n"
        "EnableDtmfDetection 42 2\n"
        "PlayMessage 42 \"hello world.wav\" 65535\n"
        "CloseCall \"\"\n"
        "CreateCall pbx:1 pbx:2\n"
        "SubscribeToVoiceMail 100\n");
    EXPECT_EQ(s.target.calls, (std::vector<std::string>{
                                  "Connect 127.0.0.1 -1 1 demo demo", "EnableDtmfDetection 42 2",
                                  "PlayMessage 42 hello world.wav -1", "CloseCall []",
                                  "CreateCall pbx:1 pbx:2", "SubscribeToVoiceMail 100"}));
    EXPECT_EQ(out,
              "{\"method\":\"Connect\",\"result\":true}\n"
              "{\"method\":\"EnableDtmfDetection\",\"result\":true}\n"
              "{\"method\":\"PlayMessage\",\"result\":true}\n"
              "{\"method\":\"CloseCall\",\"result\":true}\n"
              "{\"method\":\"CreateCall\",\"result\":\"1234\"}\n"
              "{\"method\":\"SubscribeToVoiceMail\",\"result\":\"0\"}\n");
}

TEST(ScriptMethods, LinesThatCannotRunGiveErrorsAndExecutionGoesOn) {
    Script s;
    std::string out = s.Run(
        "Hold 1\n"
        "CloseCall\n"
        "Connect h x 1 u p\n"
        "CloseCall \"open\n"
        "wait Nothing\n"
        "window destroy\n"
        "pump -1\n"
        "RejectCall 7\n");
    EXPECT_EQ(s.target.calls, (std::vector<std::string>{"RejectCall 7"}));
    EXPECT_EQ(out,
              "{\"error\":\"unknown word: Hold\"}\n"
              "{\"error\":\"CloseCall takes 1 arguments, not 0\"}\n"
              "{\"error\":\"Connect: argument 2 is no integer: x\"}\n"
              "{\"error\":\"unterminated quote\"}\n"
              "{\"error\":\"unknown event: Nothing\"}\n"
              "{\"error\":\"window destroy: no window\"}\n"
              "{\"error\":\"pump takes seconds\"}\n"
              "{\"method\":\"RejectCall\",\"result\":true}\n");
}

TEST(ScriptDirectives, WaitEndsAtItsEventOrTimesOut) {
    Script s;
    s.target.onPump = [&] {
        if (s.target.pumps == 3) s.host.MessagePlayed("9");
        if (s.target.pumps == 4) s.host.CallStateChanged("9", -2);
    };
    std::string out =
        s.Run("wait CallStateChanged 5\nwait Disconnected 0.05\nquit\nRejectCall 1\n");
    EXPECT_EQ(out,
              "{\"event\":\"MessagePlayed\",\"callID\":\"9\"}\n"
              "{\"event\":\"CallStateChanged\",\"callID\":\"9\",\"callState\":-2}\n"
              "{\"wait\":\"Disconnected\",\"timedOut\":true}\n");
    EXPECT_TRUE(s.target.calls.empty());
}

TEST(ScriptDirectives, AWaitTellsItsTargetToStopOnceItsEventFired) {
    Script s;
    s.target.onPump = [&] {
        if (s.target.pumps == 1) s.host.MessagePlayed("9");
        if (s.target.pumps == 2) s.host.CallStateChanged("9", 3);
    };
    s.Run("wait CallStateChanged 5\n");
    EXPECT_EQ(s.target.doneAfterPump, (std::vector<bool>{false, true}));
    // A pump awaits nothing: it never stops early.
    s.target.doneAfterPump.clear();
    s.target.pumps = 0;
    s.Run("pump 0.06\n");
    ASSERT_FALSE(s.target.doneAfterPump.empty());
    for (bool done : s.target.doneAfterPump)
        EXPECT_FALSE(done);
}

TEST(ScriptEvents, EveryEventByTheNamesOfItsParameters) {
    Script s;
    s.host.CallStateChanged("1", 3);
    s.host.MessagePlayed("1");
    s.host.DtmfDigitReceived("1", -23);
    s.host.RequestFailed("1", 102, "Connection closed remotely");
    s.host.Disconnected();
    s.host.CallArrived("2", "sip:a@h", "pbx:1", "0");
    s.host.MailArrived("3", "tel:5", "2006-05-04 13:02:01", 12, 7);
    s.host.SubscriptionConfirmed("3", true, 0);
    EXPECT_EQ(s.out.str(),
              "{\"event\":\"CallStateChanged\",\"callID\":\"1\",\"callState\":3}\n"
              "{\"event\":\"MessagePlayed\",\"callID\":\"1\"}\n"
              "{\"event\":\"DtmfDigitReceived\",\"callID\":\"1\",\"digit\":-23}\n"
              "{\"event\":\"RequestFailed\",\"callID\":\"1\",\"failureCode\":102,"
              "\"failureString\":\"Connection closed remotely\"}\n"
              "{\"event\":\"Disconnected\"}\n"
              "{\"event\":\"CallArrived\",\"callID\":\"2\",\"caller\":\"sip:a@h\","
              "\"callee\":\"pbx:1\",\"origCallID\":\"0\"}\n"
              "{\"event\":\"MailArrived\",\"subscrID\":\"3\",\"caller\":\"tel:5\","
              "\"time\":\"2006-05-04 13:02:01\",\"duration\":12,\"id\":7}\n"
              "{\"event\":\"SubscriptionConfirmed\",\"subscrID\":\"3\",\"confirmed\":true,"
              "\"errorCode\":0}\n");
}

TEST(ScriptOutput, ReadableForm) {
    FakeTarget target;
    std::ostringstream out;
    ScriptHost host(target, out, false);
    std::istringstream in("CreateCall a b\nCloseCall 1\nbogus\n");
    host.Run(in);
    host.RequestFailed("1", 4, "busy");
    EXPECT_EQ(out.str(),
              "CreateCall -> 1234\nCloseCall -> TRUE\nerror: unknown word: bogus\n"
              "event RequestFailed callID=1 failureCode=4 failureString=\"busy\"\n");
}

}  // namespace
}  // namespace voxtrel
