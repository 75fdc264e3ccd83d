// The I2C seam of the display road: one bus of a display connection and
// the provider that finds and opens buses. Implemented over i2c-dev and
// over the chip model.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "display/TransferResult.h"

namespace quorvel {

// I2C_FUNCS bits the display road looks at.
inline constexpr unsigned long kI2CFuncI2C = 0x00000001;  // plain I2C messages (I2C_RDWR)

class I2CBus {
public:
    virtual ~I2CBus() = default;
    // Functionality bits of the adapter, or nothing when they cannot be read.
    virtual std::optional<unsigned long> functionality() = 0;
    // One write transaction of `data` to the 7-bit `address`. A failure
    // says which message failed and why: the errno, or the refused bytes
    // when the target did not acknowledge.
    virtual TransferResult write(uint8_t address, std::span<const uint8_t> data) = 0;
    // Writes `data`, waits `delay`, then reads `reply.size()` bytes back.
    // A zero delay makes write and read one combined transaction.
    virtual TransferResult writeRead(uint8_t address, std::span<const uint8_t> data, std::chrono::microseconds delay,
                                     std::span<uint8_t> reply) = 0;
};

enum class I2CMessage { write, read, combined };
// The step of a failed message, as the causes name it: "write to 0x37",
// "read of 16 bytes from 0x37", "write and read at 0x50".
std::string i2cStep(I2CMessage message, uint8_t address, size_t readLength = 0);
// The detail of a message the target did not acknowledge: the bytes on the
// wire, the 8-bit address first ("NAK of 6e 51 07 ...", "NAK of 6f").
std::string i2cRefused(uint8_t address, bool read, std::span<const uint8_t> data = {});

class I2CBusProvider {
public:
    virtual ~I2CBusProvider() = default;
    // Numbers of the buses present, or nothing when they cannot be listed.
    virtual std::optional<std::vector<uint32_t>> buses() = 0;
    // Whether bus `number` exists (one interface per bus), without opening it.
    virtual bool exists(uint32_t number) = 0;
    // Opens bus `number`; nullptr when it cannot be opened. Closing is
    // destroying the object.
    virtual std::unique_ptr<I2CBus> open(uint32_t number) = 0;
    // The same, saying why an open failed (an errno value, 0 on success).
    virtual std::unique_ptr<I2CBus> openChecked(uint32_t number, int& error) {
        auto bus = open(number);
        error = bus ? 0 : ENODEV;
        return bus;
    }
    // Whether the bus belongs to a display adapter: a PCI display controller
    // (class 0x03xxxx) or a DRM device, the buses the udev rules open up.
    // Only these are searched for a display's EDID.
    virtual bool isDisplayAdapter(uint32_t /*number*/) { return true; }
    // The kernel driver bound to the client at `address` on the bus, if any.
    virtual std::optional<std::string> clientDriver(uint32_t /*number*/, uint8_t /*address*/) { return std::nullopt; }
    // The bus's place for ChipHold: its device node, empty for a bus that
    // lives in this process.
    virtual std::string place(uint32_t /*number*/) const { return {}; }
};

}  // namespace quorvel
