// The voxtrel command: one executable whose first argument names the tool to run.
#include <cstdio>
#include <string_view>

#include "subcommands.h"

namespace {

struct Subcommand {
    const char* name;
    const char* synopsis;
    const char* summary;
    // Null while the subcommand is not part of the build yet.
    int (*run)(int argc, char** argv);
};

constexpr Subcommand kSubcommands[] = {
    {"run", "run [--json] [FILE]", "a scripting host for the control, commands one per line",
     voxtrel::tools::RunScript},
    {"pbx", "pbx [OPTIONS]", "a call-processing service simulator", voxtrel::tools::RunPbx},
    {"demo", "demo", "the simulator and a control walking through every capability",
     voxtrel::tools::RunDemo},
    {"netinfo", "netinfo [ADDRESS]",
     "host name, interfaces, routes and the route a connection to ADDRESS takes",
     voxtrel::tools::RunNetinfo},
};

void PrintUsage(std::FILE* out) {
    std::fprintf(out, "Usage: voxtrel COMMAND [ARGUMENTS]\n\nCommands:\n");
    for (const Subcommand& command : kSubcommands) {
        std::fprintf(out, "  %-22s %s\n", command.synopsis, command.summary);
    }
    std::fprintf(out, "\nvoxtrel COMMAND --help describes a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    std::string_view name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        PrintUsage(stdout);
        return 0;
    }
    for (const Subcommand& command : kSubcommands) {
        if (name != command.name) continue;
        if (command.run == nullptr) {
            std::fprintf(stderr, "voxtrel %s: not built yet\n", command.name);
            return 1;
        }
        return command.run(argc - 1, argv + 1);
    }
    std::fprintf(stderr, "voxtrel: unknown command %s\n\n", argv[1]);
    PrintUsage(stderr);
    return 2;
}
