// EDID reading, the display list, names, prefsId, the built-in, virtual
// and dummy tests, the forwarding of version reads and upgrades, and the
// attachment of matched AV services.
#include <gtest/gtest.h>

#include "display/AUXDisplayManager.h"
#include "display/AuxPacket.h"
#include "model/Errors.h"
#include "support/AuxTestSupport.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Edid, NumbersNameDateAndSizeComeFromTheBaseBlock) {
    const Bytes edid = buildEdid({.manufacturer = "DEL",
                                  .product = 0xA0C5,
                                  .serial = 0x12345678,
                                  .name = "DELL U2720Q",
                                  .week = 12,
                                  .year = 2020,
                                  .widthMM = 597,
                                  .heightMM = 336});
    const auto info = parseEdid(edid);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->vendor, 0x10ACu);  // "DEL"
    EXPECT_EQ(edid[8], 0x10);
    EXPECT_EQ(edid[9], 0xAC);
    EXPECT_EQ(info->product, 0xA0C5u);
    EXPECT_EQ(edid[10], 0xC5);
    EXPECT_EQ(info->serial, 0x12345678u);
    EXPECT_EQ(edid[12], 0x78);
    EXPECT_EQ(info->name, "DELL U2720Q");
    EXPECT_EQ(info->week, 12);
    EXPECT_EQ(info->year, 2020);
    EXPECT_EQ(info->widthMM, 597);
    EXPECT_EQ(info->heightMM, 336);
    uint8_t sum = 0;
    for (uint8_t b : edid) sum = static_cast<uint8_t>(sum + b);
    EXPECT_EQ(sum, 0);
}

TEST(Edid, ShortOrHeaderlessDataIsNoEdid) {
    Bytes edid = buildEdid({});
    EXPECT_FALSE(parseEdid(Bytes(edid.begin(), edid.begin() + 127)));
    edid[0] = 0x01;
    EXPECT_FALSE(parseEdid(edid));
    EXPECT_FALSE(parseEdid({}));
}

class DisplayList : public ::testing::Test {
protected:
    void SetUp() override { test::resetDisplayState(); }
    void TearDown() override { AUXDisplayManager::shared().clearDisplays(); }

    std::vector<std::shared_ptr<Display>> configure() {
        platform_.emplace(host.platform());
        AUXDisplayManager::shared().configureDisplays();
        return AUXDisplayManager::shared().displays();
    }

    test::ScopedSleeper sleeper;
    test::ScopedLogCapture log;
    emu::AuxEmulatedHost host;
    std::optional<test::ScopedDisplayPlatform> platform_;
};

TEST_F(DisplayList, KindsNamesAndKeysOfTheConnectedDisplays) {
    host.addDisplay(
        {.type = "eDP", .connectorId = 40, .edid = buildEdid({.manufacturer = "BOE", .name = "Panel"}), .bus = 1});
    host.addDisplay({.type = "DP",
                     .connectorId = 2,
                     .edid = buildEdid({.manufacturer = "QRV", .product = 5678, .name = "Office 27"}),
                     .bus = 3,
                     .chip = std::make_shared<emu::AuxChip>()});
    host.addDisplay({.type = "HDMI-A", .connectorId = 7, .connected = false, .edid = buildEdid({})});
    host.addDisplay(
        {.type = "Virtual", .connectorId = 9, .edid = buildEdid({.manufacturer = "QRV", .name = "Remote"})});
    host.addDisplay({.type = "DP", .index = 2, .connectorId = 11, .backlight = true});
    const auto displays = configure();
    ASSERT_EQ(displays.size(), 4u);

    EXPECT_TRUE(std::dynamic_pointer_cast<AppleDisplay>(displays[0]));
    EXPECT_TRUE(std::dynamic_pointer_cast<AppleDisplay>(displays[3]));  // it has a backlight
    auto office = std::dynamic_pointer_cast<OtherDisplay>(displays[1]);
    ASSERT_TRUE(office);
    const uint32_t qrv = parseEdid(buildEdid({.manufacturer = "QRV"}))->vendor;
    EXPECT_EQ(office->name, "Office 27");
    EXPECT_EQ(office->prefsId, "(Office27" + std::to_string(qrv) + "5678@2)");
    EXPECT_TRUE(office->ddc);
    EXPECT_FALSE(office->isVirtual);
    EXPECT_TRUE(log.contains(LogLevel::info, "Other display found - ID: 2, Name: Office 27 (Vendor: " +
                                                 std::to_string(qrv) + ", Model: 5678)"));
    EXPECT_TRUE(log.contains(LogLevel::info, "Apple display found - ID: 11, Name: DP-2 (Vendor: 0, Model: 0)"));

    auto remote = std::dynamic_pointer_cast<OtherDisplay>(displays[2]);
    ASSERT_TRUE(remote);
    EXPECT_TRUE(remote->isVirtual);
    EXPECT_FALSE(remote->ddc);
    EXPECT_EQ(remote->prefsId, "(Remote" + std::to_string(qrv) + "1@0)");

    EXPECT_EQ(AUXDisplayManager::shared().getOtherDisplays().size(), 2u);
    EXPECT_EQ(AUXDisplayManager::getDisplayNameByID(99), "Unknown");
}

TEST_F(DisplayList, AVirtualDisplayWithoutSerialIsKeyedAt9999AndAnF0F0VirtualIsADummy) {
    Bytes noSerial = buildEdid({.name = "Air"});
    std::fill(noSerial.begin() + 12, noSerial.begin() + 16, 0);
    host.addDisplay({.type = "Writeback", .connectorId = 3});
    host.addDisplay({.type = "Virtual", .connectorId = 4, .edid = buildEdid({.vendorId = 0xF0F0})});
    host.addDisplay({.type = "HDMI-A", .connectorId = 5, .edid = buildEdid({.name = "HDMI DuMMy"}), .bus = 4});
    host.addDisplay({.type = "DP", .connectorId = 6, .edid = buildEdid({.vendorId = 0xF0F0}), .bus = 5});
    const auto displays = configure();
    ASSERT_EQ(displays.size(), 4u);
    EXPECT_TRUE(displays[0]->prefsId.ends_with("@9999)"));
    EXPECT_FALSE(displays[0]->isDummy);
    EXPECT_EQ(parseEdid(buildEdid({.vendorId = 0xF0F0}))->vendor, 0xF0F0u);
    EXPECT_TRUE(displays[1]->isDummy);
    EXPECT_TRUE(displays[2]->isDummy);
    EXPECT_FALSE(displays[3]->isDummy);  // F0F0 counts only for a virtual display
    EXPECT_TRUE(log.contains(LogLevel::info, "NOTE: Display is a dummy!"));
}

TEST_F(DisplayList, AtMostSixteenDisplaysAndAFailedListLeavesItEmpty) {
    for (unsigned i = 1; i <= 17; ++i) host.addDisplay({.type = "DP", .index = i, .connectorId = 100 + i});
    auto displays = configure();
    ASSERT_EQ(displays.size(), 16u);
    EXPECT_EQ(displays.back()->identifier, 116u);

    host.setDisplayListFails(true);
    displays = configure();
    EXPECT_TRUE(displays.empty());
    EXPECT_TRUE(log.contains(LogLevel::error, "Unable to get display list."));
    EXPECT_EQ(AUXDisplayManager::shared().readVersionIntel(), "");
}

TEST_F(DisplayList, WithoutADdcLinkTheBusIsFoundByItsEdid) {
    const Bytes edid = buildEdid({.manufacturer = "QRV", .product = 0x2222, .serial = 5, .name = "Lab"});
    Bytes sameModelOtherSerial = edid;
    sameModelOtherSerial[12] = 6;
    host.addBus(1, {});  // no EEPROM at all
    host.addBus(2, {{0x50, std::make_shared<emu::AuxEdidEeprom>(sameModelOtherSerial)}});
    auto chip = std::make_shared<emu::AuxChip>();
    host.addDisplay({.type = "DP", .connectorId = 8, .edid = edid, .bus = 6, .ddcLink = false, .chip = chip});
    const auto others = (configure(), AUXDisplayManager::shared().getOtherDisplays());
    ASSERT_EQ(others.size(), 1u);
    ASSERT_TRUE(others[0]->ddc);
    EXPECT_EQ(others[0]->ddc->framebuffer, 6u);
    EXPECT_TRUE(log.contains(LogLevel::info, "Service port serial number 6 differs from display serial number 5."));
    EXPECT_TRUE(log.contains(LogLevel::info, "Service Port: 6"));
    EXPECT_EQ(AUXDisplayManager::shared().readVersionIntel(), "ZK6121 V1.00.0");
}

TEST_F(DisplayList, NoTransportWithoutABusWithoutPlainI2COrForTheBuiltInPanel) {
    host.addDisplay({.type = "DP",
                     .connectorId = 1,
                     .edid = buildEdid({.serial = 1}),
                     .bus = 3,
                     .chip = std::make_shared<emu::AuxChip>(),
                     .functionality = 0});
    host.addDisplay({.type = "DP", .index = 2, .connectorId = 2, .edid = buildEdid({.serial = 2}), .bus = 4});
    host.setBusUnopenable(4, true);
    host.addDisplay({.type = "HDMI-A", .connectorId = 5, .edid = buildEdid({.serial = 3})});
    configure();
    for (const auto& d : AUXDisplayManager::shared().getOtherDisplays()) EXPECT_FALSE(d->ddc) << d->identifier;
    EXPECT_TRUE(log.contains(LogLevel::error, "No supported reply transaction type found for display with ID 1."));
    EXPECT_TRUE(log.contains(LogLevel::error, "No supported reply transaction type found for display with ID 2."));
    EXPECT_TRUE(log.contains(LogLevel::error, "No service port found for display with ID 5."));
    EXPECT_FALSE(IntelDDC::ioFramebufferPortFromDisplayId(40, host.platform()));
    // A display without a transport answers nothing and is skipped by the upgrade.
    serviceMatchDisplayIDIntel = 1;
    EXPECT_EQ(AUXDisplayManager::shared().readVersionIntel(), "");
    EXPECT_EQ(serviceMatchDisplayIDIntel, 0);
    EXPECT_NO_THROW(AUXDisplayManager::shared().AUXFirmwareUpgradeIntel(Bytes(4096), Bytes(65536), 528, 8448));
}

TEST_F(DisplayList, UpgradesEveryExternalDisplayInOrderAndStopsAtTheFirstFailure) {
    auto first = std::make_shared<emu::AuxChip>(emu::AuxChipOptions{.version = "ZK1111 first"});
    auto second = std::make_shared<emu::AuxChip>(emu::AuxChipOptions{.version = "ZK2222 second"});
    host.addDisplay({.type = "DP", .connectorId = 1, .edid = buildEdid({.serial = 1}), .bus = 3, .chip = first});
    host.addDisplay(
        {.type = "DP", .index = 2, .connectorId = 2, .edid = buildEdid({.serial = 2}), .bus = 4, .chip = second});
    configure();
    auto& manager = AUXDisplayManager::shared();
    EXPECT_EQ(manager.readVersionIntel(), "ZK1111 first");  // the first chip that answered
    EXPECT_EQ(serviceMatchDisplayIDIntel, 1);

    const Bytes isp = test::patternImage(4096, 4), fw = test::patternImage(65536, 5);
    manager.AUXFirmwareUpgradeIntel(isp, fw, aux::stepCount(isp.size()), aux::stepCount(fw.size()));
    for (const auto& chip : {first, second}) {
        const auto flash = chip->flash();
        EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin()));
        EXPECT_TRUE(chip->violations().empty());
    }

    first->clearTranscript();
    second->clearTranscript();
    first->failAt(emu::AuxPacketKind::FlashWrite, 10);
    EXPECT_THROW(manager.AUXFirmwareUpgradeIntel(isp, fw, 528, 8448), Errors::customErrors);
    EXPECT_TRUE(second->transcript().empty());
}

TEST_F(DisplayList, MatchedServicesAreAttachedWithTheirFlags) {
    for (uint32_t id = 1; id <= 4; ++id)
        host.addDisplay({.type = "HDMI-A", .index = id, .connectorId = id, .edid = buildEdid({.serial = id})});
    configure();
    auto& manager = AUXDisplayManager::shared();
    manager.updateArm64AVServices();  // inert on Linux
    for (const auto& d : manager.getOtherDisplays()) EXPECT_FALSE(d->arm64avService);

    auto chip = std::make_shared<emu::AuxChip>();
    auto service = std::make_shared<emu::AuxEmulatedAVService>(chip);
    manager.attachArm64AVServices({{1, service, 1, false, false},
                                   {2, service, 2, true, false},
                                   {3, service, 3, false, true},
                                   {4, nullptr, 4, false, false}});
    const auto d = manager.getOtherDisplays();
    EXPECT_TRUE(d[0]->arm64ddc);
    EXPECT_FALSE(d[0]->isDiscouraged);
    EXPECT_TRUE(d[1]->isDiscouraged);
    EXPECT_FALSE(d[1]->arm64ddc);
    EXPECT_TRUE(d[2]->isDiscouraged && d[2]->isDummy && !d[2]->arm64ddc);
    EXPECT_FALSE(d[3]->arm64avService);
    EXPECT_TRUE(log.contains(LogLevel::info, "Display 3 is flagged as dummy by Arm64DDC."));
    EXPECT_TRUE(log.contains(LogLevel::info, "Display service match successful for display 1"));

    test::ScopedPreferences prefs;
    test::ScopedAlerts alerts;
    EXPECT_EQ(d[0]->setupCurrentICVersionM1(), "ZK6121 V1.00.0");
    // The last external display, without a service, answers last.
    EXPECT_EQ(manager.readVersionM1(), "Please replug the device again.");
}

}  // namespace
}  // namespace quorvel
