// The AUX commands and upgrade over a display's AV service.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "display/AVService.h"
#include "display/AuxSequence.h"

namespace quorvel {

class IntelDDC;

class AUXAccess {
public:
    std::shared_ptr<IntelDDC> IntelDDCs;  // kept for the record; the commands never use it

    using Service = std::shared_ptr<AVService>;

    static std::string GetVersionM1(const Service& service);
    static bool DebugOnM1(const Service& service);
    static bool ResetM1(const Service& service);
    static bool WriteM1(const Service& service, uint16_t address, uint16_t inputValue);
    static bool SendRamWriteCRCM1(const Service& service, uint16_t serialNo, uint16_t WCRC);
    static bool RamWriteM1(const Service& service, uint16_t serialNo, std::span<const uint8_t> ISPData);
    static bool RunCodeM1(const Service& service, uint16_t address);
    static bool FlashEraseM1(const Service& service);
    static bool SendFlashWriteCRCM1(const Service& service, uint16_t WCRC);
    static bool FlashWriteM1(const Service& service, std::span<const uint8_t> firmwareData);
    // Throws Errors::customErrors::AUXUpgradeError at the first failing command.
    static void AUXFirmwareUpgradeM1(const Service& service, std::span<const uint8_t> ISPData,
                                     std::span<const uint8_t> firmwareData, uint64_t ramWriteSize,
                                     uint64_t flashWriteSize, const AuxProgressObserver& observer = {});
};

}  // namespace quorvel
