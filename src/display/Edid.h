// What the display road reads from an EDID base block, and a builder of
// such blocks for the emulator and the tests.
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

struct EdidSpec {
    std::string manufacturer = "QRV";  // three capital letters
    std::optional<uint16_t> vendorId;  // raw bytes 8-9 instead of the letters
    uint16_t product = 0x0001;
    uint32_t serial = 0;
    std::string name;  // at most 13 characters
    uint8_t week = 1;
    int year = 2022;
    int widthMM = 600;
    int heightMM = 340;
};

// A 128-byte base block with a correct checksum.
std::vector<uint8_t> buildEdid(const EdidSpec& spec);

}  // namespace quorvel
