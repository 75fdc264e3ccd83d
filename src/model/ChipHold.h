// One command per chip: a device command holds its chip exclusively from
// before its first request to after its last, against every other command
// of ours, in this process or another, of this user or another. A second
// command for a held chip is refused before it sends anything.
//
// A chip is named by its place on its road: the USB device node
// (/dev/bus/usb/BBB/DDD) or the display's I2C bus node (/dev/i2c-N). An
// empty place names a chip that lives in this process only (a chip model
// behind an in-process seam) and is taken unguarded.
//
// The seam is ChipLocks: flock(2) on the node on Linux; tests use the
// in-memory InProcessChipLocks of src/emu.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quorvel {

// What the refusal says, after "ERROR：" on the command line and as the text
// of the window's "ERROR" alert.
inline constexpr const char* kDeviceInUse = "The device is in use by another program!";

class ChipLocks {
public:
    enum class Outcome {
        held,       // ours until the lease is dropped
        busy,       // another command holds it
        unguarded,  // nothing to lock (no such node, not ours to open): go on
    };
    struct Attempt {
        Outcome outcome = Outcome::unguarded;
        std::shared_ptr<void> lease;  // releases the place when the last copy goes
    };
    virtual ~ChipLocks() = default;
    // Takes `place` without waiting.
    virtual Attempt tryLock(const std::string& place) = 0;
};

// An exclusive advisory lock (flock) on the node itself, through a file
// description of its own. The kernel drops it when the holder ends in any
// way, so a crashed program never leaves a chip locked.
class FlockChipLocks : public ChipLocks {
public:
    Attempt tryLock(const std::string& place) override;
};

// The process's locks (flock unless replaced); replacing returns the
// previous ones, null restores the default.
std::shared_ptr<ChipLocks> chipLocks();
std::shared_ptr<ChipLocks> setChipLocks(std::shared_ptr<ChipLocks> replacement);

// A command's hold on its chips. Move-only; released when destroyed.
class ChipHold {
public:
    ChipHold() = default;
    // Every place, or none of them: busy when any is held elsewhere. Empty
    // places are skipped.
    static ChipHold take(const std::vector<std::string>& places);
    static ChipHold take(const std::string& place) { return take(std::vector<std::string>{place}); }

    ChipHold(ChipHold&&) = default;
    ChipHold& operator=(ChipHold&&) = default;
    ChipHold(const ChipHold&) = delete;
    ChipHold& operator=(const ChipHold&) = delete;

    // Another command holds one of the chips: this one must send nothing.
    bool busy() const { return busy_; }
    void release() { leases_.clear(); }

private:
    bool busy_ = false;
    std::vector<std::shared_ptr<void>> leases_;
};

}  // namespace quorvel
