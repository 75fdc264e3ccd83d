#include "display/AuxPacket.h"

#include "model/Hex.h"
#include "model/SourceModel.h"

namespace quorvel::aux {

namespace {

const CmdCode kCmd{};

Packet header(size_t length, uint8_t byte1, uint16_t serial, uint8_t byte4, uint8_t code) {
    Packet p(length, 0);
    p[0] = kDataAddress;
    p[1] = byte1;
    p[2] = static_cast<uint8_t>(serial >> 8);
    p[3] = static_cast<uint8_t>(serial);
    p[4] = byte4;
    p[5] = code;
    return p;
}

void put16(Packet& p, size_t at, uint16_t value) {
    p[at] = static_cast<uint8_t>(value >> 8);
    p[at + 1] = static_cast<uint8_t>(value);
}

std::optional<Packet> withChunk(Packet p, std::span<const uint8_t> image, uint64_t offset, uint16_t& crc) {
    if (offset > image.size() || image.size() - offset < 8) return std::nullopt;
    for (size_t i = 0; i < 8; ++i) {
        p[6 + i] = image[offset + i];
        crc = SourceModel::CRC16Step(crc, p[6 + i]);
    }
    return p;
}

}  // namespace

Packet GetVersion() { return header(6, 0x03, 0, 0x03, kCmd.getVersion); }

Packet DebugOn() { return header(10, 0x07, 0, 0x07, kCmd.debugOn); }

Packet Reset() {
    Packet p = header(10, 0x07, 0, 0x07, kCmd.reset);
    p[6] = 0x03;
    return p;
}

Packet Write(uint16_t address, uint16_t inputValue) {
    Packet p = header(10, 0x07, 0, 0x07, kCmd.write);
    put16(p, 6, address);
    put16(p, 8, inputValue);
    return p;
}

Packet SendRamWriteCRC(uint16_t serialNo, uint16_t crc) {
    Packet p = header(14, 0x8B, serialNo, 0x0B, kCmd.ramWrite);
    put16(p, 6, crc);
    return p;
}

Packet RunCode(uint16_t address) {
    Packet p = header(8, 0x06, 0, 0x05, kCmd.runCode);
    put16(p, 6, address);
    return p;
}

Packet FlashErase() { return header(8, 0x06, 0, 0x05, kCmd.flashErase); }

Packet SendFlashWriteCRC(uint16_t crc) {
    Packet p = header(14, 0x8B, 0, 0x04, kCmd.ramWrite);
    put16(p, 6, crc);
    return p;
}

Packet BeforeUpgrade() { return header(6, 0x03, 0, 0x02, 0x00); }

std::optional<Packet> RamWrite(uint16_t serialNo, std::span<const uint8_t> ISPData, AuxTransfer& transfer) {
    return withChunk(header(14, 0x0B, serialNo, 0x0B, kCmd.ramWrite), ISPData, transfer.ISPBufferCount, transfer.WCRC);
}

std::optional<Packet> FlashWrite(std::span<const uint8_t> firmwareData, AuxTransfer& transfer) {
    return withChunk(header(14, static_cast<uint8_t>(0x0B | transfer.startLength), 0, 0x0A, kCmd.flashWrite),
                     firmwareData, transfer.firmwareBufferCount, transfer.WCRC);
}

std::string chunkOutside(uint64_t offset, size_t imageSize) {
    return "the 8 bytes at 0x" + hexDigits(offset, 4, HexCase::lower) + " lie outside the image of " +
           std::to_string(imageSize) + " bytes";
}

}  // namespace quorvel::aux
