// The display-side upgrade, once for both transports: the commands come
// through AuxCommands, the transport's differences through AuxTiming.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "display/AuxPacket.h"
#include "display/TransferResult.h"
#include "model/Progress.h"

namespace quorvel {

// The commands of one transport. Each answers whether its packet was
// delivered and, when not, why; the data writes read their chunk at the
// transfer's offsets and feed its CRC register.
class AuxCommands {
public:
    virtual ~AuxCommands() = default;
    virtual TransferResult debugOn() = 0;
    virtual TransferResult reset() = 0;
    virtual TransferResult write(uint16_t address, uint16_t inputValue) = 0;
    virtual TransferResult ramWrite(uint16_t serialNo, std::span<const uint8_t> ISPData, AuxTransfer& transfer) = 0;
    virtual TransferResult sendRamWriteCRC(uint16_t serialNo, uint16_t crc) = 0;
    virtual TransferResult runCode(uint16_t address) = 0;
    virtual TransferResult flashErase() = 0;
    virtual TransferResult beforeUpgrade() = 0;
    virtual TransferResult flashWrite(std::span<const uint8_t> firmwareData, AuxTransfer& transfer) = 0;
    virtual TransferResult sendFlashWriteCRC(uint16_t crc) = 0;
};

struct AuxTiming {
    bool beforeUpgrade = true;  // ten BeforeUpgrade packets before Reset and before the flash phase
    std::optional<std::chrono::microseconds> afterBeforeUpgrade;
    std::chrono::microseconds afterReset{0};
    std::chrono::microseconds betweenPhases{0};
    std::chrono::microseconds afterRunCode{0};
    std::chrono::microseconds afterErase{0};

    static AuxTiming intel();  // framebuffer / i2c-dev transport
    static AuxTiming m1();     // AV-service transport
};

// Runs the whole sequence; throws Errors::customErrors::AUXUpgradeError,
// carrying the failing command's cause, at the first failing command. Every
// run starts at the beginning of both images with a fresh AuxTransfer; the
// state it reached, success or not, is copied into the process-wide
// settings when it ends. Progress goes to `observer` (the loader phase for
// the RAM load, the firmware phase for the flash) and to AUXpercentCompleted.
void runAuxUpgrade(AuxCommands& commands, const AuxTiming& timing, std::span<const uint8_t> ISPData,
                   std::span<const uint8_t> firmwareData, uint64_t ramWriteSize, uint64_t flashWriteSize,
                   const ProgressObserver& observer = {});

}  // namespace quorvel
