// The AUX commands on the wire: every packet byte for byte on both
// transports, the CRC register fed by the data bytes, the version queries.
#include <gtest/gtest.h>

#include "display/AUXAccess.h"
#include "display/AuxPacket.h"
#include "support/AuxTestSupport.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using emu::AuxPacketKind;
using test::OneDisplay;
using test::packetsOf;
using Bytes = std::vector<uint8_t>;

class AuxCommands : public ::testing::Test {
protected:
    void SetUp() override { test::resetDisplayState(); }
    test::ScopedSleeper sleeper;
    test::ScopedLogCapture log;
};

struct PacketCase {
    const char* name;
    std::function<TransferResult(IntelDDC&)> intel;
    std::function<TransferResult(const AUXAccess::Service&)> m1;
    Bytes expected;
};

TEST_F(AuxCommands, EveryCommandPutsItsExactPacketOnBothTransports) {
    const std::vector<PacketCase> cases = {
        {"DebugOn",
         [](IntelDDC& d) { return d.DebugOnIntel(); },
         [](const auto& s) { return AUXAccess::DebugOnM1(s); },
         {0x51, 0x07, 0, 0, 0x07, 0x09, 0, 0, 0, 0}},
        {"Reset",
         [](IntelDDC& d) { return d.ResetIntel(); },
         [](const auto& s) { return AUXAccess::ResetM1(s); },
         {0x51, 0x07, 0, 0, 0x07, 0x20, 0x03, 0, 0, 0}},
        {"Write",
         [](IntelDDC& d) { return d.WriteIntel(0x80AD, 0x0000); },
         [](const auto& s) { return AUXAccess::WriteM1(s, 0x80AD, 0x0000); },
         {0x51, 0x07, 0x00, 0x00, 0x07, 0x07, 0x80, 0xAD, 0x00, 0x00}},
        {"Write operands",
         [](IntelDDC& d) { return d.WriteIntel(0x1234, 0xBEEF); },
         [](const auto& s) { return AUXAccess::WriteM1(s, 0x1234, 0xBEEF); },
         {0x51, 0x07, 0x00, 0x00, 0x07, 0x07, 0x12, 0x34, 0xBE, 0xEF}},
        {"RunCode",
         [](IntelDDC& d) { return d.RunCodeIntel(0x2000); },
         [](const auto& s) { return AUXAccess::RunCodeM1(s, 0x2000); },
         {0x51, 0x06, 0x00, 0x00, 0x05, 0x1D, 0x20, 0x00}},
        {"FlashErase",
         [](IntelDDC& d) { return d.FlashEraseIntel(); },
         [](const auto& s) { return AUXAccess::FlashEraseM1(s); },
         {0x51, 0x06, 0, 0, 0x05, 0x19, 0, 0}},
        {"SendRamWriteCRC",
         [](IntelDDC& d) { return d.SendRamWriteCRCIntel(0x0021, 0x1021); },
         [](const auto& s) { return AUXAccess::SendRamWriteCRCM1(s, 0x0021, 0x1021); },
         {0x51, 0x8B, 0x00, 0x21, 0x0B, 0x13, 0x10, 0x21, 0, 0, 0, 0, 0, 0}},
        {"SendFlashWriteCRC",
         [](IntelDDC& d) { return d.SendFlashWriteCRCIntel(0x1021); },
         [](const auto& s) { return AUXAccess::SendFlashWriteCRCM1(s, 0x1021); },
         {0x51, 0x8B, 0x00, 0x00, 0x04, 0x13, 0x10, 0x21, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OneDisplay display;
        auto ddc = display.ddc();
        ASSERT_TRUE(ddc);
        ASSERT_TRUE(c.intel(*ddc));
        auto service = std::make_shared<emu::AuxEmulatedAVService>(display.chip);
        ASSERT_TRUE(c.m1(service));
        const auto transcript = display.chip->transcript();
        ASSERT_EQ(transcript.size(), 2u);
        EXPECT_EQ(transcript[0].bytes, c.expected);
        EXPECT_EQ(transcript[1].bytes, c.expected);
    }
    OneDisplay display;
    auto ddc = display.ddc();
    ASSERT_TRUE(ddc->BeforeUpgradeIntel());
    EXPECT_EQ(display.chip->transcript().at(0).bytes, (Bytes{0x51, 0x03, 0x00, 0x00, 0x02, 0x00}));
    EXPECT_EQ(aux::GetVersion(), (Bytes{0x51, 0x03, 0x00, 0x00, 0x03, 0x08}));
}

TEST_F(AuxCommands, RamWriteSendsTheChunkAtTheOffsetAndFeedsTheCrcWithoutAdvancing) {
    OneDisplay display;
    auto ddc = display.ddc();
    Bytes isp = test::bytesOf("abcdefghijklmnop");
    AuxTransfer transfer;
    ASSERT_TRUE(ddc->RamWriteIntel(0, isp, transfer));
    EXPECT_EQ(display.chip->transcript().back().bytes,
              (Bytes{0x51, 0x0B, 0x00, 0x00, 0x0B, 0x13, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68}));
    EXPECT_EQ(transfer.ISPBufferCount, 0);
    EXPECT_EQ(transfer.WCRC, emu::AuxChip::crc16(Bytes(isp.begin(), isp.begin() + 8)));

    AuxTransfer second{.ISPBufferCount = 8};
    auto service = std::make_shared<emu::AuxEmulatedAVService>(display.chip);
    ASSERT_TRUE(AUXAccess::RamWriteM1(service, 0x0102, isp, second));
    EXPECT_EQ(display.chip->transcript().back().bytes,
              (Bytes{0x51, 0x0B, 0x01, 0x02, 0x0B, 0x13, 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p'}));
    EXPECT_EQ(second.WCRC, emu::AuxChip::crc16(Bytes(isp.begin() + 8, isp.end())));
}

TEST_F(AuxCommands, FlashWriteCarriesStartLengthInByteOne) {
    OneDisplay display;
    auto ddc = display.ddc();
    const Bytes fw = test::bytesOf("ABCDEFGH");
    AuxTransfer transfer{.startLength = 0x40};
    ASSERT_TRUE(ddc->FlashWriteIntel(fw, transfer));
    transfer.startLength = 0;
    ASSERT_TRUE(ddc->FlashWriteIntel(fw, transfer));
    const auto t = display.chip->transcript();
    EXPECT_EQ(t[0].bytes, (Bytes{0x51, 0x4B, 0, 0, 0x0A, 0x10, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}));
    EXPECT_EQ(t[1].bytes[1], 0x0B);
    EXPECT_EQ(transfer.firmwareBufferCount, 0u);
}

TEST_F(AuxCommands, DataPastTheImageEndIsRefusedWithoutSendingOrTouchingTheCrc) {
    OneDisplay display;
    auto ddc = display.ddc();
    const Bytes image(12, 0x11);
    AuxTransfer transfer{.ISPBufferCount = 8, .firmwareBufferCount = 8};
    EXPECT_FALSE(ddc->RamWriteIntel(0, image, transfer));
    EXPECT_FALSE(ddc->FlashWriteIntel(image, transfer));
    EXPECT_FALSE(AUXAccess::FlashWriteM1(std::make_shared<emu::AuxEmulatedAVService>(display.chip), image, transfer));
    EXPECT_EQ(display.chip->packetCount(), 0u);
    EXPECT_EQ(transfer.WCRC, 0x1021);
}

TEST_F(AuxCommands, AFailedTransferSaysWhyInItsResultAndItsLogLine) {
    struct Case {
        const char* name;
        emu::I2CStatus status;
        std::string why;
    };
    for (const Case& c : {
             Case{"NAK", emu::I2CStatus::Nak, "write to 0x37: NAK of 6e 51 07 00 00 07 09 00 00 00 00"},
             Case{"bus error", emu::I2CStatus::BusError, "write to 0x37: errno 5 (Input/output error)"},
         }) {
        SCOPED_TRACE(c.name);
        OneDisplay display;
        auto ddc = display.ddc();
        display.chip->failAt(AuxPacketKind::DebugOn, 1, c.status);
        const TransferResult result = ddc->DebugOnIntel();
        EXPECT_FALSE(result);
        EXPECT_EQ(result.cause().describe(), "DebugOn: " + c.why);
        EXPECT_TRUE(log.contains(LogLevel::error,
                                 "Failed to send request to interface 0 for framebuffer with ID 3. Cause: " + c.why));
        EXPECT_TRUE(ddc->DebugOnIntel());
    }
    // A reply that is refused names the read.
    OneDisplay display;
    auto ddc = display.ddc();
    display.chip->failAt(AuxPacketKind::VersionRead, 1);
    EXPECT_EQ(ddc->GetVersionIntel(), "Please replug the device again.");
    EXPECT_TRUE(log.contains(LogLevel::error,
                             "Failed to send request to interface 0 for framebuffer with ID 3. "
                             "Cause: read of 16 bytes from 0x37: NAK of 6f"));
}

TEST_F(AuxCommands, M1CommandsWithoutAServiceFailWithoutSending) {
    EXPECT_FALSE(AUXAccess::FlashEraseM1(nullptr));
    EXPECT_FALSE(AUXAccess::DebugOnM1(nullptr));
    AuxTransfer transfer;
    EXPECT_FALSE(AUXAccess::RamWriteM1(nullptr, 0, Bytes(8, 1), transfer));
    EXPECT_EQ(transfer.WCRC, 0x1021);
}

struct VersionCase {
    std::string chipText;
    std::string expected;
    int64_t match;
};

TEST_F(AuxCommands, GetVersionIntelAsksEightTimesKeepsFiveAndFindsTheModelText) {
    const std::vector<VersionCase> cases = {
        {"ZK6121 V1.02.3", "ZK6121 V1.02.3", 1},
        {"ZK12x3 build 7", "ZK12x3 build 7", 1},
        {"Hello display", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chipText);
        OneDisplay display({.version = c.chipText});
        auto ddc = display.ddc();
        serviceMatchDisplayIDIntel = 1 - c.match;
        EXPECT_EQ(ddc->GetVersionIntel(), c.expected);
        EXPECT_EQ(serviceMatchDisplayIDIntel, c.match);
        EXPECT_EQ(packetsOf(*display.chip, AuxPacketKind::GetVersion).size(), 8u);
        EXPECT_EQ(packetsOf(*display.chip, AuxPacketKind::VersionRead).size(), 8u);
        EXPECT_TRUE(display.chip->violations().empty());
    }
}

// Answers the n-th version read with the n-th of its 16-byte replies.
class ScriptedReplies : public emu::I2CTarget {
public:
    explicit ScriptedReplies(std::vector<Bytes> replies) : replies_(std::move(replies)) {}
    emu::I2CStatus write(std::span<const uint8_t>) override { return emu::I2CStatus::Ok; }
    emu::I2CStatus read(std::span<uint8_t> out) override {
        const Bytes& reply = replies_.at(reads++);
        std::copy_n(reply.begin(), out.size(), out.begin());
        return emu::I2CStatus::Ok;
    }
    size_t reads = 0;

private:
    std::vector<Bytes> replies_;
};

TEST_F(AuxCommands, GetVersionIntelKeepsAllSixteenBytesOfPassesOneToFiveOnly) {
    const auto reply = [](std::string text) {
        text.resize(16, '\0');
        return test::bytesOf(text);
    };
    const Bytes filler = reply(std::string(16, 'b'));
    const Bytes late = reply("ZK9999 late");
    struct Case {
        const char* name;
        Bytes fifth;
        std::string expected;
        int64_t match;
    };
    for (const Case& c : {
             // The text starts at byte 0 of the first reply and ends in the fifth.
             Case{"NUL in pass 5", reply("eeeeeee"), "ZK1234 v1.0 aaaa" + std::string(48, 'b') + "eeeeeee", 1},
             // A NUL only in passes 6 to 8 is never seen.
             Case{"NUL only after pass 5", reply(std::string(16, 'e')), "", 0},
         }) {
        SCOPED_TRACE(c.name);
        auto replies = std::make_shared<ScriptedReplies>(
            std::vector<Bytes>{reply("ZK1234 v1.0 aaaa"), filler, filler, filler, c.fifth, late, late, late});
        emu::AuxEmulatedHost host;
        const Bytes edid = buildEdid({.serial = 1});
        host.addDisplay({.type = "DP", .edid = edid, .bus = 3});
        host.addBus(3, {{0x50, std::make_shared<emu::AuxEdidEeprom>(edid)}, {0x37, replies}});
        auto ddc = IntelDDC::create(1, std::nullopt, host.platform());
        ASSERT_TRUE(ddc);
        serviceMatchDisplayIDIntel = 1 - c.match;
        EXPECT_EQ(ddc->GetVersionIntel(), c.expected);
        EXPECT_EQ(serviceMatchDisplayIDIntel, c.match);
        EXPECT_EQ(replies->reads, 8u);
    }
}

TEST_F(AuxCommands, GetVersionIntelPausesBeforeEachReadAndStopsAtTheFirstFailedPass) {
    OneDisplay display;
    auto ddc = display.ddc();
    ddc->setVersionReplyDelay(std::chrono::milliseconds(40));
    ddc->GetVersionIntel();
    EXPECT_EQ(sleeper->waits(), std::vector<std::chrono::microseconds>(8, std::chrono::milliseconds(40)));

    display.chip->clearTranscript();
    display.chip->failAt(AuxPacketKind::VersionRead, 3);
    EXPECT_EQ(ddc->GetVersionIntel(), "Please replug the device again.");
    EXPECT_EQ(packetsOf(*display.chip, AuxPacketKind::GetVersion).size(), 3u);
}

TEST_F(AuxCommands, GetVersionM1KeepsSixtyTwoBytesAndStoresTheText) {
    test::ScopedPreferences prefs;
    test::ScopedAlerts alerts;
    OneDisplay display({.version = "ZK6121 V1.02.3 with a long tail that spans the replies"});
    auto service = std::make_shared<emu::AuxEmulatedAVService>(display.chip);
    const std::string version = AUXAccess::GetVersionM1(service);
    EXPECT_EQ(version, "ZK6121 V1.02.3 with a long tail that spans the replies");
    EXPECT_EQ(prefs->string("FirmwareVersionM1"), version);
    EXPECT_EQ(packetsOf(*display.chip, AuxPacketKind::VersionRead).size(), 4u);
    EXPECT_TRUE(alerts.alerts().empty());
    EXPECT_EQ(serviceMatchDisplayIDIntel, 0);
}

TEST_F(AuxCommands, GetVersionM1AlertsOnAFailedReadOnly) {
    test::ScopedPreferences prefs;
    test::ScopedAlerts alerts;
    OneDisplay display;
    auto service = std::make_shared<emu::AuxEmulatedAVService>(display.chip);

    display.chip->failAt(AuxPacketKind::GetVersion, 2);
    EXPECT_EQ(AUXAccess::GetVersionM1(service), "Please replug the device again.");
    EXPECT_TRUE(alerts.alerts().empty());

    display.chip->failAt(AuxPacketKind::VersionRead, 1);
    EXPECT_EQ(AUXAccess::GetVersionM1(service), "Please replug the device again.");
    EXPECT_EQ(alerts.alerts(), std::vector<std::string>{"ERROR|Please replug the device again."});

    EXPECT_EQ(AUXAccess::GetVersionM1(nullptr), "Please replug the device again.");
    EXPECT_FALSE(prefs->string("FirmwareVersionM1"));
}

}  // namespace
}  // namespace quorvel
