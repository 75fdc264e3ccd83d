#include "display/AuxSequence.h"

#include "display/AuxPacket.h"
#include "model/Errors.h"
#include "model/Settings.h"
#include "model/Sleeper.h"
#include "model/SourceModel.h"

namespace quorvel {

using namespace std::chrono_literals;

AuxTiming AuxTiming::intel() {
    return {.beforeUpgrade = true, .afterBeforeUpgrade = 5s, .afterReset = 5s,
            .betweenPhases = 2s, .afterRunCode = 5s, .afterErase = 5s};
}

AuxTiming AuxTiming::m1() {
    return {.beforeUpgrade = false, .afterBeforeUpgrade = std::nullopt, .afterReset = 5s,
            .betweenPhases = 2s, .afterRunCode = 7s, .afterErase = 7s};
}

namespace {

// The chip's own registers that the loader expects cleared.
constexpr uint16_t kClearedRegisters[] = {0x80AD, 0x80C0, 0x80C9, 0x80D1, 0x80D9, 0x80E1, 0x80E9};
// ISPBufferCount is 16 bits wide and the RAM serial number too.
constexpr size_t kMaxISPSize = 65528;
constexpr uint64_t kMaxRamSteps = 65536;

void require(bool ok) {
    if (!ok) throw Errors::customErrors::AUXUpgradeError;
}

}  // namespace

void runAuxUpgrade(AuxCommands& commands, const AuxTiming& timing, std::span<const uint8_t> ISPData,
                   std::span<const uint8_t> firmwareData, uint64_t ramWriteSize, uint64_t flashWriteSize,
                   const AuxProgressObserver& observer) {
    const uint16_t crcInit = CmdCode{}.CRC_INIT_POLINOM;
    auto progress = [&](AuxPhase phase, int64_t value) {
        AUXpercentCompleted = value;
        if (observer.progressed) observer.progressed(phase, value);
    };
    auto phaseStarted = [&](AuxPhase phase) {
        if (observer.phaseStarted) observer.phaseStarted(phase);
    };

    // Counts beyond what the offsets and serial numbers can address would
    // send wrapped-around data; refuse them before touching the chip.
    require(ISPData.size() <= kMaxISPSize && ramWriteSize <= kMaxRamSteps);

    // A run after a failed one must not continue from where that one stopped.
    ISPBufferCount = 0;
    firmwareBufferCount = 0;
    WCRC = crcInit;
    startLength = 0;
    bool blockComplete = false;

    require(commands.debugOn());
    if (timing.beforeUpgrade)
        for (int n = 0; n < 10; ++n) require(commands.beforeUpgrade());
    if (timing.afterBeforeUpgrade) sleeper().sleep(*timing.afterBeforeUpgrade);
    require(commands.reset());
    sleeper().sleep(timing.afterReset);
    for (uint16_t address : kClearedRegisters) require(commands.write(address, 0x0000));

    phaseStarted(AuxPhase::ram);
    for (uint64_t i = serialNo; i < ramWriteSize; ++i) {
        if (!blockComplete) {
            require(commands.ramWrite(static_cast<uint16_t>(i), ISPData));
            ISPBufferCount = static_cast<uint16_t>(ISPBufferCount + 8);
            if ((ISPBufferCount & 0xFF) == 0) blockComplete = true;
        } else {
            require(commands.sendRamWriteCRC(static_cast<uint16_t>(i), WCRC));
            progress(AuxPhase::ram, static_cast<int64_t>(i * 100 / ramWriteSize));
            WCRC = crcInit;
            blockComplete = false;
        }
    }
    progress(AuxPhase::ram, 100);
    sleeper().sleep(timing.betweenPhases);
    progress(AuxPhase::flash, 0);

    require(commands.runCode(aux::kLoaderAddress));
    sleeper().sleep(timing.afterRunCode);
    require(commands.flashErase());
    sleeper().sleep(timing.afterErase);
    if (timing.beforeUpgrade)
        for (int n = 0; n < 10; ++n) require(commands.beforeUpgrade());

    phaseStarted(AuxPhase::flash);
    for (uint64_t i = 0; i < flashWriteSize; ++i) {
        if (!blockComplete) {
            require(commands.flashWrite(firmwareData));
            firmwareBufferCount += 8;
            startLength = (firmwareBufferCount & 0xFF) == 0xF8 ? 0x40 : 0x00;
            if ((firmwareBufferCount & 0xFF) == 0) blockComplete = true;
        } else {
            require(commands.sendFlashWriteCRC(WCRC));
            WCRC = crcInit;
            progress(AuxPhase::flash, static_cast<int64_t>(i * 100 / flashWriteSize));
            blockComplete = false;
        }
    }
    progress(AuxPhase::flash, 100);
}

}  // namespace quorvel
