// The upgrade sequence over USBAccess's operations: the checks that a file
// and a loader fit the chip, and the step table with its pauses.
#include <stdexcept>

#include "model/Log.h"
#include "model/Sentinels.h"
#include "model/Settings.h"
#include "model/Sleeper.h"
#include "usb/USBAccess.h"

namespace quorvel {

bool USBAccess::ConsistencyOfDeviceAndFile(int64_t chipID, const std::string& chipSignature) const {
    for (const ChipType& row : USBModels.chipTable)
        if (row.chipNameValue == chipID && row.signature == chipSignature) return true;
    return chipID == USBModels.constant.CHIP_TALMORE && chipSignature == sentinel::erasedSignature;
}

bool USBAccess::ConsistencyOfDeviceAndISP(int64_t chipID, const std::string& ISPChipName) const {
    for (const ChipType& row : USBModels.chipTable)
        if (row.chipNameValue == chipID && row.ISPChipName == ISPChipName) return true;
    return false;
}

void USBAccess::USBFirmware(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData, int64_t chipID,
                            const ProgressObserver& progress) {
    // A packet size that cannot frame the data is refused before the chip is
    // touched, so a bad setting never leaves it half-prepared.
    try {
        packetSize();
    } catch (const std::invalid_argument& e) {
        writeLine(std::string("USB Upgrade Error: ") + e.what());
        throw Errors::customErrors::USBUpgradeError.because({"packet size", e.what()});
    }

    // Runs one step; its failure ends the sequence, after its message if it
    // has one. The log keeps why, for the silent steps too.
    auto step = [](const char* message, auto&& action) {
        try {
            action();
        } catch (const std::exception& e) {
            const FailureCause cause = causeOf(e);
            if (message != nullptr) writeLine(message);
            logLine(LogLevel::error, "USB Upgrade Error: " + cause.describe());
            throw Errors::customErrors::USBUpgradeError.because(cause);
        }
    };

    const ProgressObserver published = publishing(percentCompleted, progress);
    const Constants& c = USBModels.constant;
    step(nullptr, [&] {
        if (chipID == c.CHIP_VIRREN_A || chipID == c.CHIP_VIRREN_B || chipID == c.CHIP_TALMORE) DebugOnManual(chipID);
        else DebugOn();
    });
    step(nullptr, [&] { Reset(2); });
    sleeper().sleep(timing.afterDebugReset);
    step("USB Upgrade Error: Write", [&] { Write(0x80AD, 0); });
    step(nullptr, [&] {
        for (uint32_t address : {0x80C0, 0x80C9, 0x80D1, 0x80D9, 0x80E1, 0x80E9}) Write(address, 0);
    });
    step("USB Upgrade Error: Reset", [&] { Reset(0); });
    sleeper().sleep(timing.afterLoaderReset);
    step("USB Upgrade Error: RamWrite", [&] { loadRam(0x2000, ISPData, published); });
    step("USB Upgrade Error: RunCode", [&] { RunCode(0x2000); });
    sleeper().sleep(timing.afterRunCode);
    step("USB Upgrade Error: FlashErease", [&] { FlashErease(); });
    step("USB Upgrade Error: FlashWrite", [&] { writeFlash(firmwareData, published); });
}

}  // namespace quorvel
