// The Linux seams through umockdev: connectors read from DRM sysfs and the
// chip reached through /dev/i2c-N with I2C_FUNCS and I2C_RDWR.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include "display/AUXDisplayManager.h"
#include "display/AuxPacket.h"
#include "display/linux/LinuxI2C.h"
#include "display/linux/SysfsDisplaySource.h"
#include "emu/AuxUmockdev.h"
#include "model/Errors.h"
#include "model/Hex.h"
#include "support/AuxTestSupport.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

class DrmI2CUmockdev : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetDisplayState();
        ASSERT_TRUE(emu::AuxUmockdevDisplays::inMockEnvironment());
        bed = std::make_unique<emu::AuxUmockdevDisplays>();
    }
    void TearDown() override {
        AUXDisplayManager::shared().clearDisplays();
        bed.reset();
    }

    std::unique_ptr<emu::AuxUmockdevDisplays> bed;
    test::ScopedDisplayPlatform platform{linuxDisplayPlatform()};
    test::ScopedSleeper sleeper;
    test::ScopedLogCapture log;
};

TEST_F(DrmI2CUmockdev, ConnectedConnectorsInTheirOrderWithEdidDdcBusAndKind) {
    auto chip = std::make_shared<emu::AuxChip>();
    bed->addDisplay({.type = "eDP", .connectorId = 70, .edid = buildEdid({.name = "Panel"}), .bus = 1});
    bed->addDisplay({.type = "DP", .index = 10, .connectorId = 0, .edid = buildEdid({.serial = 10}), .bus = 7});
    bed->addDisplay({.type = "DP",
                     .index = 2,
                     .connectorId = 42,
                     .edid = buildEdid({.product = 0x0102, .serial = 2, .name = "Office 27"}),
                     .bus = 3,
                     .chip = chip});
    bed->addDisplay({.type = "HDMI-A", .index = 1, .connectorId = 50, .connected = false, .edid = buildEdid({})});
    bed->addDisplay({.type = "Virtual", .index = 1, .connectorId = 60});
    bed->addDisplay({.type = "DP", .index = 3, .connectorId = 43, .backlight = true});

    SysfsDisplaySource source;
    const auto connectors = source.onlineConnectors(16);
    ASSERT_TRUE(connectors);
    std::vector<std::string> names;
    for (const auto& c : *connectors) names.push_back(c.name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"card0-DP-2", "card0-DP-3", "card0-DP-10", "card0-Virtual-1", "card0-eDP-1"}));
    const auto& office = (*connectors)[0];
    EXPECT_EQ(office.displayID, 42u);
    EXPECT_EQ(office.type, "DP");
    EXPECT_EQ(office.ddcBus, 3u);
    EXPECT_EQ(office.edid, buildEdid({.product = 0x0102, .serial = 2, .name = "Office 27"}));
    EXPECT_TRUE((*connectors)[1].hasBacklight);
    EXPECT_FALSE((*connectors)[0].hasBacklight);
    EXPECT_EQ((*connectors)[2].displayID, 3u);  // no connector id: its ordinal
    EXPECT_EQ((*connectors)[3].type, "Virtual");
    EXPECT_FALSE((*connectors)[3].ddcBus);

    AUXDisplayManager::shared().configureDisplays();
    const auto displays = AUXDisplayManager::shared().displays();
    ASSERT_EQ(displays.size(), 5u);
    EXPECT_TRUE(std::dynamic_pointer_cast<AppleDisplay>(displays[1]));
    EXPECT_TRUE(std::dynamic_pointer_cast<AppleDisplay>(displays[4]));
    const auto others = AUXDisplayManager::shared().getOtherDisplays();
    ASSERT_EQ(others.size(), 3u);
    EXPECT_EQ(others[0]->name, "Office 27");
    ASSERT_TRUE(others[0]->ddc);
    EXPECT_EQ(others[0]->ddc->framebuffer, 3u);
    EXPECT_EQ(others[0]->ddc->replyTransactionType, kIOI2CDDCciReplyTransactionType);
    ASSERT_TRUE(others[1]->ddc);  // no chip there, but a bus
    EXPECT_TRUE(others[2]->isVirtual);
    EXPECT_FALSE(others[2]->ddc);
    EXPECT_TRUE(log.contains(LogLevel::info, "Using CGSServiceForDisplayNumber to acquire framebuffer port for 42."));
    EXPECT_TRUE(log.contains(LogLevel::info, "kIOI2CDDCciReplyTransactionType is supported."));
}

TEST_F(DrmI2CUmockdev, SeventeenConnectorsListSixteen) {
    for (unsigned i = 1; i <= 17; ++i) bed->addConnector({.type = "DP", .index = i, .edid = buildEdid({.serial = i})});
    AUXDisplayManager::shared().configureDisplays();
    const auto displays = AUXDisplayManager::shared().displays();
    ASSERT_EQ(displays.size(), 16u);
    EXPECT_EQ(displays.front()->identifier, 1u);
    EXPECT_EQ(displays.back()->identifier, 16u);
}

TEST_F(DrmI2CUmockdev, WithoutADdcLinkTheBusIsFoundByTheEdidAt0x50) {
    auto chip = std::make_shared<emu::AuxChip>(emu::AuxChipOptions{.version = "ZK6121 V2.00.1"});
    bed->addAdapter(2, {{0x50, std::make_shared<emu::AuxEdidEeprom>(buildEdid({.serial = 99}))}});
    bed->addDisplay({.type = "HDMI-A",
                     .connectorId = 5,
                     .edid = buildEdid({.serial = 5, .name = "TV"}),
                     .bus = 4,
                     .ddcLink = false,
                     .chip = chip});
    auto ddc = IntelDDC::create(5);
    ASSERT_TRUE(ddc);
    EXPECT_EQ(ddc->framebuffer, 4u);
    EXPECT_EQ(ddc->GetVersionIntel(), "ZK6121 V2.00.1");
    EXPECT_EQ(serviceMatchDisplayIDIntel, 1);
    EXPECT_TRUE(log.contains(LogLevel::info, "Service port serial number 99 differs from display serial number 5."));
}

TEST_F(DrmI2CUmockdev, TheUpgradeThroughI2cDevLeavesTheFileInFlash) {
    auto chip = std::make_shared<emu::AuxChip>();
    bed->addDisplay({.type = "DP", .connectorId = 9, .edid = buildEdid({.name = "Lab"}), .bus = 6, .chip = chip});
    AUXDisplayManager::shared().configureDisplays();
    EXPECT_EQ(AUXDisplayManager::shared().readVersionIntel(), "ZK6121 V1.00.0");
    EXPECT_EQ(serviceMatchDisplayIDIntel, 1);
    EXPECT_EQ(sleeper->waits().size(), 8u);  // the reply delay of each pass

    const Bytes isp = test::patternImage(4096, 7), fw = test::patternImage(64 * 1024, 8);
    int64_t flashStarted = 0;
    ProgressObserver observer{[&](UpgradePhase p) { flashStarted += p == UpgradePhase::firmware; }, {}};
    AUXDisplayManager::shared().AUXFirmwareUpgradeIntel(isp, fw, aux::stepCount(isp.size()), aux::stepCount(fw.size()),
                                                        observer);
    EXPECT_EQ(flashStarted, 1);
    EXPECT_TRUE(chip->violations().empty());
    EXPECT_EQ(chip->ram(), isp);
    const auto flash = chip->flash();
    EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin()));
    EXPECT_EQ(AUXpercentCompleted, 100);
}

TEST_F(DrmI2CUmockdev, ANakOrABusErrorReachesTheLogAndTheUpgradeErrorWithItsErrno) {
    struct Case {
        const char* name;
        emu::I2CStatus status;
        std::string errnoText;
        bool nak;
        uint32_t display;
        uint32_t bus;
    };
    const Bytes isp = test::patternImage(4096, 1), fw = test::patternImage(65536, 2);
    for (const Case& c : {
             Case{"NAK", emu::I2CStatus::Nak, "errno 6 (No such device or address)", true, 9, 6},
             Case{"bus error", emu::I2CStatus::BusError, "errno 5 (Input/output error)", false, 10, 7},
         }) {
        SCOPED_TRACE(c.name);
        auto chip = std::make_shared<emu::AuxChip>();
        bed->addDisplay({.type = "DP",
                         .index = c.display,
                         .connectorId = c.display,
                         .edid = buildEdid({.serial = c.display}),
                         .bus = c.bus,
                         .chip = chip});
        auto ddc = IntelDDC::create(c.display);
        ASSERT_TRUE(ddc);

        chip->failAt(emu::AuxPacketKind::DebugOn, 1, c.status);
        const std::string debugOn =
            "write to 0x37: " + (c.nak ? "NAK of 6e 51 07 00 00 07 09 00 00 00 00, " : std::string()) + c.errnoText;
        EXPECT_FALSE(ddc->DebugOnIntel());
        EXPECT_TRUE(log.contains(LogLevel::error, "Failed to send request to interface 0 for framebuffer with ID " +
                                                      std::to_string(c.bus) + ". Cause: " + debugOn));

        // The fifth RAM packet: serial 4, the loader's bytes 32 to 39.
        chip->failAt(emu::AuxPacketKind::RamWrite, 5, c.status);
        Bytes packet = {0x6e, 0x51, 0x0b, 0x00, 0x04, 0x0b, 0x13};
        packet.insert(packet.end(), isp.begin() + 32, isp.begin() + 40);
        const std::string refused = (c.nak ? "NAK of " + hexBytes(packet, " ", HexCase::lower) + ", " : std::string()) +
                                    c.errnoText;
        try {
            ddc->AUXFirmwareUpgradeIntel(isp, fw, aux::stepCount(isp.size()), aux::stepCount(fw.size()));
            ADD_FAILURE() << "no error";
        } catch (const Errors::customErrors& e) {
            EXPECT_EQ(e, Errors::customErrors::AUXUpgradeError);
            ASSERT_TRUE(e.cause());
            EXPECT_EQ(e.cause()->describe(), "loader step 5 of 528: RamWrite: write to 0x37: " + refused);
        }
        EXPECT_EQ(chip->transcript().back().kind, emu::AuxPacketKind::RamWrite);
        EXPECT_EQ(chip->transcript().back().status, c.status);
    }
}

TEST_F(DrmI2CUmockdev, ABusWithoutPlainI2CGetsNoTransport) {
    bed->addDisplay({.type = "DP",
                     .connectorId = 9,
                     .edid = buildEdid({}),
                     .bus = 6,
                     .chip = std::make_shared<emu::AuxChip>(),
                     .functionality = 0});
    EXPECT_FALSE(IntelDDC::create(9));
    EXPECT_TRUE(log.contains(LogLevel::error, "No supported reply transaction type found for display with ID 9."));
}

TEST_F(DrmI2CUmockdev, PlainReadAndWriteGoToTheChosenSlave) {
    bed->addAdapter(5, {{0x50, std::make_shared<emu::AuxEdidEeprom>(buildEdid({.name = "Raw"}))}});
    const int fd = ::open("/dev/i2c-5", O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ioctl(fd, I2C_SLAVE, 0x50), 0);
    const uint8_t offset = 0;
    ASSERT_EQ(::write(fd, &offset, 1), 1);
    Bytes edid(128);
    ASSERT_EQ(::read(fd, edid.data(), edid.size()), 128);
    EXPECT_EQ(edid, buildEdid({.name = "Raw"}));
    ASSERT_EQ(::ioctl(fd, I2C_SLAVE, 0x21), 0);
    EXPECT_EQ(::write(fd, &offset, 1), -1);
    EXPECT_EQ(errno, ENXIO);
    ::close(fd);
}

TEST_F(DrmI2CUmockdev, SysfsGivesCardsTheirIdentityAndBusesTheirOwner) {
    bed->addDisplay({.type = "DP", .connectorId = 95, .edid = buildEdid({.serial = 1}), .bus = 3});
    bed->addDisplay({.type = "DP",
                     .connectorId = 95,
                     .edid = buildEdid({.serial = 2}),
                     .bus = 12,
                     .ddcLink = false,
                     .card = 1,
                     .auxChild = true,
                     .busDriver = "ddcci"});
    bed->addBus({.number = 0, .owner = emu::AuxUmockdevBus::Owner::Smbus});
    bed->addBus({.number = 7, .node = false});
    // A display engine off PCI: its buses belong to DRM.
    GError* error = nullptr;
    for (const char* record :
         {"P: /devices/platform/vc4\nE: SUBSYSTEM=platform\n", "P: /devices/platform/vc4/drm/card2\nE: SUBSYSTEM=drm\n",
          "P: /devices/platform/vc4/drm/card2/card2-HDMI-A-1\nE: SUBSYSTEM=drm\nA: status=disconnected\\n\n",
          "P: /devices/platform/vc4/drm/card2/card2-HDMI-A-1/i2c-20\nE: SUBSYSTEM=i2c\n",
          "P: /devices/platform/vc4/drm/card2/card2-HDMI-A-1/i2c-20/i2c-dev/i2c-20\nN: i2c-20\n"
          "E: SUBSYSTEM=i2c-dev\nE: DEVNAME=/dev/i2c-20\n"})
        ASSERT_TRUE(umockdev_testbed_add_from_string(bed->testbed(), record, &error)) << error->message;

    SysfsDisplaySource source;
    const auto connectors = source.onlineConnectors(16);
    ASSERT_TRUE(connectors);
    ASSERT_EQ(connectors->size(), 2u);
    EXPECT_EQ((*connectors)[0].displayID, 95u);
    EXPECT_EQ((*connectors)[1].displayID, 0x01000000u | 95u);
    EXPECT_EQ((*connectors)[1].card, 1u);
    EXPECT_EQ((*connectors)[1].auxBuses, std::vector<uint32_t>{12});
    EXPECT_TRUE((*connectors)[0].auxBuses.empty());

    LinuxI2CBusProvider buses;
    EXPECT_EQ(buses.buses(), (std::vector<uint32_t>{0, 3, 12, 20}));
    EXPECT_TRUE(buses.isDisplayAdapter(3));   // the card's PCI device, class 0x030000
    EXPECT_TRUE(buses.isDisplayAdapter(12));  // a connector's DP-AUX adapter
    EXPECT_TRUE(buses.isDisplayAdapter(20));  // owned by DRM alone
    EXPECT_FALSE(buses.isDisplayAdapter(0));  // the SMBus, class 0x0c0500
    EXPECT_EQ(buses.clientDriver(12, 0x37), "ddcci");
    EXPECT_FALSE(buses.clientDriver(3, 0x37));
    // An adapter without its i2c-dev node is never opened by guess.
    EXPECT_FALSE(buses.exists(7));
    int why = 0;
    EXPECT_FALSE(buses.openChecked(7, why));
    EXPECT_EQ(why, ENOENT);
    EXPECT_TRUE(buses.openChecked(3, why));
    EXPECT_EQ(why, 0);
}

TEST_F(DrmI2CUmockdev, NoDrmDevicesMeansNoDisplayList) {
    AUXDisplayManager::shared().configureDisplays();
    EXPECT_TRUE(AUXDisplayManager::shared().displays().empty());
    EXPECT_TRUE(log.contains(LogLevel::error, "Unable to get display list."));
}

}  // namespace
}  // namespace quorvel
