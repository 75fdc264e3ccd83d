// What the display road reads from an EDID base block.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvel {

struct EdidInfo {
    uint32_t vendor = 0;   // manufacturer ID, bytes 8-9 big-endian
    uint32_t product = 0;  // product code, bytes 10-11 little-endian
    uint32_t serial = 0;   // serial number, bytes 12-15 little-endian
    std::string name;      // display product name descriptor (0xFC), empty when none
    int64_t week = 0;      // week of manufacture (0 when unknown or a model year)
    int64_t year = 0;      // year of manufacture
    int64_t widthMM = 0;   // image size in millimetres
    int64_t heightMM = 0;
};

// Nothing unless `edid` holds a base block with the fixed header.
std::optional<EdidInfo> parseEdid(std::span<const uint8_t> edid);

}  // namespace quorvel
