// The subcommands of the voxtrel command. Each gets the arguments from its own name on
// (argv[0] is the subcommand's name) and returns the process's exit code.
#pragma once

namespace voxtrel::tools {

// voxtrel pbx: the call-processing service simulator in the foreground.
int RunPbx(int argc, char** argv);

}  // namespace voxtrel::tools
