// voxtrel pbx: the call-processing service simulator in the foreground, driven by commands on
// standard input until SIGINT or SIGTERM.
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "console.h"
#include "net/socket_state.h"
#include "pbx/pbx_simulator.h"
#include "subcommands.h"

namespace voxtrel::tools {

namespace {

using pbx::PbxOptions;
using pbx::PbxSimulator;

void PrintHelp() {
    PbxOptions defaults;
    std::string text =
        "Usage: voxtrel pbx [OPTIONS]\n"
        "\n"
        "A call-processing service simulator that keeps the service contract of the control: it\n"
        "listens for controls, authenticates each connection, answers every request in order,\n"
        "plays the call model below and sends its notifications, offers and voice-mail notices.\n"
        "\n"
        "Options:\n"
        "  --listen HOST:PORT     listen there (default 127.0.0.1:0, a free port); the first line\n"
        "                         of output is \"listening HOST:PORT\" with the real port\n"
        "  --user NAME:PASSWORD   an account that may authenticate; repeatable (default "
        "demo:demo)\n"
        "  --max-connections N    connections served at once (default " +
        std::to_string(defaults.maxConnections) +
        "); more are closed\n"
        "  --verbose              reports connections and calls on standard error, and every\n"
        "                         message received (<) and sent (>) as a wire trace line behind\n"
        "                         its connection: UTC time, direction, document\n"
        "  --help                 this text\n"
        "\n"
        "Faults to inject from the start (the console commands below change them later):\n"
        "  --delay METHOD:MS      answers to METHOD leave MS milliseconds late, still in order\n"
        "                         (delay); repeatable\n"
        "  --fault METHOD:CODE[:TEXT]\n"
        "                         every request of METHOD gets this fault (fault-rate at 100)\n"
        "  --fault-rate METHOD:PERCENT:CODE[:TEXT]\n"
        "                         a request of METHOD gets this fault with that chance\n"
        "  --mute METHOD          requests of METHOD are never answered (mute); repeatable\n"
        "  --close-chance PERCENT after each message written or read, a connection is closed\n"
        "                         with that chance, possibly in the middle of a message\n"
        "  --split-writes         each write hands the socket a random prefix, so that peers\n"
        "                         receive messages in random pieces\n"
        "  --slow-read BYTES_PER_SECOND\n"
        "                         reads at most that rate from each connection\n"
        "  --seed N               the seed of the random choices, so that a run repeats\n"
        "                         (default: one from the system; the chaos command prints it)\n"
        "Garbage, unterminated floods and hostile messages are sent by the commands garbage,\n"
        "flood, nest, attributes, cr-flood and crlfcr-flood.\n"
        "\n" +
        pbx::DescribeCommands() +
        "End of input does not stop the service; SIGINT and SIGTERM do (exit code 0).\n"
        "\n" +
        pbx::DescribeCallModel(defaults.timings) + "\n" + pbx::DescribeAnswers();
    std::fputs(text.c_str(), stdout);
}

int UsageError(const std::string& text) {
    std::fprintf(stderr, "voxtrel pbx: %s\nvoxtrel pbx --help describes the options.\n",
                 text.c_str());
    return 2;
}

bool ParseListen(std::string_view text, PbxOptions& options) {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::string_view port = text.substr(colon + 1);
    uint16_t value = 0;
    auto result = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || result.ec != std::errc() || result.ptr != port.data() + port.size()) {
        return false;
    }
    options.host = std::string(text.substr(0, colon));
    options.port = value;
    return true;
}

bool ParseUser(std::string_view text, PbxOptions& options) {
    // The password may hold colons; the name may not.
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    options.users.push_back(
        {std::string(text.substr(0, colon)), std::string(text.substr(colon + 1))});
    return true;
}

bool ParseCount(std::string_view text, size_t& count) {
    auto result = std::from_chars(text.data(), text.data() + text.size(), count);
    return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size() &&
           count > 0;
}

bool ParseSeed(std::string_view text, PbxOptions& options) {
    auto result = std::from_chars(text.data(), text.data() + text.size(), options.seed);
    return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// An option that is a console command in disguise: its value's parts, split at the first
// `parts - 1` colons, become the command's words after `command`. A text part may hold colons
// and spaces; the other parts may not be empty or hold blanks.
bool ToCommand(std::string_view command, std::string_view value, size_t parts, size_t required,
               PbxOptions& options) {
    std::string line(command);
    size_t given = 0;
    while (given < parts && !value.empty()) {
        size_t colon = given + 1 < parts ? value.find(':') : std::string_view::npos;
        std::string_view part = value.substr(0, colon);
        if (part.empty() || (given + 1 < parts && part.find_first_of(" \t") != part.npos)) {
            return false;
        }
        line += " ";
        line += part;
        ++given;
        value = colon == std::string_view::npos ? std::string_view() : value.substr(colon + 1);
    }
    if (given < required) return false;
    options.commands.push_back(line);
    return true;
}

// The faults of the options, as console commands for the simulator's start; false when the
// option is none of them or its value does not do.
bool ParseFaultOption(std::string_view option, std::string_view value, PbxOptions& options) {
    if (option == "--delay") return ToCommand("delay", value, 2, 2, options);
    if (option == "--fault") {
        // Every request: a rate of 100 in front of the code.
        size_t colon = value.find(':');
        if (colon == std::string_view::npos || colon == 0) return false;
        std::string rated =
            std::string(value.substr(0, colon)) + ":100" + std::string(value.substr(colon));
        return ToCommand("fault-rate", rated, 4, 3, options);
    }
    if (option == "--fault-rate") return ToCommand("fault-rate", value, 4, 3, options);
    if (option == "--mute") return ToCommand("mute", value, 1, 1, options);
    if (option == "--close-chance") return ToCommand("chaos close", value, 1, 1, options);
    if (option == "--slow-read") return ToCommand("chaos slow-read", value, 1, 1, options);
    if (option == "--seed") return ParseSeed(value, options);
    return false;
}

bool IsFaultOption(std::string_view option) {
    return option == "--delay" || option == "--fault" || option == "--fault-rate" ||
           option == "--mute" || option == "--close-chance" || option == "--slow-read" ||
           option == "--seed";
}

bool IsComment(const std::string& line) {
    size_t first = line.find_first_not_of(" \t");
    return first == std::string::npos || line[first] == '#';
}

}  // namespace

int RunPbx(int argc, char** argv) {
    PbxOptions options;
    // The option behind each of options.commands, for the error message when one is refused.
    std::vector<std::string> commandSources;
    // Peers that vanish make sockets fail; that is the service's daily business, not news.
    SetShowSocketErrors(false);
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        if (option == "--help" || option == "-h") {
            PrintHelp();
            return 0;
        }
        if (option == "--verbose") {
            options.log = [](const std::string& line) {
                std::fprintf(stderr, "pbx: %s\n", line.c_str());
            };
            continue;
        }
        if (option == "--split-writes") {
            options.commands.push_back("chaos split on");
            commandSources.push_back(std::string(option));
            continue;
        }
        if (option != "--listen" && option != "--user" && option != "--max-connections" &&
            !IsFaultOption(option)) {
            return UsageError("unknown option " + std::string(option));
        }
        if (i + 1 >= argc) return UsageError(std::string(option) + " needs a value");
        std::string_view value = argv[++i];
        bool ok = option == "--listen"            ? ParseListen(value, options)
                  : option == "--user"            ? ParseUser(value, options)
                  : option == "--max-connections" ? ParseCount(value, options.maxConnections)
                                                  : ParseFaultOption(option, value, options);
        if (!ok)
            return UsageError("bad value for " + std::string(option) + ": " + std::string(value));
        while (commandSources.size() < options.commands.size())
            commandSources.push_back(std::string(option) + " " + std::string(value));
    }

    std::unique_ptr<Console> console = Console::Open();
    if (!console) {
        std::fprintf(stderr, "voxtrel pbx: cannot take over the console\n");
        return 1;
    }
    PbxSimulator simulator;
    std::string error;
    if (!simulator.Start(options, &error)) {
        // A fault option that the service refuses (an unknown method, say) is a usage error.
        for (size_t i = 0; i < options.commands.size(); ++i) {
            std::string prefix = options.commands[i] + ": error: ";
            if (error.rfind(prefix, 0) != 0) continue;
            std::string reason = error.substr(prefix.size());
            if (reason.rfind("usage: ", 0) == 0) reason = "bad value";
            return UsageError(commandSources[i] + ": " + reason);
        }
        std::fprintf(stderr, "voxtrel pbx: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening %s:%u\n", simulator.Host().c_str(),
                static_cast<unsigned>(simulator.Port()));
    std::fflush(stdout);

    std::string line;
    for (;;) {
        Console::Event event = console->Next(line);
        if (event == Console::Event::kStop) break;
        if (event == Console::Event::kEndOfInput || IsComment(line)) continue;
        std::string reply;
        simulator.Command(line, reply);
        std::printf("%s\n", reply.c_str());
        std::fflush(stdout);
    }
    simulator.Stop();
    return 0;
}

}  // namespace voxtrel::tools
