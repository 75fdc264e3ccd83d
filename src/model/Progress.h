// Progress of an upgrade, told to an observer the caller passes in. Both
// roads have the same two phases: the loader into RAM, then the firmware
// into flash.
#pragma once

#include <cstdint>
#include <functional>

namespace quorvel {

enum class UpgradePhase { loader, firmware };

// Told on the upgrading thread. `progressed` carries the phase's percent as
// the engine computes it (the road's own rounding), each time it changes.
struct ProgressObserver {
    std::function<void(UpgradePhase)> phaseStarted;
    std::function<void(UpgradePhase, int64_t)> progressed;
};

}  // namespace quorvel
