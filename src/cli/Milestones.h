// The milestone lines of an upgrade, for people watching a terminal: the
// phase's name ("Initializing...", "Programming..."), the percent at each
// fifth of the way ("40%..."), and "100%..." to close the phase. Both roads
// print them through this one formatter, each with the rule its lines have
// always followed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "model/Progress.h"

namespace quorvel {

enum class MilestoneRule {
    // The USB road: a milestone is told when progress leaves it, having
    // stood exactly on it, as one less than the new percent (64-byte RAM
    // frames go from 80 to 82 and tell "81%..."; a step over a milestone
    // tells nothing). The phase's name comes with the line that leaves 20;
    // "100%..." closes the phase when it ends, an empty one too.
    leaving,
    // The AUX road: the phase's name when it starts; each milestone once,
    // the first time progress reaches or passes it, however large the step;
    // "100%..." when progress reaches 100.
    reaching,
};

class MilestoneLines {
public:
    using Say = std::function<void(const std::string& line)>;
    // Each milestone as told (100 included), for machine-readable output.
    using Told = std::function<void(UpgradePhase phase, int64_t percent)>;

    MilestoneLines(MilestoneRule rule, Say say, Told told = {});

    // Tells this formatter; it must outlive the upgrade it observes.
    ProgressObserver observer();

    static const char* phaseName(UpgradePhase phase);

private:
    void started(UpgradePhase phase);
    void progressed(UpgradePhase phase, int64_t percent);
    void ended(UpgradePhase phase);
    void tell(UpgradePhase phase, int64_t percent, bool withName);

    MilestoneRule rule_;
    Say say_;
    Told told_;
    int64_t previous_ = 0;  // the phase's last percent
};

}  // namespace quorvel
