// The AUX ISP packets, byte for byte, shared by both transports. Data
// packets read their chunk at the offsets of the transfer they belong to
// and feed every data byte to its CRC register.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/SourceModel.h"

namespace quorvel {

// The state of one display-side transfer, passed to the data writes: where
// each image is read next, the CRC register over the data bytes sent since
// the last CRC packet, the flag of FlashWrite's byte 1, and whether a block
// awaits its CRC packet. A run starts from a fresh one.
struct AuxTransfer {
    static constexpr uint16_t kCRCInit = CmdCode{}.CRC_INIT_POLINOM;

    uint16_t ISPBufferCount = 0;       // offset of the next chunk in the loader image
    uint32_t firmwareBufferCount = 0;  // offset of the next chunk in the firmware image
    uint16_t WCRC = kCRCInit;
    uint8_t startLength = 0;  // 0x40 while the next flash packet is the last of its block
    bool blockComplete = false;
};

}  // namespace quorvel

namespace quorvel::aux {

using Packet = std::vector<uint8_t>;

inline constexpr uint8_t kChipAddress = 0x37;       // 7-bit
inline constexpr uint8_t kChipWriteAddress = 0x6E;  // 8-bit forms
inline constexpr uint8_t kChipReadAddress = 0x6F;
inline constexpr uint8_t kDataAddress = 0x51;
inline constexpr size_t kVersionReplyLength = 16;
inline constexpr uint16_t kLoaderAddress = 0x2000;
inline constexpr uint8_t kLastOfBlockFlag = 0x40;

Packet GetVersion();
Packet DebugOn();
Packet Reset();
Packet Write(uint16_t address, uint16_t inputValue);
Packet SendRamWriteCRC(uint16_t serialNo, uint16_t crc);
Packet RunCode(uint16_t address);
Packet FlashErase();
Packet SendFlashWriteCRC(uint16_t crc);
Packet BeforeUpgrade();

// The 8 bytes at the transfer's ISPBufferCount, fed to its WCRC; nothing
// (and no CRC step) when they do not lie inside the image. The offset is
// left for the sequence to advance.
std::optional<Packet> RamWrite(uint16_t serialNo, std::span<const uint8_t> ISPData, AuxTransfer& transfer);
// The 8 bytes at the transfer's firmwareBufferCount, with its startLength in byte 1.
std::optional<Packet> FlashWrite(std::span<const uint8_t> firmwareData, AuxTransfer& transfer);
// Why a data packet was not built: "the 8 bytes at 0x0ff8 lie outside the image of 4000 bytes".
std::string chunkOutside(uint64_t offset, size_t imageSize);

// Steps of one phase for an image of n bytes: its data packets plus one
// CRC packet per full 256-byte block.
constexpr uint64_t stepCount(uint64_t n) { return n / 8 + n / 256; }

}  // namespace quorvel::aux
