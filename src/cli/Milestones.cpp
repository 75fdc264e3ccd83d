#include "cli/Milestones.h"

namespace quorvel {

namespace {
constexpr int64_t kMilestones[] = {20, 40, 60, 80, 100};
}

MilestoneLines::MilestoneLines(MilestoneRule rule, Say say, Told told)
    : rule_(rule), say_(std::move(say)), told_(std::move(told)) {}

ProgressObserver MilestoneLines::observer() {
    return {
        .phaseStarted = [this](UpgradePhase phase) { started(phase); },
        .progressed = [this](UpgradePhase phase, int64_t percent) { progressed(phase, percent); },
        .phaseEnded = [this](UpgradePhase phase) { ended(phase); },
    };
}

const char* MilestoneLines::phaseName(UpgradePhase phase) {
    return phase == UpgradePhase::loader ? "Initializing..." : "Programming...";
}

void MilestoneLines::started(UpgradePhase phase) {
    previous_ = 0;
    if (rule_ == MilestoneRule::reaching) say_(phaseName(phase));
}

// Each milestone between the last percent and this one, by the road's rule.
void MilestoneLines::progressed(UpgradePhase phase, int64_t percent) {
    for (const int64_t milestone : kMilestones) {
        if (rule_ == MilestoneRule::leaving) {
            // 100 is never left: the phase's end tells it.
            if (milestone < 100 && previous_ == milestone && percent != previous_)
                tell(phase, percent - 1, milestone == 20);
        } else if (previous_ < milestone && milestone <= percent) {
            tell(phase, milestone, false);
        }
    }
    previous_ = percent;
}

void MilestoneLines::ended(UpgradePhase phase) {
    if (rule_ == MilestoneRule::leaving) tell(phase, 100, false);
}

void MilestoneLines::tell(UpgradePhase phase, int64_t percent, bool withName) {
    const std::string line = std::to_string(percent) + "%...";
    say_(withName ? std::string(phaseName(phase)) + "\n" + line : line);
    if (told_) told_(phase, percent);
}

}  // namespace quorvel
