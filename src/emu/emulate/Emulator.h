// Sets up the emulated machine, runs the program (and a second one, when
// asked) against it, drives the timed plugging, and reports at the end.
#pragma once

#include "emu/emulate/Options.h"

namespace quorvel::emu::emulate {

// PROGRAM's exit status (127 when it cannot start).
int runPrograms(Config config);

}  // namespace quorvel::emu::emulate
