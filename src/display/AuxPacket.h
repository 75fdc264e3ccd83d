// The AUX ISP packets, byte for byte, shared by both transports. Data
// packets read their chunk at the shared offsets and feed every data byte
// to the shared CRC register.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

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

// The 8 bytes at ISPBufferCount; nothing (and no CRC step) when they do
// not lie inside the image.
std::optional<Packet> RamWrite(uint16_t serialNo, std::span<const uint8_t> ISPData);
// The 8 bytes at firmwareBufferCount, with startLength in byte 1.
std::optional<Packet> FlashWrite(std::span<const uint8_t> firmwareData);

// Steps of one phase for an image of n bytes: its data packets plus one
// CRC packet per full 256-byte block.
constexpr uint64_t stepCount(uint64_t n) { return n / 8 + n / 256; }

}  // namespace quorvel::aux
