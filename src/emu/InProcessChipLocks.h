// Chip holds kept in memory, for tests of the commands that take them.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "model/ChipHold.h"

namespace quorvel::emu {

class InProcessChipLocks : public ChipLocks {
public:
    Attempt tryLock(const std::string& place) override;
    bool isHeld(const std::string& place) const;

private:
    struct State {
        mutable std::mutex mutex;
        std::set<std::string> held;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace quorvel::emu
