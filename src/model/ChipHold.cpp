#include "model/ChipHold.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "model/Replaceable.h"

namespace quorvel {

ChipLocks::Attempt FlockChipLocks::tryLock(const std::string& place) {
    // Read-only is enough for flock and needs the least permission; the node
    // is opened by the transport anyway, so opening it changes nothing.
    const int fd = ::open(place.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return {Outcome::unguarded, nullptr};  // gone, or not ours: the transport will fail
    int r;
    do r = ::flock(fd, LOCK_EX | LOCK_NB);
    while (r != 0 && errno == EINTR);
    if (r != 0) {
        const bool busy = errno == EWOULDBLOCK;
        ::close(fd);
        return {busy ? Outcome::busy : Outcome::unguarded, nullptr};
    }
    auto lease = std::shared_ptr<void>(new int(fd), [](void* p) {
        auto* held = static_cast<int*>(p);
        ::close(*held);  // drops the lock
        delete held;
    });
    return {Outcome::held, std::move(lease)};
}

namespace {
Replaceable<std::shared_ptr<ChipLocks>>& seam() {
    static Replaceable<std::shared_ptr<ChipLocks>> s(
        []() -> std::shared_ptr<ChipLocks> { return std::make_shared<FlockChipLocks>(); });
    return s;
}
}  // namespace

std::shared_ptr<ChipLocks> chipLocks() { return seam().get(); }

std::shared_ptr<ChipLocks> setChipLocks(std::shared_ptr<ChipLocks> replacement) {
    return seam().replace(std::move(replacement));
}

ChipHold ChipHold::take(const std::vector<std::string>& places) {
    ChipHold hold;
    const auto locks = chipLocks();
    std::set<std::string> distinct;  // two displays on one bus are one chip
    for (const auto& place : places) {
        if (place.empty() || !distinct.insert(place).second) continue;
        auto attempt = locks->tryLock(place);
        if (attempt.outcome == ChipLocks::Outcome::busy) {
            hold.leases_.clear();  // none of them, or the other command could be held back too
            hold.busy_ = true;
            return hold;
        }
        if (attempt.outcome == ChipLocks::Outcome::held) hold.leases_.push_back(std::move(attempt.lease));
    }
    return hold;
}

}  // namespace quorvel
