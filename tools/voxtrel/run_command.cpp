// The scripting host command: argument handling around ScriptHost and one control.

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>

#include "control/reconnect_supervisor.h"
#include "control/voxtrel_ctrl.h"
#include "script_host.h"
#include "session/wire_trace_sink.h"
#include "subcommands.h"

namespace voxtrel::tools {

namespace {

const char kUsage[] =
    "usage: voxtrel run [--json] [--reconnect MIN,MAX[,ATTEMPTS]] [--trace TRACE] [FILE]\n"
    "Creates one control on this thread and executes the commands of FILE (standard input\n"
    "when FILE is absent or -), one per line: a method of the control with exactly its\n"
    "arguments, or one of the directives\n"
    "  wait EVENT [SECONDS]   pump events until EVENT fires (default 10 seconds)\n"
    "  pump SECONDS           pump events for that long\n"
    "  sleep SECONDS          block without pumping\n"
    "  window create|destroy  (re)create or destroy the control's window\n"
    "  quit                   end the script\n"
    "With --json every method result, event, timed-out wait and error is one JSON line.\n"
    "With --reconnect a connection lost, not ended by Disconnect, is made again with the last\n"
    "Connect's arguments after MIN to MAX milliseconds (doubling, with jitter), at most\n"
    "ATTEMPTS tries in a row (no limit without it), while the script pumps or waits; then the\n"
    "extensions taken over and the subscriptions held are made again. The events Reconnecting\n"
    "(attempt, delay), Resubscribed (extensionName, oldSubscrID, subscrID) and Reconnected\n"
    "report it, and wait accepts their names.\n"
    "With --trace every message sent (>) and received (<) is one line of TRACE: the UTC time,\n"
    "the direction and the document, the password of an authenticate request as ****.\n";

// MIN,MAX[,ATTEMPTS] in milliseconds: MIN at least 1, MAX at least MIN, ATTEMPTS at least 0.
bool ParseReconnect(const char* text, ReconnectPolicy& policy) {
    long values[3] = {0, 0, 0};
    int count = 0;
    for (const char* at = text;;) {
        char* end = nullptr;
        errno = 0;
        long value = std::strtol(at, &end, 10);
        if (errno != 0 || end == at || value < 0 || value > 0x7FFFFFFF) return false;
        values[count++] = value;
        if (*end == 0) break;
        if (*end != ',' || count == 3) return false;
        at = end + 1;
    }
    if (count < 2 || values[0] < 1 || values[1] < values[0]) return false;
    policy.minDelay = std::chrono::milliseconds(values[0]);
    policy.maxDelay = std::chrono::milliseconds(values[1]);
    policy.maxAttempts = static_cast<int32_t>(values[2]);
    return true;
}

// The wire trace's file, written from the control's worker thread, a whole line at a time.
class TraceFile final : public WireTraceSink {
  public:
    bool Open(const char* path) {
        out_.open(path, std::ios::binary | std::ios::trunc);
        return static_cast<bool>(out_);
    }
    void OnWireMessage(WireDirection direction, std::chrono::system_clock::time_point time,
                       std::string_view document) override {
        std::string line = WireTraceLine(direction, time, document);
        std::lock_guard<std::mutex> lock(lock_);
        out_ << line << std::flush;
    }

  private:
    std::mutex lock_;
    std::ofstream out_;
};

}  // namespace

int RunScript(int argc, char** argv) {
    bool json = false;
    const char* file = nullptr;
    const char* reconnect = nullptr;
    ReconnectPolicy policy;
    const char* tracePath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--reconnect") == 0) {
            reconnect = i + 1 < argc ? argv[++i] : "";
            if (!ParseReconnect(reconnect, policy)) {
                std::cerr << "voxtrel run: --reconnect takes MIN,MAX[,ATTEMPTS] in milliseconds\n"
                          << kUsage;
                return 2;
            }
        } else if (std::strcmp(argv[i], "--trace") == 0) {
            if (i + 1 >= argc) {
                std::cerr << "voxtrel run: --trace needs a file\n" << kUsage;
                return 2;
            }
            tracePath = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << kUsage;
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] != 0) {
            std::cerr << "voxtrel run: unknown option " << argv[i] << "\n" << kUsage;
            return 2;
        } else if (file == nullptr) {
            file = argv[i];
        } else {
            std::cerr << "voxtrel run: more than one script\n" << kUsage;
            return 2;
        }
    }
    std::ifstream script;
    bool fromStdin = file == nullptr || std::strcmp(file, "-") == 0;
    if (!fromStdin) {
        script.open(file, std::ios::binary);
        if (!script) {
            std::cerr << "voxtrel run: cannot open " << file << "\n";
            return 2;
        }
    }
    // Declared before the control, whose worker writes to it until the control is gone.
    TraceFile trace;
    if (tracePath != nullptr && !trace.Open(tracePath)) {
        std::cerr << "voxtrel run: cannot write " << tracePath << "\n";
        return 2;
    }
    CVoxtrelCtrl control;
    std::optional<ReconnectSupervisor> supervisor;
    if (reconnect != nullptr) {
        supervisor.emplace(control);
        supervisor->SetPolicy(policy);
    }
    if (tracePath != nullptr) control.SetWireTrace(&trace);
    ControlScriptTarget target(control, supervisor ? &*supervisor : nullptr);
    ScriptHost host(target, std::cout, json);
    if (supervisor) {
        supervisor->SetEventSink(&host);
    } else {
        control.SetEventSink(&host);
    }
    host.Run(fromStdin ? std::cin : script);
    if (supervisor) supervisor->SetEventSink(nullptr);
    control.SetEventSink(nullptr);
    return 0;
}

}  // namespace voxtrel::tools
