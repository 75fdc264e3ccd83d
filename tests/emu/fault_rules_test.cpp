// When both chip models fail: counted from arming, 1 the next one; the
// first armed rule decides; every rule a request matches is used up.
#include <gtest/gtest.h>

#include <string>

#include "emu/FaultRules.h"

namespace quorvel::emu {
namespace {

enum class Kind { A, B, Status };
using Rules = FaultRules<Kind, char>;

// What each request of `requests` did: its effect, '.' for none.
std::string run(Rules& rules, const std::vector<std::pair<Kind, std::optional<size_t>>>& requests) {
    std::string effects;
    for (const auto& [kind, page] : requests) effects += rules.take(kind, page).value_or('.');
    return effects;
}

TEST(FaultRules, CountFromArmingFireOnceAndTheFirstArmedDecides) {
    const auto A = std::pair{Kind::A, std::optional<size_t>{}};
    const auto B = std::pair{Kind::B, std::optional<size_t>{}};
    const auto page = [](size_t n) { return std::pair{Kind::Status, std::optional<size_t>{n}}; };
    struct Case {
        const char* what;
        void (*arm)(Rules&);
        std::vector<std::pair<Kind, std::optional<size_t>>> requests;
        std::string effects;
    };
    const std::vector<Case> cases = {
        {"the 2nd A from now, after two earlier ones",
         [](Rules& r) { r.atKind(Kind::A, 2, 'x'); },
         {A, B, A, A},
         "..x."},
        {"the 3rd request of any kind", [](Rules& r) { r.atAny(3, 'x'); }, {A, B, B, A}, "..x."},
        {"first armed decides, both used up",
         [](Rules& r) {
             r.atKind(Kind::A, 1, 'x');
             r.atAny(1, 'y');
         },
         {A, A, B},
         "x.."},
        {"a page rule hits its page once", [](Rules& r) { r.atPage(2, 'x'); }, {page(1), page(2), page(2), A}, ".x.."},
        {"cleared rules never fire",
         [](Rules& r) {
             r.atAny(1, 'x');
             r.clear();
         },
         {A, B},
         ".."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rules rules;
        run(rules, {A, A});  // requests before arming do not count
        c.arm(rules);
        EXPECT_EQ(run(rules, c.requests), c.effects);
    }
}

}  // namespace
}  // namespace quorvel::emu
