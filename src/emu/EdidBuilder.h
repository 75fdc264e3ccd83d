// EDID base blocks for the emulated displays and the tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

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
    uint8_t extensions = 0;  // CEA-861 extension blocks after the base block
};

// A 128-byte base block with a correct checksum, then its extension blocks.
std::vector<uint8_t> buildEdid(const EdidSpec& spec);

}  // namespace quorvel
