// When a chip model fails, for both chips alike. A rule names the
// `occurrence`-th request of a kind, or of any kind, counted from the moment
// the rule is armed (1 = the next one), or the requests that concern one
// flash page (pages are numbered from 0). `Effect` is what the chip does
// instead of serving the request.
//
// Each rule fires once. On each request the first armed rule that matches
// decides, and every rule that matches is used up, since its request has
// come.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <vector>

namespace quorvel::emu {

template <typename Kind, typename Effect>
class FaultRules {
public:
    void atKind(Kind kind, size_t occurrence, Effect effect) {
        rules_.push_back({By::OfKind, kind, seenOf_[kind] + occurrence, effect});
    }
    void atAny(size_t occurrence, Effect effect) { rules_.push_back({By::Any, Kind{}, seen_ + occurrence, effect}); }
    void atPage(size_t page, Effect effect) { rules_.push_back({By::Page, Kind{}, page, effect}); }
    void clear() { rules_.clear(); }

    // Counts one request of `kind` (concerning flash page `page`, if any)
    // and says what it must do instead of being served, if anything.
    std::optional<Effect> take(Kind kind, std::optional<size_t> page = std::nullopt) {
        const size_t any = ++seen_;
        const size_t ofKind = ++seenOf_[kind];
        std::optional<Effect> effect;
        std::erase_if(rules_, [&](const Rule& rule) {
            bool match = false;
            switch (rule.by) {
            case By::OfKind: match = rule.kind == kind && rule.number == ofKind; break;
            case By::Any: match = rule.number == any; break;
            case By::Page: match = page == rule.number; break;
            }
            if (match && !effect) effect = rule.effect;
            return match;
        });
        return effect;
    }

private:
    enum class By { OfKind, Any, Page };
    struct Rule {
        By by;
        Kind kind;
        size_t number;  // the request counted, or the page
        Effect effect;
    };

    std::vector<Rule> rules_;
    size_t seen_ = 0;                // requests so far
    std::map<Kind, size_t> seenOf_;  // requests so far, by kind
};

}  // namespace quorvel::emu
