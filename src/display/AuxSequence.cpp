#include "display/AuxSequence.h"

#include "display/AuxPacket.h"
#include "model/Errors.h"
#include "model/Settings.h"
#include "model/Sleeper.h"

namespace quorvel {

using namespace std::chrono_literals;

AuxTiming AuxTiming::intel() {
    return {.beforeUpgrade = true,
            .afterBeforeUpgrade = 5s,
            .afterReset = 5s,
            .betweenPhases = 2s,
            .afterRunCode = 5s,
            .afterErase = 5s};
}

AuxTiming AuxTiming::m1() {
    return {.beforeUpgrade = false,
            .afterBeforeUpgrade = std::nullopt,
            .afterReset = 5s,
            .betweenPhases = 2s,
            .afterRunCode = 7s,
            .afterErase = 7s};
}

namespace {

// The chip's own registers that the loader expects cleared.
constexpr uint16_t kClearedRegisters[] = {0x80AD, 0x80C0, 0x80C9, 0x80D1, 0x80D9, 0x80E1, 0x80E9};
// ISPBufferCount is 16 bits wide and the RAM serial number too.
constexpr size_t kMaxISPSize = 65528;
constexpr uint64_t kMaxRamSteps = 65536;
constexpr int kBeforeUpgradePasses = 10;

[[noreturn]] void fail(FailureCause cause) { throw Errors::customErrors::AUXUpgradeError.because(std::move(cause)); }

void require(const TransferResult& result) {
    if (!result) fail(result.cause());
}

// The same, the failure placed by `where` (made only when needed: the
// phases run thousands of commands).
template <typename Where>
void require(const TransferResult& result, Where&& where) {
    if (!result) fail(result.cause().within(where()));
}

std::string stepOf(const char* phase, uint64_t i, uint64_t steps) {
    return std::string(phase) + " step " + std::to_string(i + 1) + " of " + std::to_string(steps);
}

// Where the window and the log read the transfer state: written once, when
// the run ends, however it ends.
class PublishedWhenDone {
public:
    explicit PublishedWhenDone(const AuxTransfer& transfer) : transfer_(transfer) {}
    ~PublishedWhenDone() {
        ISPBufferCount = transfer_.ISPBufferCount;
        firmwareBufferCount = transfer_.firmwareBufferCount;
        WCRC = transfer_.WCRC;
        startLength = transfer_.startLength;
    }
    PublishedWhenDone(const PublishedWhenDone&) = delete;
    PublishedWhenDone& operator=(const PublishedWhenDone&) = delete;

private:
    const AuxTransfer& transfer_;
};

}  // namespace

void runAuxUpgrade(AuxCommands& commands, const AuxTiming& timing, std::span<const uint8_t> ISPData,
                   std::span<const uint8_t> firmwareData, uint64_t ramWriteSize, uint64_t flashWriteSize,
                   const ProgressObserver& observer) {
    const ProgressObserver progress = publishing(AUXpercentCompleted, observer);

    // Counts beyond what the offsets and serial numbers can address would
    // send wrapped-around data; refuse them before touching the chip.
    if (ISPData.size() > kMaxISPSize)
        fail({"loader", "an image of " + std::to_string(ISPData.size()) + " bytes exceeds 65528"});
    if (ramWriteSize > kMaxRamSteps) fail({"loader", std::to_string(ramWriteSize) + " steps exceed 65536"});

    // A run after a failed one must not continue from where that one stopped.
    AuxTransfer transfer;
    const PublishedWhenDone published(transfer);
    const uint64_t firstSerial = 0;

    require(commands.debugOn());
    const auto beforeUpgrade = [&] {
        for (int n = 1; n <= kBeforeUpgradePasses; ++n)
            require(commands.beforeUpgrade(), [n] { return "pass " + std::to_string(n) + " of 10"; });
    };
    if (timing.beforeUpgrade) beforeUpgrade();
    if (timing.afterBeforeUpgrade) sleeper().sleep(*timing.afterBeforeUpgrade);
    require(commands.reset());
    sleeper().sleep(timing.afterReset);
    for (uint16_t address : kClearedRegisters) require(commands.write(address, 0x0000));

    progress.started(UpgradePhase::loader);
    for (uint64_t i = firstSerial; i < ramWriteSize; ++i) {
        const auto where = [&] { return stepOf("loader", i, ramWriteSize); };
        if (!transfer.blockComplete) {
            require(commands.ramWrite(static_cast<uint16_t>(i), ISPData, transfer), where);
            transfer.ISPBufferCount = static_cast<uint16_t>(transfer.ISPBufferCount + 8);
            if ((transfer.ISPBufferCount & 0xFF) == 0) transfer.blockComplete = true;
        } else {
            require(commands.sendRamWriteCRC(static_cast<uint16_t>(i), transfer.WCRC), where);
            progress.reached(UpgradePhase::loader, static_cast<int64_t>(i * 100 / ramWriteSize));
            transfer.WCRC = AuxTransfer::kCRCInit;
            transfer.blockComplete = false;
        }
    }
    progress.reached(UpgradePhase::loader, 100);
    progress.ended(UpgradePhase::loader);
    sleeper().sleep(timing.betweenPhases);
    progress.reached(UpgradePhase::firmware, 0);

    require(commands.runCode(aux::kLoaderAddress));
    sleeper().sleep(timing.afterRunCode);
    require(commands.flashErase());
    sleeper().sleep(timing.afterErase);
    if (timing.beforeUpgrade) beforeUpgrade();

    progress.started(UpgradePhase::firmware);
    for (uint64_t i = 0; i < flashWriteSize; ++i) {
        const auto where = [&] { return stepOf("firmware", i, flashWriteSize); };
        if (!transfer.blockComplete) {
            require(commands.flashWrite(firmwareData, transfer), where);
            transfer.firmwareBufferCount += 8;
            transfer.startLength = (transfer.firmwareBufferCount & 0xFF) == 0xF8 ? aux::kLastOfBlockFlag : 0x00;
            if ((transfer.firmwareBufferCount & 0xFF) == 0) transfer.blockComplete = true;
        } else {
            require(commands.sendFlashWriteCRC(transfer.WCRC), where);
            transfer.WCRC = AuxTransfer::kCRCInit;
            progress.reached(UpgradePhase::firmware, static_cast<int64_t>(i * 100 / flashWriteSize));
            transfer.blockComplete = false;
        }
    }
    progress.reached(UpgradePhase::firmware, 100);
    progress.ended(UpgradePhase::firmware);
}

}  // namespace quorvel
