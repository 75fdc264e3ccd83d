#include "model/SourceModel.h"

#include "model/Settings.h"

namespace quorvel {

SourceModel::SourceModel() {
    const Constants c;
    chipTable = {
        {c.CHIP_TALMORE, "TRE5", "UsbFlT"},  {c.CHIP_TALMORE_2, "hWXo", "UsbFlT2"}, {c.CHIP_VIRREN_A, "VRE1", "UsbFlV"},
        {c.CHIP_VIRREN_B, "VRE2", "UsbFlV"}, {c.CHIP_VIRREN_C, "VRE3", "UsbFlV"},   {c.CHIP_VIRREN_D, "VRE3", "UsbFlV"},
        {c.CHIP_SOLDA_B, "SDI1", "UsbFlS"},  {c.CHIP_SOLDA_D, "SDE4", "UsbFlS"},    {c.CHIP_SOLDA_E, "SDE4", "UsbFlS"},
    };
}

uint8_t SourceModel::CalCheckSum(std::span<const uint8_t> data) {
    uint8_t sum = 0;
    for (uint8_t b : data) sum = static_cast<uint8_t>(sum + b);
    return static_cast<uint8_t>(0 - sum);
}

uint16_t SourceModel::CRC16Step(uint16_t crc, uint16_t BData) {
    constexpr uint16_t polynomial = CmdCode{}.CRC_POLINOM;
    uint8_t d = static_cast<uint8_t>(BData & 0xFF);
    for (int i = 0; i < 8; ++i) {
        const bool top = (crc & 0x8000) != 0;
        crc = static_cast<uint16_t>(crc << 1);
        if (top != ((d & 0x80) != 0)) crc ^= polynomial;
        d = static_cast<uint8_t>(d << 1);
    }
    return crc;
}

uint16_t SourceModel::GenCRC16(uint16_t BData) {
    WCRC = CRC16Step(WCRC, BData);
    return WCRC;
}

std::string SourceModel::BackData(std::span<const uint8_t> binaryChar) {
    std::string text;
    text.reserve(binaryChar.size());
    for (uint8_t b : binaryChar)
        if (b < 0x80) text.push_back(static_cast<char>(b));
    return text;
}

void SourceModel::AlertHandler(const std::string& messageTitle, const std::string& text, AlertStyle style) {
    alertSink()->alert(messageTitle, text, style);
}

}  // namespace quorvel
