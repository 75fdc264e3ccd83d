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
    // Each command answers whether its packet was delivered, and if not why.
    static TransferResult DebugOnM1(const Service& service);
    static TransferResult ResetM1(const Service& service);
    static TransferResult WriteM1(const Service& service, uint16_t address, uint16_t inputValue);
    static TransferResult SendRamWriteCRCM1(const Service& service, uint16_t serialNo, uint16_t WCRC);
    static TransferResult RamWriteM1(const Service& service, uint16_t serialNo, std::span<const uint8_t> ISPData,
                                     AuxTransfer& transfer);
    static TransferResult RunCodeM1(const Service& service, uint16_t address);
    static TransferResult FlashEraseM1(const Service& service);
    static TransferResult SendFlashWriteCRCM1(const Service& service, uint16_t WCRC);
    static TransferResult FlashWriteM1(const Service& service, std::span<const uint8_t> firmwareData,
                                       AuxTransfer& transfer);
    // Throws Errors::customErrors::AUXUpgradeError, with the cause of the
    // first failing command, at that command.
    static void AUXFirmwareUpgradeM1(const Service& service, std::span<const uint8_t> ISPData,
                                     std::span<const uint8_t> firmwareData, uint64_t ramWriteSize,
                                     uint64_t flashWriteSize, const ProgressObserver& observer = {});
};

}  // namespace quorvel
