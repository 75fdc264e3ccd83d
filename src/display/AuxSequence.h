// The display-side upgrade, once for both transports: the commands come
// through AuxCommands, the transport's differences through AuxTiming.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace quorvel {

class AuxCommands {
public:
    virtual ~AuxCommands() = default;
    virtual bool debugOn() = 0;
    virtual bool reset() = 0;
    virtual bool write(uint16_t address, uint16_t inputValue) = 0;
    virtual bool ramWrite(uint16_t serialNo, std::span<const uint8_t> ISPData) = 0;
    virtual bool sendRamWriteCRC(uint16_t serialNo, uint16_t crc) = 0;
    virtual bool runCode(uint16_t address) = 0;
    virtual bool flashErase() = 0;
    virtual bool beforeUpgrade() = 0;
    virtual bool flashWrite(std::span<const uint8_t> firmwareData) = 0;
    virtual bool sendFlashWriteCRC(uint16_t crc) = 0;
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

enum class AuxPhase { ram, flash };

// Told, on the upgrading thread, when a phase starts and whenever
// AUXpercentCompleted is written (with the phase it is written for).
struct AuxProgressObserver {
    std::function<void(AuxPhase)> phaseStarted;
    std::function<void(AuxPhase, int64_t)> progressed;
};

// Runs the whole sequence; throws Errors::customErrors::AUXUpgradeError at
// the first failing command. Every run starts at the beginning of both
// images with a fresh CRC register and block flag.
void runAuxUpgrade(AuxCommands& commands, const AuxTiming& timing, std::span<const uint8_t> ISPData,
                   std::span<const uint8_t> firmwareData, uint64_t ramWriteSize, uint64_t flashWriteSize,
                   const AuxProgressObserver& observer = {});

}  // namespace quorvel
