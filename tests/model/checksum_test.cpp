#include <gtest/gtest.h>

#include "model/Errors.h"
#include "model/Settings.h"
#include "model/SourceModel.h"
#include "support/Recorders.h"
#include "support/TestSupport.h"

using namespace quorvel;
using quorvel::test::bytesOf;

namespace {

uint16_t crcOf(const std::vector<uint8_t>& bytes) {
    WCRC = CmdCode{}.CRC_INIT_POLINOM;
    uint16_t crc = WCRC;
    for (uint8_t b : bytes) crc = SourceModel::GenCRC16(b);
    return crc;
}

TEST(CalCheckSum, Vectors) {
    struct Case {
        std::vector<uint8_t> data;
        uint8_t expected;
    };
    const std::vector<Case> cases = {
        {{}, 0x00},
        {{0x00}, 0x00},
        {{0x01}, 0xFF},
        {std::vector<uint8_t>(256, 0x01), 0x00},
        {bytesOf("abc"), 0xDA},
        {{0x05, 0x06, 0x86, 0x0C, 0, 0, 0, 0, 0, 0}, 0x63},  // Read frame of 0x860C
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SourceModel::CalCheckSum(c.data), c.expected);
        // The frame with its checksum always sums to zero.
        auto framed = c.data;
        framed.push_back(SourceModel::CalCheckSum(c.data));
        EXPECT_EQ(SourceModel::CalCheckSum(framed), 0);
    }
}

TEST(GenCRC16, VectorsFromResetRegister) {
    EXPECT_EQ(crcOf(bytesOf("abc")), 0xEB62);
    EXPECT_EQ(crcOf(bytesOf("123456789")), 0x5E86);
    EXPECT_EQ(crcOf({}), 0x1021);
    EXPECT_EQ(WCRC, 0x1021);
}

TEST(GenCRC16, UsesOnlyLowByteAndSharedRegister) {
    WCRC = 0x1021;
    const uint16_t wide = SourceModel::GenCRC16(0x0161);
    WCRC = 0x1021;
    const uint16_t narrow = SourceModel::GenCRC16(0x0061);
    EXPECT_EQ(wide, narrow);
    EXPECT_EQ(WCRC, narrow);

    // A block started without a reset continues from the previous one.
    crcOf(bytesOf("abc"));
    const uint16_t continued = SourceModel::GenCRC16('1');
    EXPECT_NE(continued, crcOf(bytesOf("1")));
}

TEST(BackData, KeepsAsciiAndNul) {
    EXPECT_EQ(SourceModel::BackData(std::vector<uint8_t>{0x54, 0xC3, 0x41, 0x00}), std::string("TA\0", 3));
    EXPECT_EQ(SourceModel::BackData(std::vector<uint8_t>{0x80, 0xFF}), "");
    EXPECT_EQ(SourceModel::BackData(std::vector<uint8_t>{0x7F, 0x0A}), "\x7F\n");
}

TEST(SourceModelTable, NineRowsInOrder) {
    const SourceModel m;
    ASSERT_EQ(m.chipTable.size(), 9u);
    const std::vector<std::tuple<int64_t, std::string, std::string>> expected = {
        {0, "TRE5", "UsbFlT"},   {160, "hWXo", "UsbFlT2"}, {161, "VRE1", "UsbFlV"},
        {163, "VRE2", "UsbFlV"}, {167, "VRE3", "UsbFlV"},  {168, "VRE3", "UsbFlV"},
        {1, "SDI1", "UsbFlS"},   {3, "SDE4", "UsbFlS"},    {4, "SDE4", "UsbFlS"},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(m.chipTable[i].chipNameValue, std::get<0>(expected[i])) << i;
        EXPECT_EQ(m.chipTable[i].signature, std::get<1>(expected[i])) << i;
        EXPECT_EQ(m.chipTable[i].ISPChipName, std::get<2>(expected[i])) << i;
    }
    EXPECT_EQ(m.upgrade.success, 1);
    const CmdCode c = m.cmd;
    EXPECT_EQ((std::vector<int>{c.getVersion, c.read, c.debugOn, c.reset, c.write, c.ramWrite, c.runCode, c.flashErase,
                                c.flashWrite}),
              (std::vector<int>{0x08, 0x06, 0x09, 0x20, 0x07, 0x13, 0x1D, 0x19, 0x10}));
}

TEST(Errors, RequestTextsCarrySignedCode) {
    EXPECT_EQ(Errors::USBDeviceError::requestFailed(-7).desc(), "Get device status request error: -7");
    EXPECT_EQ(Errors::USBDeviceError::writeRequestFailed(-7).desc(), "Get device statu s request error: -7");
    EXPECT_EQ(Errors::USBDeviceError::requestFailed(-536870165).desc(), "Get device status request error: -536870165");
    EXPECT_EQ(Errors::USBDeviceError::DeviceInterfaceNotFound(), Errors::USBDeviceError::DeviceInterfaceNotFound());
    EXPECT_NE(Errors::USBDeviceError::requestFailed(1), Errors::USBDeviceError::requestFailed(2));
}

TEST(Errors, CustomErrorsEqualByCase) {
    using E = Errors::customErrors;
    EXPECT_EQ(E::USBUpgradeError, E(E::Kind::USBUpgradeError));
    EXPECT_NE(E::USBUpgradeError, E::AUXUpgradeError);
    EXPECT_NE(E::AUXUpgradeError, E::readChipIDError);
}

TEST(AlertHandler, GoesToInstalledSinkWithWarningDefault) {
    auto sink = std::make_shared<test::RecordingAlertSink>();
    auto previous = setAlertSink(sink);
    SourceModel::AlertHandler("ERROR", "Update process FAILED!");
    SourceModel::AlertHandler("Note", "x", AlertStyle::critical);
    setAlertSink(previous);
    const auto seen = sink->alerts();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], (test::RecordedAlert{"ERROR", "Update process FAILED!", AlertStyle::warning}));
    EXPECT_EQ(seen[1].style, AlertStyle::critical);
}

TEST(AlertHandler, DefaultSinkPrints) {
    auto previous = setAlertSink(nullptr);
    testing::internal::CaptureStdout();
    SourceModel::AlertHandler("ERROR", "Update process FAILED!");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Update process FAILED!\n");
    setAlertSink(previous);
}

}  // namespace
