#include "emu/InProcessChipLocks.h"

namespace quorvel::emu {

ChipLocks::Attempt InProcessChipLocks::tryLock(const std::string& place) {
    std::lock_guard lock(state_->mutex);
    if (!state_->held.insert(place).second) return {Outcome::busy, nullptr};
    auto lease = std::shared_ptr<void>(nullptr, [state = state_, place](void*) {
        std::lock_guard lock(state->mutex);
        state->held.erase(place);
    });
    return {Outcome::held, std::move(lease)};
}

bool InProcessChipLocks::isHeld(const std::string& place) const {
    std::lock_guard lock(state_->mutex);
    return state_->held.count(place) != 0;
}

}  // namespace quorvel::emu
