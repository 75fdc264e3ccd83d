// The USB devices the programs watch, and what differs between them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "model/Hex.h"

namespace quorvel {

struct DeviceIds {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    bool operator==(const DeviceIds&) const = default;
};

namespace devices {

inline constexpr std::array<uint16_t, 2> vendorIds{0x7E51, 0x6A3C};
inline constexpr std::array<uint16_t, 8> productIds{0x6100, 0x6111, 0x6120, 0x6121, 0x6220, 0x6221, 0x6210, 0x6211};

// Every pair, in the order the watchers are created and started: by
// product, both vendors of each.
inline constexpr std::array<DeviceIds, vendorIds.size() * productIds.size()> supported = [] {
    std::array<DeviceIds, vendorIds.size() * productIds.size()> out{};
    size_t i = 0;
    for (uint16_t product : productIds)
        for (uint16_t vendor : vendorIds) out[i++] = {vendor, product};
    return out;
}();

// Bytes per control transfer of an upgrade: the newer products take 64,
// the others 8.
constexpr int64_t maxPacketSize(uint16_t productId) {
    return (productId == 0x6221 || productId == 0x6210 || productId == 0x6211) ? 64 : 8;
}

// The product as the device boxes and messages name it: "ZK6121".
inline std::string productName(uint16_t productId) { return "ZK" + hexDigits(productId, 4, HexCase::lower); }

}  // namespace devices
}  // namespace quorvel
