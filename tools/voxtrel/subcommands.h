// The subcommands of the voxtrel command. Each gets the arguments from its own name on
// (argv[0] is the subcommand's name) and returns the process's exit code.
#pragma once

namespace voxtrel::tools {

// voxtrel run: a scripting host for one control, commands one per line.
int RunScript(int argc, char** argv);
// voxtrel pbx: the call-processing service simulator in the foreground.
int RunPbx(int argc, char** argv);
// voxtrel demo: the simulator in this process and a control walking every capability.
int RunDemo(int argc, char** argv);
// voxtrel netinfo: host name, interfaces, routing table and the route towards an address.
int RunNetinfo(int argc, char** argv);

}  // namespace voxtrel::tools
