// The chip model's own checks: it must catch what a faulty host would send.
#include <gtest/gtest.h>

#include "emu/AuxChip.h"

namespace quorvel::emu {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ramWrite(uint16_t serial, uint8_t fill) {
    Bytes p = {0x51, 0x0B, static_cast<uint8_t>(serial >> 8), static_cast<uint8_t>(serial), 0x0B, 0x13};
    p.insert(p.end(), 8, fill);
    return p;
}

Bytes ramCrc(uint16_t serial, uint16_t crc) {
    return {0x51,
            0x8B,
            static_cast<uint8_t>(serial >> 8),
            static_cast<uint8_t>(serial),
            0x0B,
            0x13,
            static_cast<uint8_t>(crc >> 8),
            static_cast<uint8_t>(crc),
            0,
            0,
            0,
            0,
            0,
            0};
}

const Bytes kDebugOn = {0x51, 0x07, 0, 0, 0x07, 0x09, 0, 0, 0, 0};
const Bytes kReset = {0x51, 0x07, 0, 0, 0x07, 0x20, 0x03, 0, 0, 0};

void loadBlock(AuxChip& chip, uint16_t firstSerial, uint8_t fill, std::optional<uint16_t> crc = std::nullopt) {
    for (uint16_t i = 0; i < 32; ++i) chip.write(ramWrite(static_cast<uint16_t>(firstSerial + i), fill));
    const Bytes block(256, fill);
    chip.write(ramCrc(static_cast<uint16_t>(firstSerial + 32), crc.value_or(AuxChip::crc16(block))));
}

TEST(AuxChip, TheCrcIsTheRegisterStartedAt0x1021) {
    EXPECT_EQ(AuxChip::crc16(Bytes{'a', 'b', 'c'}), 0xEB62);
    EXPECT_EQ(AuxChip::crc16(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x5E86);
    EXPECT_EQ(AuxChip::crc16(Bytes{}), 0x1021);
}

TEST(AuxChip, AcceptsAGoodRamBlockAndCatchesBadSerialsCrcsAndOrder) {
    AuxChip good;
    good.write(kDebugOn);
    good.write(kReset);
    loadBlock(good, 0, 0x5A);
    EXPECT_TRUE(good.violations().empty());
    EXPECT_EQ(good.ramBlocksVerified(), 1u);
    EXPECT_EQ(good.ram(), Bytes(256, 0x5A));

    AuxChip bad;
    bad.write(kReset);  // not in debug mode
    loadBlock(bad, 0, 0x5A, 0x1234);
    bad.write(ramWrite(40, 1));  // serial 33 expected
    const auto v = bad.violations();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0], "Reset outside debug mode");
    EXPECT_EQ(v[1], "RAM block CRC mismatch at serial 32");
    EXPECT_EQ(v[2], "RamWrite serial 40, expected 33");
    EXPECT_EQ(bad.ramBlocksVerified(), 0u);
}

TEST(AuxChip, CatchesAWrongFlashFlagAndWrongLayouts) {
    AuxChip chip;
    chip.write(kDebugOn);
    chip.write(kReset);
    loadBlock(chip, 0, 0x11);
    chip.write(Bytes{0x51, 0x06, 0, 0, 0x05, 0x1D, 0x20, 0x00});
    chip.write(Bytes{0x51, 0x06, 0, 0, 0x05, 0x19, 0, 0});
    ASSERT_TRUE(chip.loaderRunning());
    Bytes flash = {0x51, 0x0B, 0, 0, 0x0A, 0x10, 1, 2, 3, 4, 5, 6, 7, 8};
    for (int i = 0; i < 32; ++i) chip.write(flash);         // the 32nd lacks its 0x40 flag
    chip.write(Bytes{0x51, 0x05, 0, 0, 0x05, 0x19, 0, 0});  // FlashErase with byte 1 = L
    chip.write(Bytes{0x51, 0x03, 0, 0, 0x03});              // too short to be anything
    const auto v = chip.violations();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0], "FlashWrite at offset 248 has byte 1 0B");
    EXPECT_EQ(v[1].rfind("FlashErase with a wrong layout", 0), 0u);
    EXPECT_EQ(v[2].rfind("unknown packet", 0), 0u);
    EXPECT_EQ(chip.flashBytesWritten(), 256u);
}

TEST(AuxChip, VersionRepliesCycleThroughTheRecordAndInjectedFailuresFireOnce) {
    AuxChip chip({.version = "ZK6121 V1.00.0"});
    const Bytes getVersion = {0x51, 0x03, 0, 0, 0x03, 0x08};
    const auto record = AuxChip::versionRecord("ZK6121 V1.00.0");
    Bytes collected;
    for (int pass = 0; pass < 5; ++pass) {
        ASSERT_EQ(chip.write(getVersion), I2CStatus::Ok);
        Bytes reply(16);
        ASSERT_EQ(chip.read(reply), I2CStatus::Ok);
        collected.insert(collected.end(), reply.begin(), reply.end());
    }
    EXPECT_TRUE(std::equal(record.begin(), record.end(), collected.begin()));
    EXPECT_TRUE(std::equal(record.begin(), record.begin() + 16, collected.begin() + 64));

    chip.failAt(AuxPacketKind::GetVersion, 2, I2CStatus::BusError);
    EXPECT_EQ(chip.write(getVersion), I2CStatus::Ok);
    EXPECT_EQ(chip.write(getVersion), I2CStatus::BusError);
    EXPECT_EQ(chip.write(getVersion), I2CStatus::Ok);
    chip.failAtTransfer(1);
    EXPECT_EQ(chip.write(kDebugOn), I2CStatus::Nak);
    EXPECT_EQ(chip.write(kDebugOn), I2CStatus::Ok);
    EXPECT_EQ(chip.transcript().size(), 15u);
}

}  // namespace
}  // namespace quorvel::emu
