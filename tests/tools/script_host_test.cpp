// The scripting host's line syntax, conversions and output forms, against a recording target.
#include "script_host.h"

#include <gtest/gtest.h>

#include <sstream>

namespace voxtrel {

// Runs scripts against itself: writes each call, texts in brackets, and answers TRUE or "1234".
struct Script : ScriptTarget {
    explicit Script(bool json = true) : host(*this, out, json) {}
    ControlValue Invoke(const ControlMember& method, std::span<const ControlValue> args) override {
        std::string line = method.name;
        for (size_t i = 0; i < args.size(); ++i) {
            bool text = method.params[i].type == ControlType::Text;
            line += text ? " [" + args[i].text + "]" : " " + std::to_string(args[i].number);
        }
        out << line << "; ";
        return method.result == ControlType::Text ? ControlValue("1234") : ControlValue(1);
    }
    void Pump(int, const std::function<bool()>& done) override {
        if (onPump) onPump(doneAfterPump.size() + 1);
        doneAfterPump.push_back(done());
    }
    bool CreateControlWindow(std::string&) override { return true; }
    bool DestroyControlWindow(std::string& error) override { return (error = "no window").empty(); }
    std::string Run(const std::string& text) {
        std::istringstream in(text);
        host.Run(in);
        return out.str();
    }
    void Fire(ControlEventId id, std::vector<ControlValue> values) {
        host.OnEvent(kControlEvents[static_cast<int>(id) - 1], values);
    }

    std::function<void(size_t)> onPump;
    std::vector<bool> doneAfterPump;
    std::ostringstream out;
    ScriptHost host;
};

// Words split at blanks, grouped by quotes; texts as they are, integers cut to 16 or 32 bits.
TEST(ScriptMethods, ArgumentsConvertAsTheControlsTypesAndBadLinesGiveErrors) {
    Script s(false);
    EXPECT_EQ(
        s.Run("# a comment\n\nconnect 127.0.0.1 -1 4294967297 \"demo\" demo\nCloseCall \"\"\n"
              "PlayMessage 42 \"hello world.wav\" 65535\nIncomingCallHandling 7 -4294967294\n"
              "SubscribeToVoiceMail 100\nUnjoinCalls\t\"q\\\"x\\\\y\" d\"e f\"\nHold 1\n"
              "CloseCall\nConnect h x 1 u p\nCloseCall \"open\nwait Nothing\nwindow destroy\n"
              "pump -1\n"),
        "Connect [127.0.0.1] -1 1 [demo] [demo]; Connect -> TRUE\nCloseCall []; CloseCall -> TRUE\n"
        "PlayMessage [42] [hello world.wav] -1; PlayMessage -> TRUE\n"
        "IncomingCallHandling [7] 2; IncomingCallHandling -> TRUE\n"
        "SubscribeToVoiceMail [100]; SubscribeToVoiceMail -> 1234\n"
        "UnjoinCalls [q\"x\\y] [de f]; UnjoinCalls -> TRUE\n"
        "error: unknown word: Hold\nerror: CloseCall takes 1 arguments, not 0\n"
        "error: Connect: argument 2 is no integer: x\nerror: unterminated quote\n"
        "error: unknown event: Nothing\nerror: window destroy: no window\n"
        "error: pump takes seconds\n");
}

// A wait ends with its event, telling the target to stop there; a pump never stops early. JSON
// texts escape quotes, backslashes and control characters, and bytes from 0x80 are code points.
TEST(ScriptDirectives, WaitEndsAtItsEventOrTimesOut) {
    Script s;
    s.onPump = [&](size_t pump) {
        if (pump == 1)
            s.Fire(ControlEventId::RequestFailed, {"1", 4, std::string("\"\\\n\t\x01\xE9\0x", 8)});
        if (pump == 3) s.Fire(ControlEventId::MessagePlayed, {"9"});
        if (pump == 4) s.Fire(ControlEventId::CallStateChanged, {"9", -2});
    };
    EXPECT_EQ(s.Run("wait CallStateChanged 5\nwait Disconnected 0.05\n"),
              "{\"event\":\"RequestFailed\",\"callID\":\"1\",\"failureCode\":4,"
              "\"failureString\":\"\\\"\\\\\\n\\t\\u0001\\u00e9\\u0000x\"}\n"
              "{\"event\":\"MessagePlayed\",\"callID\":\"9\"}\n"
              "{\"event\":\"CallStateChanged\",\"callID\":\"9\",\"callState\":-2}\n"
              "{\"wait\":\"Disconnected\",\"timedOut\":true}\n");
    std::vector<bool>& done = s.doneAfterPump;
    EXPECT_EQ(std::vector<bool>(done.begin(), done.begin() + 4), (std::vector<bool>{0, 0, 0, 1}));
    done.clear();
    s.Run("pump 0.06\n");
    EXPECT_EQ(done, std::vector<bool>(std::max<size_t>(done.size(), 1), false));
}

// Fields by their parameters' names, only free texts quoted; typed handlers get their types.
TEST(ScriptEvents, ReadableFieldsAndTypedDelivery) {
    Script s(false);
    s.Fire(ControlEventId::RequestFailed, {"1", 4, "busy"});
    s.Fire(ControlEventId::MailArrived, {"3", "tel:5", "a b", 12, 7});
    s.Fire(ControlEventId::SubscriptionConfirmed, {"3", 0, -1});
    EXPECT_EQ(s.out.str(),
              "event RequestFailed callID=1 failureCode=4 failureString=\"busy\"\n"
              "event MailArrived subscrID=3 caller=tel:5 time=\"a b\" duration=12 id=7\n"
              "event SubscriptionConfirmed subscrID=3 confirmed=FALSE errorCode=-1\n");
    struct Typed : VoxtrelEvents {
        void SubscriptionConfirmed(const std::string& id, bool on, int32_t code) override {
            seen += id + (on ? "+" : "-") + std::to_string(code);
        }
        std::string seen;
    } typed;
    for (int32_t on : {1, 0})
        typed.OnEvent(kControlEvents[7], std::vector<ControlValue>{"3", on, -1});
    EXPECT_EQ(typed.seen, "3+-13--1");
}

}  // namespace voxtrel
