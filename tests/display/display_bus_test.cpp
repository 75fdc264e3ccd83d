// Which bus each display reaches, and who is written to: identities across
// graphics cards, shared buses, monitors without the chip, the EDID search
// and what keeps a bus from being used.
#include <gtest/gtest.h>

#include "display/AUXDisplayManager.h"
#include "display/AuxPacket.h"
#include "support/AuxTestSupport.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;
using emu::AuxPacketKind;

// Packets of kinds other than the version query and its replies.
template <typename Target>
size_t upgradePackets(const Target& target) {
    size_t n = 0;
    for (const auto& e : target.transcript())
        n += e.kind != AuxPacketKind::GetVersion && e.kind != AuxPacketKind::VersionRead;
    return n;
}

template <typename Target>
size_t packetsOfKind(const Target& target, AuxPacketKind kind) {
    size_t n = 0;
    for (const auto& e : target.transcript()) n += e.kind == kind;
    return n;
}

class DisplayBuses : public ::testing::Test {
protected:
    void SetUp() override { test::resetDisplayState(); }
    void TearDown() override { AUXDisplayManager::shared().clearDisplays(); }

    AUXDisplayManager& configure() {
        platform_.emplace(host.platform());
        AUXDisplayManager::shared().configureDisplays();
        return AUXDisplayManager::shared();
    }
    std::shared_ptr<emu::AuxChip> chip(const std::string& version = "ZK6121 V1.00.0") {
        return std::make_shared<emu::AuxChip>(emu::AuxChipOptions{.version = version});
    }
    void upgrade() {
        AUXDisplayManager::shared().AUXFirmwareUpgradeIntel(isp, fw, aux::stepCount(isp.size()),
                                                            aux::stepCount(fw.size()));
    }
    bool holdsFirmware(const emu::AuxChip& c) const {
        const auto flash = c.flash();
        return std::equal(fw.begin(), fw.end(), flash.begin()) && c.violations().empty();
    }

    const Bytes isp = test::patternImage(4096, 3), fw = test::patternImage(65536, 4);
    test::ScopedSleeper sleeper;
    test::ScopedLogCapture log;
    emu::AuxEmulatedHost host;
    std::optional<test::ScopedDisplayPlatform> platform_;
};

TEST_F(DisplayBuses, TwoCardsWithEqualConnectorIdsKeepTheirOwnIdentityBusAndChip) {
    auto first = chip("ZK1111 card0"), second = chip("ZK2222 card1");
    host.addDisplay({.type = "DP", .connectorId = 95, .edid = buildEdid({.serial = 1}), .bus = 3, .chip = first});
    host.addDisplay(
        {.type = "HDMI-A", .connectorId = 95, .edid = buildEdid({.serial = 2}), .bus = 8, .chip = second, .card = 1});
    auto& manager = configure();
    auto others = manager.getOtherDisplays();
    ASSERT_EQ(others.size(), 2u);
    EXPECT_EQ(others[0]->identifier, 95u);  // the first card's numbers stay as they were
    EXPECT_EQ(others[1]->identifier, 0x01000000u | 95u);
    EXPECT_EQ(others[1]->connectorName(), "card1-HDMI-A-1");
    EXPECT_EQ(others[0]->bus(), 3u);
    EXPECT_EQ(others[1]->bus(), 8u);
    EXPECT_EQ(AUXDisplayManager::getDisplayNameByID(others[1]->identifier), "HDMI-A-1");

    // Stable from one listing to the next.
    const uint32_t id = others[1]->identifier;
    others = configure().getOtherDisplays();
    EXPECT_EQ(others[1]->identifier, id);

    EXPECT_EQ(manager.readVersionIntel(), "ZK1111 card0");
    upgrade();
    for (const auto& c : {first, second}) {
        EXPECT_TRUE(holdsFirmware(*c));
        EXPECT_EQ(test::packetsOf(*c, AuxPacketKind::DebugOn).size(), 1u);
    }
}

TEST_F(DisplayBuses, IdentitiesStayUniqueWhenOrdinalsMeetConnectorIds) {
    host.addDisplay({.type = "DP", .connectorId = 2, .edid = buildEdid({.serial = 1})});
    host.addDisplay({.type = "DP", .index = 2, .connectorId = 0, .edid = buildEdid({.serial = 2})});  // ordinal 2
    std::set<uint32_t> ids;
    for (const auto& d : configure().displays()) ids.insert(d->identifier);
    EXPECT_EQ(ids.size(), 2u);
}

TEST_F(DisplayBuses, ConnectorsSharingABusReachItsChipOnce) {
    auto shared = chip();
    const Bytes edid = buildEdid({.serial = 5, .name = "DVI-I"});
    host.addDisplay({.type = "DVI-I", .connectorId = 40, .edid = edid, .bus = 4, .chip = shared});
    host.addDisplay({.type = "VGA", .connectorId = 41, .edid = edid, .bus = 4});
    auto& manager = configure();
    EXPECT_TRUE(log.contains(LogLevel::info, "Display 41 shares bus i2c-4 with display 40, which alone uses it."));
    EXPECT_EQ(manager.readVersionIntel(), "ZK6121 V1.00.0");
    EXPECT_EQ(test::packetsOf(*shared, AuxPacketKind::GetVersion).size(), 8u);
    upgrade();
    EXPECT_TRUE(holdsFirmware(*shared));
    EXPECT_EQ(test::packetsOf(*shared, AuxPacketKind::DebugOn).size(), 1u);
    EXPECT_EQ(test::packetsOf(*shared, AuxPacketKind::FlashErase).size(), 1u);
}

TEST_F(DisplayBuses, AMonitorWithoutTheChipGetsOnlyTheVersionQueryWhereverItIsListed) {
    for (const bool chiplessFirst : {true, false}) {
        SCOPED_TRACE(chiplessFirst ? "chipless first" : "chipless last");
        emu::AuxEmulatedHost machine;
        auto withChip = chip("ZK6221 V3.1");
        auto monitor = std::make_shared<emu::AuxDdcMonitor>();
        const emu::AuxEmulatedDisplay chipped{.type = "DP",
                                              .index = chiplessFirst ? 2u : 1u,
                                              .connectorId = 10,
                                              .edid = buildEdid({.serial = 1}),
                                              .bus = 3,
                                              .chip = withChip};
        const emu::AuxEmulatedDisplay chipless{.type = "DP",
                                               .index = chiplessFirst ? 1u : 2u,
                                               .connectorId = 11,
                                               .edid = buildEdid({.serial = 2}),
                                               .bus = 5,
                                               .target37 = monitor};
        machine.addDisplay(chiplessFirst ? chipless : chipped);
        machine.addDisplay(chiplessFirst ? chipped : chipless);
        test::ScopedDisplayPlatform scoped(machine.platform());
        auto& manager = AUXDisplayManager::shared();
        manager.configureDisplays();
        serviceMatchDisplayIDIntel = 0;
        EXPECT_EQ(manager.readVersionIntel(), "ZK6221 V3.1");
        EXPECT_EQ(serviceMatchDisplayIDIntel, 1);
        upgrade();
        EXPECT_TRUE(holdsFirmware(*withChip));
        EXPECT_EQ(upgradePackets(*monitor), 0u);
        EXPECT_EQ(packetsOfKind(*monitor, AuxPacketKind::GetVersion), 8u);
        manager.clearDisplays();
    }
}

TEST_F(DisplayBuses, OnlyMonitorsWithoutTheChipMeanNoScreenAndNoUpgrade) {
    auto monitor = std::make_shared<emu::AuxDdcMonitor>();
    host.addDisplay({.type = "HDMI-A", .connectorId = 3, .edid = buildEdid({}), .bus = 2, .target37 = monitor});
    auto& manager = configure();
    EXPECT_EQ(manager.readVersionIntel(), "");
    EXPECT_EQ(serviceMatchDisplayIDIntel, 0);
    upgrade();
    EXPECT_EQ(upgradePackets(*monitor), 0u);
}

TEST_F(DisplayBuses, TheEdidSearchTakesOneUnclaimedDisplayBusOrNone) {
    const Bytes twin = buildEdid({.product = 0x0101, .serial = 0, .name = "Twin"});
    struct Case {
        std::string what;
        std::function<void(emu::AuxEmulatedHost&)> build;
        std::map<uint32_t, std::optional<uint32_t>> busOfDisplay;  // by connector id
        std::string logLine;
    };
    const std::vector<Case> cases = {
        {"two identical monitors without links: both left out",
         [&](emu::AuxEmulatedHost& h) {
             h.addDisplay({.type = "HDMI-A", .connectorId = 1, .edid = twin, .bus = 3, .ddcLink = false});
             h.addDisplay({.type = "HDMI-A", .index = 2, .connectorId = 2, .edid = twin, .bus = 4, .ddcLink = false});
         },
         {{1, std::nullopt}, {2, std::nullopt}},
         "Display 1 is left out: its EDID is found on more than one bus (i2c-3, i2c-4)."},
        {"the connector's own DP-AUX adapter comes first; the other then finds one bus",
         [&](emu::AuxEmulatedHost& h) {
             h.addDisplay(
                 {.type = "DP", .connectorId = 1, .edid = twin, .bus = 20, .ddcLink = false, .auxChild = true});
             h.addDisplay({.type = "HDMI-A", .connectorId = 2, .edid = twin, .bus = 4, .ddcLink = false});
         },
         {{1, 20u}, {2, 4u}},
         "Service Port: 4"},
        {"a bus another connector names is never taken",
         [&](emu::AuxEmulatedHost& h) {
             h.addDisplay({.type = "DP", .connectorId = 1, .edid = twin, .bus = 6});
             h.addDisplay(
                 {.type = "HDMI-A", .connectorId = 2, .edid = twin, .bus = 7, .ddcLink = false, .busNode = false});
         },
         {{1, 6u}, {2, std::nullopt}},
         "No service port found for display with ID 2."},
        {"a bus that is not a display adapter's is never read",
         [&](emu::AuxEmulatedHost& h) {
             h.addBus(0, {{0x50, std::make_shared<emu::AuxEdidEeprom>(twin)}}, kI2CFuncI2C, false);
             h.addDisplay({.type = "DP", .connectorId = 1, .edid = twin, .bus = 9, .ddcLink = false});
         },
         {{1, 9u}},
         "Service Port: 9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        emu::AuxEmulatedHost machine;
        c.build(machine);
        test::ScopedLogCapture lines;
        test::ScopedDisplayPlatform scoped(machine.platform());
        AUXDisplayManager::shared().configureDisplays();
        for (const auto& d : AUXDisplayManager::shared().getOtherDisplays())
            EXPECT_EQ(d->bus(), c.busOfDisplay.at(d->identifier)) << d->identifier;
        EXPECT_TRUE(lines.contains(LogLevel::error, c.logLine) || lines.contains(LogLevel::info, c.logLine))
            << c.logLine;
        EXPECT_EQ(machine.transfers(0), 0u);
        AUXDisplayManager::shared().clearDisplays();
    }
}

TEST_F(DisplayBuses, AnEdidWithExtensionBlocksIsMatchedByItsBaseBlock) {
    const Bytes edid = buildEdid({.product = 0x0202, .serial = 77, .name = "Wide", .extensions = 2});
    ASSERT_EQ(edid.size(), 384u);
    auto c = chip();
    host.addDisplay({.type = "HDMI-A", .connectorId = 4, .edid = edid, .bus = 5, .ddcLink = false, .chip = c});
    auto& manager = configure();
    ASSERT_EQ(manager.getOtherDisplays().size(), 1u);
    EXPECT_EQ(manager.getOtherDisplays()[0]->name, "Wide");
    EXPECT_EQ(manager.getOtherDisplays()[0]->bus(), 5u);
    EXPECT_EQ(manager.readVersionIntel(), "ZK6121 V1.00.0");
}

TEST_F(DisplayBuses, ABoundDriverADeniedOpenAndAMissingNodeLeaveTheBusAloneWithAHint) {
    auto bound = chip(), denied = chip();
    host.addDisplay({.type = "DP",
                     .connectorId = 1,
                     .edid = buildEdid({.serial = 1}),
                     .bus = 3,
                     .chip = bound,
                     .busDriver = "ddcci"});
    host.addDisplay(
        {.type = "DP", .index = 2, .connectorId = 2, .edid = buildEdid({.serial = 2}), .bus = 4, .chip = denied});
    host.setBusDenied(4);
    auto& manager = configure();
    for (const auto& d : manager.getOtherDisplays()) EXPECT_FALSE(d->bus()) << d->identifier;
    EXPECT_TRUE(
        log.contains(LogLevel::error,
                     "Bus i2c-3 of display 1 is left out: the kernel driver ddcci is bound to its address 0x37."));
    EXPECT_EQ(manager.reachHints(),
              (std::vector<std::string>{
                  "Hint: no permission to open /dev/i2c-4: install Quorvel's udev rules (they give the logged-in "
                  "user access to the I2C buses of displays), then run \"udevadm trigger\" as root or restart.",
                  "Hint: the kernel driver ddcci is bound to address 0x37 on i2c-3 and would send traffic of its own "
                  "during an upgrade: unbind it (as root: echo 3-0037 > /sys/bus/i2c/drivers/ddcci/unbind) or "
                  "blacklist it."}));
    manager.readVersionIntel();
    upgrade();
    EXPECT_EQ(host.transfers(3), 0u);
    EXPECT_TRUE(bound->transcript().empty());
    EXPECT_TRUE(denied->transcript().empty());

    // Without i2c-dev no display has a node: the one hint says so.
    emu::AuxEmulatedHost bare;
    bare.addDisplay(
        {.type = "DP", .connectorId = 1, .edid = buildEdid({}), .bus = 3, .chip = chip(), .busNode = false});
    bare.addBus(0, {}, kI2CFuncI2C, false);  // the SMBus's node does not count
    test::ScopedDisplayPlatform scoped(bare.platform());
    manager.configureDisplays();
    EXPECT_EQ(manager.reachHints(), std::vector<std::string>{kI2CDevHint});
    EXPECT_TRUE(log.contains(LogLevel::error, "No framebuffer port found for display with ID 1."));

    // One display with a node is enough: the module is loaded.
    bare.addDisplay({.type = "DP", .index = 2, .connectorId = 2, .edid = buildEdid({.serial = 9}), .bus = 5});
    manager.configureDisplays();
    EXPECT_TRUE(manager.reachHints().empty());
}

}  // namespace
}  // namespace quorvel
