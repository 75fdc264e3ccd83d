// Progress of an upgrade, told to an observer the caller passes in. Both
// roads have the same two phases: the loader into RAM, then the firmware
// into flash.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace quorvel {

enum class UpgradePhase { loader, firmware };

// Told on the upgrading thread. `progressed` carries the phase's percent as
// the engine computes it (the road's own rounding), each time it changes.
// `phaseEnded` follows the phase's last accepted byte (also for an empty
// image); a failure ends a phase without it.
struct ProgressObserver {
    std::function<void(UpgradePhase)> phaseStarted;
    std::function<void(UpgradePhase, int64_t)> progressed;
    std::function<void(UpgradePhase)> phaseEnded;

    void started(UpgradePhase phase) const {
        if (phaseStarted) phaseStarted(phase);
    }
    void reached(UpgradePhase phase, int64_t percent) const {
        if (progressed) progressed(phase, percent);
    }
    void ended(UpgradePhase phase) const {
        if (phaseEnded) phaseEnded(phase);
    }
};

// The one place a road's process-wide percentage is written: an observer
// that stores each percent in `setting` (read by the window's timer), then
// tells `next`.
inline ProgressObserver publishing(std::atomic<int64_t>& setting, ProgressObserver next) {
    ProgressObserver published = next;
    published.progressed = [&setting, tell = std::move(next.progressed)](UpgradePhase phase, int64_t percent) {
        setting = percent;
        if (tell) tell(phase, percent);
    };
    return published;
}

}  // namespace quorvel
