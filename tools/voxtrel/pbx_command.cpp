// voxtrel pbx: the call-processing service simulator in the foreground, driven by commands on
// standard input until SIGINT or SIGTERM.
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

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
        "  --verbose              reports connections, requests, answers and notifications on\n"
        "                         standard error\n"
        "  --help                 this text\n"
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

bool IsComment(const std::string& line) {
    size_t first = line.find_first_not_of(" \t");
    return first == std::string::npos || line[first] == '#';
}

}  // namespace

int RunPbx(int argc, char** argv) {
    PbxOptions options;
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
        if (option != "--listen" && option != "--user" && option != "--max-connections") {
            return UsageError("unknown option " + std::string(option));
        }
        if (i + 1 >= argc) return UsageError(std::string(option) + " needs a value");
        std::string_view value = argv[++i];
        bool ok = option == "--listen" ? ParseListen(value, options)
                  : option == "--user" ? ParseUser(value, options)
                                       : ParseCount(value, options.maxConnections);
        if (!ok)
            return UsageError("bad value for " + std::string(option) + ": " + std::string(value));
    }

    std::unique_ptr<Console> console = Console::Open();
    if (!console) {
        std::fprintf(stderr, "voxtrel pbx: cannot take over the console\n");
        return 1;
    }
    PbxSimulator simulator;
    std::string error;
    if (!simulator.Start(options, &error)) {
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
