// The milestone lines of both roads from one formatter: each road's rule on
// the progress its engine reports, and the milestones told beside the lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/Milestones.h"

namespace quorvel {
namespace {

using P = UpgradePhase;

struct Event {
    enum Kind { start, percent, end } kind;
    P phase;
    int64_t value = 0;
};

Event started(P p) { return {Event::start, p}; }
Event at(P p, int64_t v) { return {Event::percent, p, v}; }
Event ended(P p) { return {Event::end, p}; }

// Percents 1..100 of a phase, in steps of `step` (the last one landing on 100).
std::vector<Event> steps(P p, int64_t first, int64_t step) {
    std::vector<Event> out{started(p)};
    for (int64_t v = first; v < 100; v += step) out.push_back(at(p, v));
    out.push_back(at(p, 100));
    out.push_back(ended(p));
    return out;
}

std::vector<Event> join(std::vector<Event> a, const std::vector<Event>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(MilestoneLines, EachRoadKeepsItsRule) {
    struct Case {
        const char* name;
        MilestoneRule rule;
        std::vector<Event> events;
        std::string lines;
        std::vector<std::pair<P, int64_t>> told;
    };
    const std::string fifths = "20%...\n40%...\n60%...\n80%...\n100%...\n";
    const std::vector<std::pair<P, int64_t>> everyMilestone = {{P::loader, 20},   {P::loader, 40},   {P::loader, 60},
                                                               {P::loader, 80},   {P::loader, 100},  {P::firmware, 20},
                                                               {P::firmware, 40}, {P::firmware, 60}, {P::firmware, 80},
                                                               {P::firmware, 100}};
    const Case cases[] = {
        {"USB, one percent a step", MilestoneRule::leaving,
         join(steps(P::loader, 1, 1), join({at(P::firmware, 0)}, steps(P::firmware, 1, 1))),
         "Initializing...\n" + fifths + "Programming...\n" + fifths, everyMilestone},
        // 64-byte RAM frames: 80 goes on to 82.
        {"USB, left at one less than the next percent",
         MilestoneRule::leaving,
         {started(P::loader), at(P::loader, 20), at(P::loader, 21), at(P::loader, 40), at(P::loader, 41),
          at(P::loader, 80), at(P::loader, 82), at(P::loader, 100), ended(P::loader)},
         "Initializing...\n20%...\n40%...\n81%...\n100%...\n",
         {{P::loader, 20}, {P::loader, 40}, {P::loader, 81}, {P::loader, 100}}},
        {"USB, a step over a milestone tells nothing",
         MilestoneRule::leaving,
         {started(P::firmware), at(P::firmware, 19), at(P::firmware, 21), at(P::firmware, 60), at(P::firmware, 62),
          ended(P::firmware)},
         "61%...\n100%...\n",
         {{P::firmware, 61}, {P::firmware, 100}}},
        {"USB, an empty phase still ends",
         MilestoneRule::leaving,
         {started(P::loader), ended(P::loader)},
         "100%...\n",
         {{P::loader, 100}}},
        {"USB, a failure ends without 100",
         MilestoneRule::leaving,
         {started(P::loader), at(P::loader, 20), at(P::loader, 30)},
         "Initializing...\n29%...\n",
         {{P::loader, 29}}},
        {"AUX, one percent a step", MilestoneRule::reaching,
         join(steps(P::loader, 1, 1), join({at(P::firmware, 0)}, steps(P::firmware, 1, 1))),
         "Initializing...\n" + fifths + "Programming...\n" + fifths, everyMilestone},
        // The AUX road tells the firmware's 0 before the phase starts.
        {"AUX, large steps tell every milestone passed, once",
         MilestoneRule::reaching,
         {started(P::loader), at(P::loader, 45), at(P::loader, 45), at(P::loader, 100), at(P::firmware, 0),
          started(P::firmware), at(P::firmware, 20), at(P::firmware, 100), ended(P::firmware)},
         "Initializing...\n20%...\n40%...\n60%...\n80%...\n100%...\nProgramming...\n" + fifths,
         everyMilestone},
        {"AUX, a failure ends after the phase's name",
         MilestoneRule::reaching,
         {started(P::loader), at(P::loader, 10)},
         "Initializing...\n",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string lines;
        std::vector<std::pair<P, int64_t>> told;
        MilestoneLines formatter(
            c.rule, [&](const std::string& line) { lines += line + "\n"; },
            [&](P phase, int64_t percent) { told.emplace_back(phase, percent); });
        const ProgressObserver observer = formatter.observer();
        for (const Event& e : c.events) {
            if (e.kind == Event::start) observer.started(e.phase);
            if (e.kind == Event::percent) observer.reached(e.phase, e.value);
            if (e.kind == Event::end) observer.ended(e.phase);
        }
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(told, c.told);
    }
}

}  // namespace
}  // namespace quorvel
