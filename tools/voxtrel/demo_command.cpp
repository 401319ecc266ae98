// `voxtrel demo`: the simulator on a free loopback port inside this process, and one control
// walking through every capability, with a readable transcript of methods and events.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "control/voxtrel_ctrl.h"
#include "pbx/pbx_simulator.h"
#include "subcommands.h"

namespace voxtrel::tools {

namespace {

struct Seen {
    std::string name;
    std::vector<std::string> args;
};

// Prints every event as it fires and keeps it for the checks of the walk.
class Transcript : public VoxtrelEvents {
  public:
    void CallStateChanged(const std::string& id, int16_t state) override {
        Add("CallStateChanged", {id, std::to_string(state)});
    }
    void MessagePlayed(const std::string& id) override { Add("MessagePlayed", {id}); }
    void DtmfDigitReceived(const std::string& id, int16_t digit) override {
        Add("DtmfDigitReceived", {id, std::to_string(digit)});
    }
    void RequestFailed(const std::string& id, int32_t code, const std::string& text) override {
        Add("RequestFailed", {id, std::to_string(code), text});
    }
    void Disconnected() override { Add("Disconnected", {}); }
    void CallArrived(const std::string& id, const std::string& caller, const std::string& callee,
                     const std::string& origin) override {
        Add("CallArrived", {id, caller, callee, origin});
    }
    void MailArrived(const std::string& id, const std::string& caller, const std::string& time,
                     int32_t duration, int32_t mailId) override {
        Add("MailArrived", {id, caller, time, std::to_string(duration), std::to_string(mailId)});
    }
    void SubscriptionConfirmed(const std::string& id, bool confirmed, int32_t code) override {
        Add("SubscriptionConfirmed", {id, confirmed ? "true" : "false", std::to_string(code)});
    }

    std::vector<Seen> seen;

  private:
    void Add(const char* name, std::vector<std::string> args) {
        std::printf("   <- %s(", name);
        for (size_t i = 0; i < args.size(); ++i) {
            std::printf("%s%s", i ? ", " : "", args[i].c_str());
        }
        std::printf(")\n");
        std::fflush(stdout);
        seen.push_back({name, std::move(args)});
    }
};

class Demo {
  public:
    Demo(CVoxtrelCtrl& control, Transcript& transcript, pbx::PbxSimulator& pbx)
        : control_(control), transcript_(transcript), pbx_(pbx) {}

    void Step(const char* title) { std::printf("\n== %s\n", title); }

    // Pumps until an event named name whose arguments satisfy match fires after the last check.
    bool Expect(const char* name, std::function<bool(const std::vector<std::string>&)> match,
                double seconds = 5) {
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        for (;;) {
            for (; checked_ < transcript_.seen.size(); ++checked_) {
                const Seen& event = transcript_.seen[checked_];
                if (event.name == name && (!match || match(event.args))) {
                    ++checked_;
                    return true;
                }
            }
            if (std::chrono::steady_clock::now() >= deadline) break;
            control_.PumpEvents(50);
        }
        std::printf("   !! expected %s did not arrive\n", name);
        ++missing_;
        return false;
    }

    bool ExpectState(const std::string& callId, int state, double seconds = 5) {
        return Expect(
            "CallStateChanged",
            [&](const std::vector<std::string>& a) {
                return a[0] == callId && a[1] == std::to_string(state);
            },
            seconds);
    }

    void Show(const char* method, const std::string& args, const std::string& result) {
        std::printf("   -> %s(%s) = %s\n", method, args.c_str(), result.c_str());
        std::fflush(stdout);
    }
    bool Check(const char* method, const std::string& args, bool result) {
        Show(method, args, result ? "TRUE" : "FALSE");
        if (!result) ++missing_;
        return result;
    }

    std::string Console(const std::string& line) {
        std::string reply;
        pbx_.Command(line, reply);
        std::printf("   pbx> %s -> %s\n", line.c_str(), reply.c_str());
        return reply;
    }

    // Repeats a console command until the service accepts it, for at most two seconds: the
    // request that makes it acceptable (taking an extension over, switching detection on) may
    // still be on its way.
    std::string Retry(const std::string& line) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        std::string reply;
        while (!pbx_.Command(line, reply) && std::chrono::steady_clock::now() < deadline) {
            control_.PumpEvents(20);
        }
        std::printf("   pbx> %s -> %s\n", line.c_str(), reply.c_str());
        return reply;
    }

    int Missing() const { return missing_; }

  private:
    CVoxtrelCtrl& control_;
    Transcript& transcript_;
    pbx::PbxSimulator& pbx_;
    size_t checked_ = 0;
    int missing_ = 0;
};

}  // namespace

int RunDemo(int argc, char** argv) {
    if (argc > 1) {
        std::printf(
            "usage: voxtrel demo\nStarts the simulator in this process on a free loopback "
            "port and walks a control through every capability.\n");
        return std::string(argv[1]) == "--help" ? 0 : 2;
    }
    pbx::PbxSimulator pbx;
    std::string error;
    if (!pbx.Start(pbx::PbxOptions{}, &error)) {
        std::fprintf(stderr, "voxtrel demo: the simulator did not start: %s\n", error.c_str());
        return 1;
    }
    std::printf("simulator listening on %s:%u (user demo, password demo)\n", pbx.Host().c_str(),
                static_cast<unsigned>(pbx.Port()));
    CVoxtrelCtrl control;
    Transcript transcript;
    control.SetEventSink(&transcript);
    Demo demo(control, transcript, pbx);
    auto port = static_cast<int16_t>(pbx.Port());

    demo.Step("Connect and authenticate");
    if (!demo.Check("Connect", pbx.Host() + ", " + std::to_string(pbx.Port()) + ", 5, demo, demo",
                    control.Connect(pbx.Host(), port, 5, "demo", "demo"))) {
        return 1;
    }

    demo.Step("A call: dialing, ringing, connected");
    std::string call = control.CreateCall("pbx:200", "pbx:100");
    demo.Show("CreateCall", "pbx:200, pbx:100", call);
    demo.ExpectState(call, 1);
    demo.ExpectState(call, 2);
    demo.ExpectState(call, 3);

    demo.Step("DTMF detection");
    demo.Check("EnableDtmfDetection", call + ", 1", control.EnableDtmfDetection(call, 1));
    demo.Retry("dtmf " + call + " 42#");
    for (int digit : {'4', '2', '#'}) {
        demo.Expect("DtmfDigitReceived", [&](const std::vector<std::string>& a) {
            return a[0] == call && a[1] == std::to_string(digit);
        });
    }

    demo.Step("A message played into the call");
    demo.Check("PlayMessage", call + ", welcome.wav, 1",
               control.PlayMessage(call, "welcome.wav", 1));
    demo.Expect("MessagePlayed", [&](const std::vector<std::string>& a) { return a[0] == call; });

    demo.Step("A second call, joined to the first and unjoined");
    std::string second = control.CreateCall("pbx:201", "pbx:101");
    demo.Show("CreateCall", "pbx:201, pbx:101", second);
    demo.ExpectState(second, 3);
    demo.Check("JoinCalls", call + ", " + second, control.JoinCalls(call, second));
    demo.ExpectState(call, 5);
    demo.ExpectState(second, 5);
    demo.Check("UnjoinCalls", call + ", " + second, control.UnjoinCalls(call, second));
    demo.ExpectState(call, 3);
    demo.ExpectState(second, 3);

    demo.Step("Transfer the second call, close the first");
    demo.Check("TransferCall", second + ", pbx:102", control.TransferCall(second, "pbx:102"));
    demo.ExpectState(second, 4);
    demo.ExpectState(second, 6);
    demo.Check("CloseCall", call, control.CloseCall(call));
    demo.ExpectState(call, 6);

    demo.Step("Incoming calls for extension 300: accept, reject, forward");
    demo.Check("IncomingCallHandling", "300, 1", control.IncomingCallHandling("300", 1));
    demo.Console("status");
    for (const char* answer : {"accept", "reject", "forward"}) {
        // The service takes the extension over when the request arrives, a moment later.
        std::string offered = demo.Retry("offer 300 sip:alice@example.com");
        demo.Expect("CallArrived",
                    [&](const std::vector<std::string>& a) { return a[0] == offered; });
        if (std::string(answer) == "accept") {
            demo.Check("AcceptCall", offered + ", 100, Front Desk",
                       control.AcceptCall(offered, "100", "Front Desk"));
        } else if (std::string(answer) == "reject") {
            demo.Check("RejectCall", offered, control.RejectCall(offered));
        } else {
            demo.Check("ForwardCall", offered + ", pbx:301, 100, Front Desk",
                       control.ForwardCall(offered, "pbx:301", "100", "Front Desk"));
        }
    }
    control.PumpEvents(300);

    demo.Step("Voice mail for extension 300");
    std::string subscription = control.SubscribeToVoiceMail("300");
    demo.Show("SubscribeToVoiceMail", "300", subscription);
    demo.Expect("SubscriptionConfirmed",
                [&](const std::vector<std::string>& a) { return a[0] == subscription; });
    demo.Console("mail " + subscription + " tel:5551234 42 7");
    demo.Expect("MailArrived", [&](const std::vector<std::string>& a) {
        return a[0] == subscription && a[1] == "tel:5551234";
    });
    demo.Check("Unsubscribe", subscription, control.Unsubscribe(subscription));

    demo.Step("A fault from the service");
    demo.Console("fault closecall 4 busy");
    demo.Check("CloseCall", "1", control.CloseCall("1"));
    demo.Expect("RequestFailed",
                [&](const std::vector<std::string>& a) { return a[0] == "1" && a[1] == "4"; });

    demo.Step("The service closes the connection");
    demo.Console("mute closecall");
    demo.Check("CloseCall", "2", control.CloseCall("2"));
    control.PumpEvents(300);
    demo.Console("close");
    demo.Expect("RequestFailed",
                [&](const std::vector<std::string>& a) { return a[0] == "2" && a[1] == "102"; });
    demo.Expect("Disconnected", nullptr);

    demo.Step("Reconnect and disconnect");
    demo.Check("Connect", pbx.Host() + ", " + std::to_string(pbx.Port()) + ", 5, demo, demo",
               control.Connect(pbx.Host(), port, 5, "demo", "demo"));
    demo.Check("Disconnect", "", control.Disconnect());

    control.SetEventSink(nullptr);
    pbx.Stop();
    if (demo.Missing() == 0) {
        std::printf("\ndemo complete: every expected event arrived\n");
        return 0;
    }
    std::printf("\ndemo incomplete: %d expectation(s) not met\n", demo.Missing());
    return 1;
}

}  // namespace voxtrel::tools
