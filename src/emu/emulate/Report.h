// What quorvel-emulate says on standard error: what each chip received,
// whether its flash equals the firmware file, and how the programs ended.
#pragma once

#include <string>
#include <vector>

#include "emu/emulate/Machine.h"
#include "emu/emulate/Options.h"

namespace quorvel::emu::emulate {

// One line of ours on standard error.
void out(const std::string& line);

void reportMachine(const Config& config, const Machine& machine);
void reportEnd(const std::vector<std::string>& program, int status);

}  // namespace quorvel::emu::emulate
