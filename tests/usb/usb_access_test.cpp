// The USB ISP requests of USBAccess: frames and setup values byte for byte,
// pre-filled reply buffers, reply parsing, errors, chip identifier and the
// manual way into debug mode.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "emu/EmulatedControlTransport.h"
#include "emu/UsbChip.h"
#include "model/Settings.h"
#include "support/TestSupport.h"
#include "usb/USBAccess.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;
using emu::Fault;
using emu::RequestKind;
using emu::UsbChip;
using emu::UsbChipOptions;

// Records each request with its buffer as the host handed it over, and
// answers with scripted bytes.
class ScriptedTransport : public ControlTransport {
public:
    struct Call {
        ControlSetup setup;
        Bytes data;
    };
    std::vector<Call> calls;
    Bytes reply;
    int32_t status = 0;

    int32_t controlTransfer(const ControlSetup& setup, std::span<uint8_t> data) override {
        calls.push_back({setup, Bytes(data.begin(), data.end())});
        if (status != 0) return status;
        std::copy_n(reply.begin(), std::min(reply.size(), data.size()), data.begin());
        return 0;
    }
};

USBDevice deviceWith(std::shared_ptr<ControlTransport> transport) {
    USBDevice device;
    device.id = 7;
    device.deviceInterfacePtrPtr = std::move(transport);
    return device;
}

// (address, value) of each register write in a transcript; reads as value -1.
std::vector<std::pair<int, int>> registerTraffic(const std::vector<emu::RequestRecord>& transcript) {
    std::vector<std::pair<int, int>> out;
    for (const auto& r : transcript) {
        if (r.kind == RequestKind::Read) out.emplace_back(r.setup.wValue, -1);
        if (r.kind == RequestKind::Write) out.emplace_back(r.out[2] << 8 | r.out[3], r.out[4] << 8 | r.out[5]);
    }
    return out;
}

TEST(UsbAccessFrames, OutRequestsAreByteExact) {
    struct Case {
        const char* name;
        std::function<void(USBAccess&)> action;
        ControlSetup setup;
        Bytes data;
    };
    const Case cases[] = {
        {"DebugOn", [](USBAccess& u) { u.DebugOn(); }, {0x41, 0x09, 0, 0, 3}, {0x03, 0x09, 0x00}},
        {"Reset(2)", [](USBAccess& u) { u.Reset(2); }, {0x41, 0x20, 0, 0, 4}, {0x04, 0x20, 0x02, 0x00}},
        {"Reset(0)", [](USBAccess& u) { u.Reset(0); }, {0x41, 0x20, 0, 0, 4}, {0x04, 0x20, 0x00, 0x00}},
        {"Write 0x80AD",
         [](USBAccess& u) { u.Write(0x80AD, 0); },
         {0x41, 0x07, 0, 0, 7},
         {0x07, 0x07, 0x80, 0xAD, 0x00, 0x00, 0x00}},
        {"Write keeps the low 16 bits",
         [](USBAccess& u) { u.Write(0x1ABCD, 0x12345); },
         {0x41, 0x07, 0, 0, 7},
         {0x07, 0x07, 0xAB, 0xCD, 0x23, 0x45, 0x00}},
        {"RunCode", [](USBAccess& u) { u.RunCode(0x2000); }, {0x41, 0x1D, 0, 0, 5}, {0x05, 0x1D, 0x20, 0x00, 0x00}},
        {"FlashErease", [](USBAccess& u) { u.FlashErease(); }, {0x41, 0x19, 0, 0, 2}, {0x00, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto transport = std::make_shared<ScriptedTransport>();
        USBAccess usb(deviceWith(transport));
        c.action(usb);
        ASSERT_EQ(transport->calls.size(), 1u);
        EXPECT_EQ(transport->calls[0].setup, c.setup);
        EXPECT_EQ(transport->calls[0].data, c.data);
    }
}

TEST(UsbAccessFrames, InRequestsPrefillTheirBufferWithAChecksummedFrame) {
    auto transport = std::make_shared<ScriptedTransport>();
    transport->reply = {0x05};  // keeps the version empty, the read short
    USBAccess usb(deviceWith(transport));
    usb.GetVersion();
    usb.Read(0x860C);
    ASSERT_EQ(transport->calls.size(), 2u);

    EXPECT_EQ(transport->calls[0].setup, (ControlSetup{0xC1, 0x08, 0xFFFF, 0xFFFF, 64}));
    Bytes version(64, 0);
    version[0] = 0x03;
    version[1] = 0x08;
    version[63] = 0xF5;
    EXPECT_EQ(transport->calls[0].data, version);

    EXPECT_EQ(transport->calls[1].setup, (ControlSetup{0xC1, 0x06, 0x860C, 0xFFFF, 11}));
    EXPECT_EQ(transport->calls[1].data, (Bytes{0x05, 0x06, 0x86, 0x0C, 0, 0, 0, 0, 0, 0, 0x63}));
}

TEST(UsbAccess, StatusReadAnsweredByOneByteYieldsThatByte) {
    auto transport = std::make_shared<ScriptedTransport>();
    transport->reply = {0x01};
    USBAccess usb(deviceWith(transport));
    usb.Read(0x860C);
    EXPECT_EQ(usb.backData, (Bytes{0x01, 0x06, 0x86, 0x0C, 0, 0, 0, 0, 0, 0, 0x63}));
    EXPECT_EQ(USBAccess::ReadOutInfoInt(usb.backData), 1);
}

TEST(UsbAccess, VersionReplies) {
    struct Case {
        const char* name;
        UsbChipOptions options;
        std::string version;
        std::string output;
    };
    std::string longText;
    for (int i = 0; i < 197; ++i) longText.push_back(static_cast<char>('A' + i % 26));
    const std::string replug = "Please replug the device again.";
    const Case cases[] = {
        {"plain text", {.versionText = "ZK6221 v1.07"}, "ZK6221 v1.07", ""},
        {"length 3 gives empty text", {.versionReply = Bytes{3, 8, 0}}, "", ""},
        {"length 200 stops at index 62", {.versionText = longText}, longText.substr(0, 61), ""},
        {"embedded NUL cuts the text", {.versionText = std::string("ZK61\0junk", 9)}, "ZK61", ""},
        {"bytes above 0x7F are dropped", {.versionReply = Bytes{8, 8, 'Z', 0xC3, 'K', '1', '2', 0}}, "ZK12", ""},
        {"no reply keeps the pre-filled length 3", {.versionReply = Bytes{}}, "", ""},
        {"length 2", {.versionReply = Bytes{2, 8}}, replug, replug + "\n"},
        {"length 0", {.versionReply = Bytes{0, 8, 'Z', 'K'}}, replug, replug + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto chip = std::make_shared<UsbChip>(c.options);
        USBAccess usb(emu::makeEmulatedDevice(chip));
        std::string version;
        EXPECT_EQ(test::capturedStdout([&] { version = usb.GetVersion(); }), c.output);
        EXPECT_EQ(version, c.version);
        EXPECT_TRUE(usb.backData.empty());
    }
}

TEST(UsbAccess, ReadOutInfoIntReadsMissingBytesAsZero) {
    struct Case {
        Bytes bytes;
        int64_t value;
    };
    const Case cases[] = {
        {{0x0B, 0x06, 0x12, 0x34, 0xBE, 0xEF, 0, 0, 0, 0, 0}, 0xBEEF},
        {{0x01, 0x06, 0x86, 0x0C}, 0x01},  // status register: byte 0
        {{0x0B, 0x06, 0x12, 0x34, 0xBE}, 0xBE00},
        {{0x0B, 0x06, 0x86}, 0},
        {{0x09}, 0},
        {{}, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(USBAccess::ReadOutInfoInt(c.bytes), c.value);
}

TEST(UsbAccess, FailedRequestsCarryThePlatformCode) {
    struct Case {
        const char* name;
        RequestKind kind;
        Fault fault;
        std::function<void(USBAccess&)> action;
        std::string desc;
        std::string cause;  // the failing request and the status by name
    };
    const Case cases[] = {
        {"read stalled", RequestKind::Read, Fault::Stall, [](USBAccess& u) { u.Read(0x1234); },
         "Get device status request error: -9", "Read 0x1234: LIBUSB_ERROR_PIPE (-9)"},
        {"version timed out", RequestKind::GetVersion, Fault::Timeout, [](USBAccess& u) { u.GetVersion(); },
         "Get device status request error: -7", "GetVersion: LIBUSB_ERROR_TIMEOUT (-7)"},
        {"debug on broken", RequestKind::DebugOn, Fault::TransferError, [](USBAccess& u) { u.DebugOn(); },
         "Get device status request error: -1", "DebugOn: LIBUSB_ERROR_IO (-1)"},
        {"register write unplugged", RequestKind::Write, Fault::Unplug, [](USBAccess& u) { u.Write(0x80AD, 0); },
         "Get device statu s request error: -4", "Write 0x80AD: LIBUSB_ERROR_NO_DEVICE (-4)"},
        {"register write not taken whole", RequestKind::Write, Fault::Short, [](USBAccess& u) { u.Write(0x80AD, 0); },
         "Get device statu s request error: -1001", "Write 0x80AD: SHORT_OUT_TRANSFER (-1001)"},
        {"flash packet not taken whole", RequestKind::FlashWrite, Fault::Short,
         [](USBAccess& u) {
             const int64_t saved = maxPktSize.exchange(64);
             try {
                 u.FlashWrite(std::vector<uint8_t>(256, 0x11));
             } catch (...) {
                 maxPktSize = saved;
                 throw;
             }
             maxPktSize = saved;
         },
         "Get device status request error: -1001", "FlashWrite packet 1 of 4: SHORT_OUT_TRANSFER (-1001)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto chip = std::make_shared<UsbChip>();
        USBAccess usb(emu::makeEmulatedDevice(chip));
        usb.Read(0x8910);
        const Bytes before = usb.backData;
        chip->failAt(c.kind, 1, c.fault);
        try {
            c.action(usb);
            ADD_FAILURE() << "no error";
        } catch (const Errors::USBDeviceError& e) {
            EXPECT_EQ(e.kind(), Errors::USBDeviceError::Kind::RequestError);
            EXPECT_EQ(e.desc(), c.desc);
            ASSERT_TRUE(e.cause().has_value());
            EXPECT_EQ(e.cause()->describe(), c.cause);
        }
        EXPECT_EQ(usb.backData, before);
    }
}

TEST(UsbAccess, WithoutAnInterfaceEveryOperationFailsBeforeSending) {
    USBAccess usb(USBDevice{.id = 3,
                            .vendorId = 0x7E51,
                            .productId = 0x6221,
                            .name = "x",
                            .deviceInterfacePtrPtr = nullptr,
                            .plugInInterfacePtrPtr = nullptr});
    const Bytes image(300, 0x5A);
    const int64_t savedPacketSize = maxPktSize.exchange(64);
    const std::function<void()> operations[] = {
        [&] { usb.GetVersion(); },    [&] { usb.Read(0x8910); },     [&] { usb.DebugOn(); },
        [&] { usb.Reset(2); },        [&] { usb.Write(0x80AD, 0); }, [&] { usb.RamWrite(0x2000, image); },
        [&] { usb.RunCode(0x2000); }, [&] { usb.FlashErease(); },    [&] { usb.FlashWrite(image); },
    };
    for (const auto& op : operations) {
        try {
            op();
            ADD_FAILURE() << "no error";
        } catch (const Errors::USBDeviceError& e) {
            EXPECT_EQ(e, Errors::USBDeviceError::DeviceInterfaceNotFound());
        }
    }
    EXPECT_THROW(usb.GetChipID(), Errors::customErrors);
    EXPECT_FALSE(usb.DebugOnManual(0xA1));
    try {
        usb.USBFirmware(image, image, 0xA1);
        ADD_FAILURE() << "no error";
    } catch (const Errors::customErrors& e) {
        EXPECT_EQ(e, Errors::customErrors::USBUpgradeError);
    }
    EXPECT_TRUE(usb.backData.empty());
    maxPktSize = savedPacketSize;
}

TEST(UsbAccess, GetChipIdFallsBackToTheSecondRegisterOnZero) {
    struct Case {
        const char* name;
        UsbChipOptions options;
        int64_t id;
        std::vector<uint16_t> reads;
    };
    const Case cases[] = {
        {"first register", {.chipId = 0xA1}, 0xA1, {0x8910}},
        {"second register", {.chipId = 0xA0, .chipIdInSecondRegister = true}, 0xA0, {0x8910, 0x89FC}},
        {"zero in both", {.chipId = 0}, 0, {0x8910, 0x89FC}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto chip = std::make_shared<UsbChip>(c.options);
        USBAccess usb(emu::makeEmulatedDevice(chip));
        EXPECT_EQ(usb.GetChipID(), c.id);
        std::vector<uint16_t> reads;
        for (const auto& r : chip->transcript()) reads.push_back(r.setup.wValue);
        EXPECT_EQ(reads, c.reads);
    }
}

TEST(UsbAccess, GetChipIdReplacesAnyReadFailure) {
    for (size_t failing : {0u, 1u}) {
        auto chip = std::make_shared<UsbChip>(UsbChipOptions{.chipId = 0});
        chip->failAt(RequestKind::Read, failing + 1, failing == 0 ? Fault::TransferError : Fault::Unplug);
        USBAccess usb(emu::makeEmulatedDevice(chip));
        try {
            usb.GetChipID();
            ADD_FAILURE() << "no error";
        } catch (const Errors::customErrors& e) {
            EXPECT_EQ(e, Errors::customErrors::readChipIDError);
        }
        EXPECT_EQ(chip->requestCount(), failing + 1);
    }
}

TEST(UsbAccess, DebugOnManualTouchesTheRegistersOfItsChip) {
    struct Case {
        const char* name;
        int64_t chip;
        uint16_t reg0A06;
        std::vector<std::pair<int, int>> traffic;
        bool debug;
    };
    const Case cases[] = {
        {"Talmore, 0x0A06 reads 0x4A",
         0x00,
         0x4A,
         {{0x0A06, -1}, {0x0A06, 0x4B}, {0x8900, 0}, {0x8088, -1}, {0x8088, 0x45}},
         true},
        {"Talmore, 0x0A06 reads 0x49",
         0x00,
         0x49,
         {{0x0A06, -1}, {0x0A74, -1}, {0x0A74, 0x11}, {0x8900, 0}, {0x8088, -1}, {0x8088, 0x45}},
         true},
        {"Virren A", 0xA1, 0x49, {{0x0ED6, -1}, {0x0ED6, 0x21}, {0x8800, 0}, {0x8088, -1}, {0x8088, 0x45}}, true},
        {"Virren B", 0xA3, 0x4A, {{0x1304, -1}, {0x1304, 0x31}, {0x8800, 0}, {0x8088, -1}, {0x8088, 0x45}}, true},
        {"other chips work on register 0",
         0x03,
         0x4A,
         {{0x0000, -1}, {0x0000, 0x01}, {0x8800, 0}, {0x8088, -1}, {0x8088, 0x45}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto chip = std::make_shared<UsbChip>(
            UsbChipOptions{.chipId = c.chip, .registers = {{0x0A06, c.reg0A06}, {0x8088, 0xC5}}});
        USBAccess usb(emu::makeEmulatedDevice(chip));
        EXPECT_TRUE(usb.DebugOnManual(c.chip));
        EXPECT_EQ(registerTraffic(chip->transcript()), c.traffic);
        EXPECT_EQ(chip->state() == emu::ChipState::Debug, c.debug);
    }
}

TEST(UsbAccess, DebugOnManualStopsAtTheFirstFailureAndAnswersFalse) {
    auto chip = std::make_shared<UsbChip>(UsbChipOptions{.chipId = 0xA1});
    chip->failAt(RequestKind::Write, 2, Fault::Stall);  // the halt register
    USBAccess usb(emu::makeEmulatedDevice(chip));
    bool result = true;
    EXPECT_NO_THROW(result = usb.DebugOnManual(0xA1));
    EXPECT_FALSE(result);
    EXPECT_EQ(chip->requestCount(), 3u);
    EXPECT_EQ(chip->state(), emu::ChipState::Idle);
}

TEST(UsbAccess, ConsistencyChecksFollowTheChipTable) {
    auto chip = std::make_shared<UsbChip>();
    const USBAccess usb(emu::makeEmulatedDevice(chip));
    struct Case {
        int64_t chip;
        const char* text;
        bool file;
        bool isp;
    };
    const Case cases[] = {
        {0, "TRE5", true, false},     {0, "Talmore", true, false},  {160, "Talmore", false, false},
        {0, "UsbFlT", false, true},   {160, "hWXo", true, false},   {160, "UsbFlT2", false, true},
        {167, "VRE3", true, false},   {168, "VRE3", true, false},   {161, "VRE3", false, false},
        {161, "UsbFlV", false, true}, {163, "UsbFlV", false, true}, {168, "UsbFlV", false, true},
        {3, "SDE4", true, false},     {4, "SDE4", true, false},     {1, "UsbFlS", false, true},
        {2, "SDE4", false, false},    {2, "UsbFlS", false, false},  {161, "vre1", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.chip) + " " + c.text);
        EXPECT_EQ(usb.ConsistencyOfDeviceAndFile(c.chip, c.text), c.file);
        EXPECT_EQ(usb.ConsistencyOfDeviceAndISP(c.chip, c.text), c.isp);
    }
    EXPECT_EQ(chip->requestCount(), 0u);
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

// The builders' named fields land on their bytes: the RAM frame's address
// and checksum, the flash packet's page flag and 24-bit address.
TEST(UsbRequests, NamedFieldsLandOnTheirBytes) {
    const CmdCode cmd;
    const Bytes one{0xA9};
    const usb::Request frame = usb::ramLoad(cmd, {.ramAddress = 0x2009, .data = one});
    EXPECT_EQ(frame.setup, (ControlSetup{0x41, 0x13, 0, 0, 6}));
    EXPECT_EQ(frame.data, (Bytes{0x06, 0x13, 0x20, 0x09, 0xA9, 0x15}));

    const Bytes chunk(64, 0x5A);
    struct Case {
        uint32_t address;
        bool last;
        ControlSetup setup;
    };
    for (const Case& c :
         {Case{192, true, {0x41, 0x10, 0x0100, 192, 64}}, Case{0x10000, false, {0x41, 0x10, 0x0001, 0x0000, 64}},
          Case{0x1FFC0, true, {0x41, 0x10, 0x0101, 0xFFC0, 64}}}) {
        const usb::Request packet =
            usb::flashWrite(cmd, {.flashAddress = c.address, .lastOfPage = c.last, .data = chunk});
        EXPECT_EQ(packet.setup, c.setup);
        EXPECT_EQ(packet.data, chunk);
    }
    EXPECT_EQ(usb::ramFrameLength(8, 10), 3u);
    EXPECT_EQ(usb::ramFrameLength(64, 10), 10u);
    EXPECT_EQ(usb::flashPacketLength(64, 44), 44u);

    Bytes reply(64, 'x');
    reply[0] = 2;
    EXPECT_EQ(usb::versionText(reply), std::nullopt);
    reply[0] = 3;
    EXPECT_EQ(usb::versionText(reply), std::string());
    reply[0] = 200;
    EXPECT_EQ(usb::versionText(reply), std::string(61, 'x'));
}

}  // namespace
}  // namespace quorvel
