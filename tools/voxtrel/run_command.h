// `voxtrel run [--json] [FILE]`: one control on the main thread, driven by a script.
#pragma once

namespace voxtrel {

// argv holds the words after "run". Returns the process's exit code: 0, or 2 for usage errors.
int RunCommand(int argc, char** argv);

}  // namespace voxtrel
