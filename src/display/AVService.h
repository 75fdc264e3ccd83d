// The AV-service seam: the display channel as reached on hosts that drive
// displays through AV services. Linux has no such service; the chip model
// provides one for tests.
#pragma once

#include <cstdint>
#include <span>

namespace quorvel {

class AVService {
public:
    virtual ~AVService() = default;
    // Both return 0 on success, else a non-zero platform status.
    virtual int writeI2C(uint32_t chipAddress, uint32_t dataAddress, std::span<const uint8_t> buffer) = 0;
    virtual int readI2C(uint32_t chipAddress, uint32_t dataAddress, std::span<uint8_t> buffer) = 0;
};

}  // namespace quorvel
