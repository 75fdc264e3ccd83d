#include "display/I2CBus.h"

#include <vector>

#include "model/Hex.h"

namespace quorvel {

std::string i2cStep(I2CMessage message, uint8_t address, size_t readLength) {
    const std::string at = "0x" + hexDigits(address, 2, HexCase::lower);
    switch (message) {
    case I2CMessage::write: return "write to " + at;
    case I2CMessage::read: return "read of " + std::to_string(readLength) + " bytes from " + at;
    case I2CMessage::combined: break;
    }
    return "write and read at " + at;
}

std::string i2cRefused(uint8_t address, bool read, std::span<const uint8_t> data) {
    std::vector<uint8_t> wire{static_cast<uint8_t>(address << 1 | (read ? 1 : 0))};
    wire.insert(wire.end(), data.begin(), data.end());
    return FailureCause::refusedPacket(wire);
}

}  // namespace quorvel
