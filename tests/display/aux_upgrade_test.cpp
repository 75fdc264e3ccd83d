// The display-side upgrade against the chip model: block structure, serial
// numbers, CRC packets, flags, waits, progress, failures and retries.
#include <gtest/gtest.h>

#include "display/AUXAccess.h"
#include "display/AuxPacket.h"
#include "display/Display.h"
#include "model/Hex.h"
#include "model/Errors.h"
#include "support/AuxTestSupport.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using emu::AuxPacketKind;
using std::chrono::seconds;
using test::OneDisplay;
using test::packetsOf;
using Bytes = std::vector<uint8_t>;
using Waits = std::vector<std::chrono::microseconds>;

class AuxUpgrade : public ::testing::Test {
protected:
    void SetUp() override { test::resetDisplayState(); }

    void upgradeIntel(IntelDDC& ddc, const Bytes& isp, const Bytes& fw, const ProgressObserver& observer = {}) {
        ddc.AUXFirmwareUpgradeIntel(isp, fw, aux::stepCount(isp.size()), aux::stepCount(fw.size()), observer);
    }

    test::ScopedSleeper sleeper;
    test::ScopedLogCapture log;
    const Bytes isp = test::patternImage(4096, 1);
    const Bytes firmware = test::patternImage(64 * 1024, 2);
};

uint16_t serialOf(const emu::AuxTranscriptEntry& e) { return static_cast<uint16_t>(e.bytes[2] << 8 | e.bytes[3]); }

TEST_F(AuxUpgrade, FullUpgradeLeavesTheFileInFlashOnBothTransports) {
    for (const bool m1 : {false, true}) {
        SCOPED_TRACE(m1 ? "M1" : "Intel");
        OneDisplay display;
        const Bytes fw = test::patternImage(128 * 1024, 3);
        if (m1) {
            auto service = std::make_shared<emu::AuxEmulatedAVService>(display.chip);
            AUXAccess::AUXFirmwareUpgradeM1(service, isp, fw, aux::stepCount(isp.size()), aux::stepCount(fw.size()));
        } else {
            auto ddc = display.ddc();
            upgradeIntel(*ddc, isp, fw);
        }
        EXPECT_TRUE(display.chip->violations().empty()) << display.chip->violations().front();
        EXPECT_EQ(display.chip->ram(), isp);
        EXPECT_EQ(display.chip->flash(), fw);
        EXPECT_EQ(display.chip->ramBlocksVerified(), 16u);
        EXPECT_EQ(display.chip->flashBlocksVerified(), 512u);
        const std::map<uint16_t, uint16_t> cleared = {{0x80AD, 0}, {0x80C0, 0}, {0x80C9, 0}, {0x80D1, 0},
                                                      {0x80D9, 0}, {0x80E1, 0}, {0x80E9, 0}};
        EXPECT_EQ(display.chip->registers(), cleared);
        EXPECT_EQ(AUXpercentCompleted, 100);
        EXPECT_EQ(WCRC, 0x1021);
        EXPECT_EQ(packetsOf(*display.chip, AuxPacketKind::BeforeUpgrade).size(), m1 ? 0u : 20u);
    }
}

TEST_F(AuxUpgrade, TheCommandsComeInTheirOrderWithTheirWaits) {
    OneDisplay display;
    auto ddc = display.ddc();
    upgradeIntel(*ddc, isp, firmware);
    std::vector<AuxPacketKind> order;
    for (const auto& e : display.chip->transcript())
        if (order.empty() || order.back() != e.kind) order.push_back(e.kind);
    using K = AuxPacketKind;
    const std::vector<K> expected = {K::DebugOn, K::BeforeUpgrade, K::Reset, K::Write, K::RamWrite, K::SendRamWriteCRC};
    ASSERT_GE(order.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), order.begin()));
    const std::vector<K> tail = {K::SendRamWriteCRC, K::RunCode,    K::FlashErase,
                                 K::BeforeUpgrade,   K::FlashWrite, K::SendFlashWriteCRC};
    auto runCode = std::find(order.begin(), order.end(), K::RunCode);
    ASSERT_NE(runCode, order.end());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), runCode - 1));
    std::vector<uint16_t> registers;  // cleared in this order
    for (const auto& e : packetsOf(*display.chip, K::Write))
        registers.push_back(static_cast<uint16_t>(e.bytes[6] << 8 | e.bytes[7]));
    EXPECT_EQ(registers, (std::vector<uint16_t>{0x80AD, 0x80C0, 0x80C9, 0x80D1, 0x80D9, 0x80E1, 0x80E9}));
    EXPECT_EQ(sleeper->waits(), (Waits{seconds(5), seconds(5), seconds(2), seconds(5), seconds(5)}));

    OneDisplay other;
    test::ScopedSleeper m1Sleeper;
    auto service = std::make_shared<emu::AuxEmulatedAVService>(other.chip);
    AUXAccess::AUXFirmwareUpgradeM1(service, isp, firmware, aux::stepCount(isp.size()),
                                    aux::stepCount(firmware.size()));
    EXPECT_EQ(m1Sleeper->waits(), (Waits{seconds(5), seconds(2), seconds(7), seconds(7)}));
    const auto t = other.chip->transcript();
    EXPECT_EQ(t.at(0).kind, K::DebugOn);
    EXPECT_EQ(t.at(1).kind, K::Reset);
}

TEST_F(AuxUpgrade, RamBlocksOfA4096ByteLoaderCarryTheirSerialNumbers) {
    OneDisplay display;
    auto ddc = display.ddc();
    EXPECT_EQ(aux::stepCount(4096), 528u);
    upgradeIntel(*ddc, isp, firmware);
    const auto data = packetsOf(*display.chip, AuxPacketKind::RamWrite);
    const auto crcs = packetsOf(*display.chip, AuxPacketKind::SendRamWriteCRC);
    ASSERT_EQ(data.size(), 512u);
    ASSERT_EQ(crcs.size(), 16u);
    for (size_t k = 0; k < data.size(); ++k) EXPECT_EQ(serialOf(data[k]), k + k / 32) << k;
    for (size_t b = 0; b < crcs.size(); ++b) {
        EXPECT_EQ(serialOf(crcs[b]), 32 + 33 * b);
        const uint16_t crc = emu::AuxChip::crc16(std::span(isp).subspan(b * 256, 256));
        EXPECT_EQ(crcs[b].bytes[6], crc >> 8);
        EXPECT_EQ(crcs[b].bytes[7], crc & 0xFF);
    }
    EXPECT_EQ(serialOf(crcs.back()), 527);
}

TEST_F(AuxUpgrade, A4000ByteImageEndsWithDataPacketsWithoutCrc) {
    const Bytes shortImage = test::patternImage(4000, 9);
    EXPECT_EQ(aux::stepCount(4000), 515u);
    OneDisplay display;
    auto ddc = display.ddc();
    // Stop after the RAM phase to see what it left in the CRC register.
    display.chip->failAt(AuxPacketKind::RunCode, 1);
    EXPECT_THROW(upgradeIntel(*ddc, shortImage, firmware), Errors::customErrors);
    const auto data = packetsOf(*display.chip, AuxPacketKind::RamWrite);
    const auto crcs = packetsOf(*display.chip, AuxPacketKind::SendRamWriteCRC);
    EXPECT_EQ(data.size(), 500u);
    EXPECT_EQ(crcs.size(), 15u);
    EXPECT_EQ(serialOf(data.back()), 514);
    EXPECT_EQ(display.chip->ram(), shortImage);
    EXPECT_EQ(WCRC, emu::AuxChip::crc16(std::span(shortImage).subspan(3840)));

    // The same shape in the flash phase: 15 checked blocks, then 160 bytes.
    OneDisplay flashDisplay;
    auto flashDdc = flashDisplay.ddc();
    upgradeIntel(*flashDdc, isp, shortImage);
    EXPECT_EQ(packetsOf(*flashDisplay.chip, AuxPacketKind::FlashWrite).size(), 500u);
    EXPECT_EQ(packetsOf(*flashDisplay.chip, AuxPacketKind::SendFlashWriteCRC).size(), 15u);
    const auto flash = flashDisplay.chip->flash();
    EXPECT_TRUE(std::equal(shortImage.begin(), shortImage.end(), flash.begin()));
    EXPECT_TRUE(flashDisplay.chip->violations().empty());
}

TEST_F(AuxUpgrade, OnlyTheLastFlashPacketOfEachBlockIsFlagged) {
    OneDisplay display;
    auto ddc = display.ddc();
    upgradeIntel(*ddc, isp, firmware);
    const auto data = packetsOf(*display.chip, AuxPacketKind::FlashWrite);
    ASSERT_EQ(data.size(), 8192u);
    size_t flagged = 0;
    for (size_t k = 0; k < data.size(); ++k) {
        const uint8_t expected = k % 32 == 31 ? 0x4B : 0x0B;
        EXPECT_EQ(data[k].bytes[1], expected) << k;
        flagged += data[k].bytes[1] == 0x4B;
    }
    EXPECT_EQ(flagged, 256u);
}

TEST_F(AuxUpgrade, ProgressClimbsToOneHundredTwiceAndDropsToZeroBetween) {
    OneDisplay display;
    auto ddc = display.ddc();
    std::vector<std::pair<UpgradePhase, int64_t>> seen;
    std::vector<UpgradePhase> phases;
    ProgressObserver observer{[&](UpgradePhase p) { phases.push_back(p); },
                              [&](UpgradePhase p, int64_t v) { seen.emplace_back(p, v); }};
    upgradeIntel(*ddc, isp, firmware, observer);
    EXPECT_EQ(phases, (std::vector<UpgradePhase>{UpgradePhase::loader, UpgradePhase::firmware}));
    // The 2-second pause between the phases sees 100; the next value is 0.
    EXPECT_EQ(sleeper->probes().at(2), 100);
    auto zero = std::find(seen.begin(), seen.end(), std::make_pair(UpgradePhase::firmware, int64_t{0}));
    ASSERT_NE(zero, seen.end());
    ASSERT_NE(zero, seen.begin());
    EXPECT_EQ(*(zero - 1), std::make_pair(UpgradePhase::loader, int64_t{100}));
    EXPECT_EQ(seen.front(), std::make_pair(UpgradePhase::loader, int64_t{32 * 100 / 528}));
    EXPECT_EQ(seen.back(), std::make_pair(UpgradePhase::firmware, int64_t{100}));
    for (auto it = seen.begin() + 1; it != seen.end(); ++it) {
        if (it == zero) continue;
        EXPECT_GE(it->second, (it - 1)->second);
    }
    EXPECT_EQ(seen.size(), 16u + 1 + 1 + 256 + 1);
}

struct FailureCase {
    const char* name;
    AuxPacketKind kind;
    size_t occurrence;
    bool resetSent;
};

TEST_F(AuxUpgrade, AFailingCommandEndsTheRunAtOnce) {
    const std::vector<FailureCase> cases = {
        {"DebugOn", AuxPacketKind::DebugOn, 1, false},
        {"ninth BeforeUpgrade", AuxPacketKind::BeforeUpgrade, 9, false},
        {"Write", AuxPacketKind::Write, 3, true},
        {"RAM data packet", AuxPacketKind::RamWrite, 40, true},
        {"RAM CRC packet", AuxPacketKind::SendRamWriteCRC, 3, true},
        {"RunCode", AuxPacketKind::RunCode, 1, true},
        {"second-phase BeforeUpgrade", AuxPacketKind::BeforeUpgrade, 12, true},
        {"flash data packet", AuxPacketKind::FlashWrite, 100, true},
        {"flash CRC packet", AuxPacketKind::SendFlashWriteCRC, 2, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OneDisplay display;
        auto ddc = display.ddc();
        display.chip->failAt(c.kind, c.occurrence, emu::I2CStatus::Nak);
        try {
            upgradeIntel(*ddc, isp, firmware);
            ADD_FAILURE() << "no error";
        } catch (const Errors::customErrors& e) {
            EXPECT_EQ(e, Errors::customErrors::AUXUpgradeError);
        }
        const auto t = display.chip->transcript();
        ASSERT_FALSE(t.empty());
        EXPECT_EQ(t.back().kind, c.kind);
        EXPECT_EQ(t.back().status, emu::I2CStatus::Nak);
        EXPECT_EQ(packetsOf(*display.chip, c.kind).size(), c.occurrence);
        EXPECT_EQ(!packetsOf(*display.chip, AuxPacketKind::Reset).empty(), c.resetSent);
    }
}

// The error names the step, the command and what the bus answered; the
// record of the display adds which display, and logs it.
TEST_F(AuxUpgrade, TheErrorCarriesTheCauseOfTheFirstFailingCommand) {
    const auto hexOf = [](const emu::AuxTranscriptEntry& e) { return "6e " + hexBytes(e.bytes, " ", HexCase::lower); };
    struct Case {
        const char* name;
        AuxPacketKind kind;
        size_t occurrence;
        std::string step;  // before the command's own part
    };
    for (const Case& c : {
             Case{"DebugOn", AuxPacketKind::DebugOn, 1, ""},
             Case{"ninth BeforeUpgrade", AuxPacketKind::BeforeUpgrade, 9, "pass 9 of 10: "},
             Case{"RAM data packet", AuxPacketKind::RamWrite, 40, "loader step 41 of 528: "},
             Case{"flash CRC packet", AuxPacketKind::SendFlashWriteCRC, 2, "firmware step 66 of 8448: "},
         }) {
        SCOPED_TRACE(c.name);
        OneDisplay display;
        auto ddc = display.ddc();
        display.chip->failAt(c.kind, c.occurrence, emu::I2CStatus::Nak);
        try {
            upgradeIntel(*ddc, isp, firmware);
            ADD_FAILURE() << "no error";
        } catch (const Errors::customErrors& e) {
            const auto refused = display.chip->transcript().back();
            const std::string command = emu::toString(refused.kind);
            ASSERT_TRUE(e.cause());
            EXPECT_EQ(e.cause()->describe(), c.step + command + ": write to 0x37: NAK of " + hexOf(refused));
        }
    }

    // A chunk the counts point past the image's end is never sent.
    OneDisplay display;
    auto ddc = display.ddc();
    try {
        ddc->AUXFirmwareUpgradeIntel(isp, firmware, 600, 10);
        ADD_FAILURE() << "no error";
    } catch (const Errors::customErrors& e) {
        ASSERT_TRUE(e.cause());
        EXPECT_EQ(e.cause()->describe(),
                  "loader step 529 of 600: RamWrite: the 8 bytes at 0x1000 lie outside the image of 4096 bytes");
    }

    // Through the display's record: which display, and the log line.
    OneDisplay named;
    OtherDisplay record(1, "Office 27", 1234, 5678, 77, false, false, named.host.platform());
    ASSERT_TRUE(record.ddc);
    named.chip->failAt(AuxPacketKind::Reset, 1, emu::I2CStatus::BusError);
    const std::string why = "display Office 27 (i2c-3): Reset: write to 0x37: errno 5 (Input/output error)";
    try {
        record.setupUpgradeIntel(isp, firmware, aux::stepCount(isp.size()), aux::stepCount(firmware.size()));
        ADD_FAILURE() << "no error";
    } catch (const Errors::customErrors& e) {
        EXPECT_EQ(e, Errors::customErrors::AUXUpgradeError);
        ASSERT_TRUE(e.cause());
        EXPECT_EQ(e.cause()->describe(), why);
    }
    EXPECT_TRUE(log.contains(LogLevel::error, "AUX Upgrade Error: " + why));

    // The AV-service road names the platform call and its status.
    OneDisplay m1;
    m1.chip->failAt(AuxPacketKind::Write, 3, emu::I2CStatus::Nak);
    try {
        AUXAccess::AUXFirmwareUpgradeM1(std::make_shared<emu::AuxEmulatedAVService>(m1.chip), isp, firmware,
                                        aux::stepCount(isp.size()), aux::stepCount(firmware.size()));
        ADD_FAILURE() << "no error";
    } catch (const Errors::customErrors& e) {
        ASSERT_TRUE(e.cause());
        EXPECT_EQ(e.cause()->describe(), "Write: IOAVServiceWriteI2C: status -1");
    }
}

TEST_F(AuxUpgrade, ARetryAfterAFailureStartsOverAndFlashesCorrectly) {
    for (const auto kind : {AuxPacketKind::RamWrite, AuxPacketKind::FlashWrite, AuxPacketKind::SendFlashWriteCRC}) {
        SCOPED_TRACE(emu::toString(kind));
        OneDisplay display;
        auto ddc = display.ddc();
        display.chip->failAt(kind, 77, emu::I2CStatus::BusError);
        EXPECT_THROW(upgradeIntel(*ddc, isp, firmware), Errors::customErrors);
        EXPECT_NE(ISPBufferCount + firmwareBufferCount, 0u);  // the state the failed run reached
        upgradeIntel(*ddc, isp, firmware);
        EXPECT_TRUE(display.chip->violations().empty()) << display.chip->violations().front();
        const auto flash = display.chip->flash();
        EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), flash.begin()));
        EXPECT_EQ(display.chip->flashBlocksVerified(), 256u);
        EXPECT_EQ(display.chip->ram(), isp);
    }
}

TEST_F(AuxUpgrade, ImagesBeyondWhatTheCountersAddressAreRefusedBeforeSending) {
    OneDisplay display;
    auto ddc = display.ddc();
    const Bytes big(65536, 0);
    EXPECT_THROW(upgradeIntel(*ddc, big, firmware), Errors::customErrors);
    EXPECT_THROW(ddc->AUXFirmwareUpgradeIntel(isp, firmware, 65537, 10), Errors::customErrors);
    EXPECT_EQ(display.chip->packetCount(), 0u);
    // Step counts larger than the image stop at the image's end.
    EXPECT_THROW(ddc->AUXFirmwareUpgradeIntel(isp, firmware, 600, 10), Errors::customErrors);
}

TEST_F(AuxUpgrade, WithoutAServiceTheM1UpgradeFailsAtOnce) {
    EXPECT_THROW(AUXAccess::AUXFirmwareUpgradeM1(nullptr, isp, firmware, 528, 8448), Errors::customErrors);
    EXPECT_TRUE(sleeper->waits().empty());
}

}  // namespace
}  // namespace quorvel
