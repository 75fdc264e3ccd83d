// --diagnose: whether this machine is set up for the chips, before anyone
// blames a chip. One line per check: OK, WARN or FAIL, what was checked and,
// for WARN and FAIL, the fix. Nothing is sent to any chip.
#pragma once

#include <string>
#include <vector>

namespace quorvel {

class JsonOutput;

struct DiagnosisLine {
    enum class Level { ok, warn, fail } level = Level::ok;
    std::string what;
    std::string fix;  // empty for OK
};

struct DiagnosisHost {
    // Where udev reads rules; QUORVEL_UDEV_RULES_PATH (folders separated
    // by ':') replaces the list, for unusual systems and for tests.
    std::vector<std::string> udevRuleFolders;
    // The USB chips attached, as device nodes (/dev/bus/usb/BBB/DDD).
    std::vector<std::string> usbNodes;
};

std::vector<DiagnosisLine> diagnose(const DiagnosisHost& host);

// The checks on this host, printed (or as JSON events). Returns the exit
// status, 1 when any check failed; `outcome` is the result's message.
int runDiagnosis(JsonOutput* json, std::string& outcome);

}  // namespace quorvel
