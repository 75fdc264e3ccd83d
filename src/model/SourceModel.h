// The chip table, the ISP command codes and the small operations every
// engine shares: frame checksum, CRC-16 step, bytes-to-text, alert.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "model/Alert.h"

namespace quorvel {

struct Constants {
    int64_t CHIP_TALMORE = 0x00;
    int64_t CHIP_TALMORE_2 = 0xA0;
    int64_t CHIP_VIRREN_A = 0xA1;
    int64_t CHIP_VIRREN_B = 0xA3;
    int64_t CHIP_VIRREN_C = 0xA7;
    int64_t CHIP_VIRREN_D = 0xA8;
    int64_t CHIP_SOLDA_B = 0x01;
    int64_t CHIP_SOLDA_D = 0x03;
    int64_t CHIP_SOLDA_E = 0x04;
};

struct CmdCode {
    uint8_t getVersion = 0x08;
    uint8_t read = 0x06;
    uint8_t debugOn = 0x09;
    uint8_t reset = 0x20;
    uint8_t write = 0x07;
    uint8_t ramWrite = 0x13;
    uint8_t runCode = 0x1D;
    uint8_t flashErase = 0x19;
    uint8_t flashWrite = 0x10;
    uint16_t CRC_INIT_POLINOM = 0x1021;
    uint16_t CRC_POLINOM = 0x1021;
};

struct UpgradeSuccess {
    int64_t success = 1;
};

struct ChipType {
    int64_t chipNameValue;
    std::string signature;
    std::string ISPChipName;
};

class SourceModel {
public:
    SourceModel();

    CmdCode cmd;
    Constants constant;
    UpgradeSuccess upgrade;
    std::vector<ChipType> chipTable;

    // Two's complement of the 8-bit sum: the bytes plus the result add up to 0.
    static uint8_t CalCheckSum(std::span<const uint8_t> data);
    // One byte's step of the CRC-16 on the shared register WCRC; returns WCRC.
    static uint16_t GenCRC16(uint16_t BData);
    // The same step on a register of the caller's: the CRC after `crc` has taken the low byte of BData.
    static uint16_t CRC16Step(uint16_t crc, uint16_t BData);
    // Keeps the bytes below 0x80 (NUL included) as text.
    static std::string BackData(std::span<const uint8_t> binaryChar);
    // Shows a modal alert through the process's alert sink.
    static void AlertHandler(const std::string& messageTitle, const std::string& text,
                             AlertStyle style = AlertStyle::warning);
};

}  // namespace quorvel
