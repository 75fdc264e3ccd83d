// The window while an upgrade runs, on either tab: devices come and go in
// the lists, but no chip except the one being upgraded receives a request,
// and the user cannot change the device, the file or the advanced mode until
// the outcome alert has been dismissed.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "model/Settings.h"
#include "support/AppFixture.h"

namespace quorvel {
namespace {

using test::AppFixture;
using Strings = std::vector<std::string>;

const char* const kBoxes[] = {"deviceComboBox", "AUXDeviceComboBox"};
const char* const kButtons[] = {"getStatusButton",    "browseButton",    "updateButton",
                                "AUXGetStatusButton", "AUXBrowseButton", "AUXUpdateButton"};

struct Step {
    emu::RequestKind kind;
    ControlSetup setup;
    bool operator==(const Step&) const = default;
};

std::vector<Step> steps(const emu::UsbChip& chip) {
    std::vector<Step> out;
    for (const auto& r : chip.transcript()) out.push_back({r.kind, r.setup});
    return out;
}

size_t countOf(const emu::UsbChip& chip, emu::RequestKind kind) {
    size_t n = 0;
    for (const auto& r : chip.transcript()) n += r.kind == kind;
    return n;
}

// What the window itself may ask an upgraded chip: the update's version and
// chip-ID reads, then the upgrade sequence, exactly as USBAccess sends them.
std::vector<Step> updateOf(const emu::UsbChipOptions& options, const std::vector<uint8_t>& firmware,
                           const std::vector<uint8_t>& loader) {
    auto chip = std::make_shared<emu::UsbChip>(options);
    USBAccess access(emu::makeEmulatedDevice(chip, 99));
    access.GetVersion();
    const int64_t chipID = access.GetChipID();
    maxPktSize = 64;
    access.USBFirmware(loader, firmware, chipID);
    return steps(*chip);
}

std::optional<uint64_t> selectedId(AppFixture& f, const char* box) {
    const int index = f.widget<QComboBox>(box)->currentIndex();
    if (index < 0 || index >= f.window->numberOfItems()) return std::nullopt;
    return f.window->devices[static_cast<size_t>(index)]->deviceInfo.id;
}

// Lets a held upgrade go on however the test ends, so a failed check
// cannot leave the fixture waiting for it.
struct ReleaseAtEnd {
    test::Gate& gate;
    ~ReleaseAtEnd() { gate.release(); }
};

// The chip of device 1, written from the USB tab and held inside the flash
// write; released however the test ends.
struct HeldUpgrade {
    std::shared_ptr<emu::UsbChip> target = std::make_shared<emu::UsbChip>(emu::UsbChipOptions{});
    std::shared_ptr<test::GatedTransport> gated = std::make_shared<test::GatedTransport>(target);
    explicit HeldUpgrade(AppFixture& f) {
        f.plug(1, {}, gated, target);
        f.browse(f.writeTemp("fw.bin", test::virrenFirmware()));
        gated->gate.arm(600);
        f.window->updateProductFirmware();
    }
    ~HeldUpgrade() { gated->gate.release(); }
};

void expectHandsOff(AppFixture& f, bool off) {
    for (const char* box : kBoxes) EXPECT_EQ(f.widget<QComboBox>(box)->isEnabled(), !off) << box;
    for (const char* button : kButtons) EXPECT_EQ(f.widget<QPushButton>(button)->isEnabled(), !off) << button;
    EXPECT_EQ(f.window->advancedModeAction()->isEnabled(), !off);
}

// Two chips of one product; the user picks the second. While it is being
// written, the first one leaves and a third one arrives.
TEST(HandsOff, UsbUpgradeWithDevicesComingAndGoing) {
    AppFixture f;
    emu::UsbChipOptions options;  // 0x7E51:0x6221
    auto first = f.plug(1, {});
    auto target = std::make_shared<emu::UsbChip>(options);
    auto gated = std::make_shared<test::GatedTransport>(target);
    f.plug(2, {}, gated, target);
    const auto firmware = test::virrenFirmware();
    f.browse(f.writeTemp("fw.bin", firmware));
    for (const char* box : kBoxes) f.widget<QComboBox>(box)->setCurrentIndex(1);
    first->clearTranscript();
    target->clearTranscript();

    gated->gate.arm(800);  // inside the flash write
    ReleaseAtEnd guard{gated->gate};
    f.window->updateProductFirmware();
    ASSERT_TRUE(gated->gate.waitHeld());
    EXPECT_TRUE(f.window->isUpgrading());
    expectHandsOff(f, true);

    f.unplug(1);
    auto newcomer = f.plug(3, {.productId = 0x6221, .version = "ZK6221 Newcomer v3"});
    EXPECT_EQ(f.comboItems("deviceComboBox"), (Strings{"ZK6221", "ZK6221"}));
    for (const char* box : kBoxes) EXPECT_EQ(selectedId(f, box), 2u) << box;
    expectHandsOff(f, true);  // an arrival does not give the controls back

    // Neither the mouse, the keyboard nor the window's own actions reach anything.
    auto* box = f.widget<QComboBox>("deviceComboBox");
    QTest::keyClick(box, Qt::Key_Down);
    QTest::mouseClick(box, Qt::LeftButton);
    f.window->advancedModeAction()->trigger();
    EXPECT_FALSE(advancedMode);
    EXPECT_FALSE(f.window->advancedModeAction()->isChecked());
    f.window->getStatus();
    f.window->updateProductFirmware();
    f.window->AUXGetStatus();
    f.window->AUXUpdateProductFirmware();
    f.browse(f.writeTemp("other.bin", test::virrenFirmware("ZK6100 V1.00.0")));
    f.window->Progress();
    EXPECT_EQ(selectedId(f, "deviceComboBox"), 2u);
    EXPECT_EQ(f.chooser->calls, 1);
    EXPECT_EQ(firmwareVersion, "ZK6221 V2.00.1");
    EXPECT_TRUE(newcomer->transcript().empty());
    EXPECT_TRUE(first->transcript().empty());
    EXPECT_TRUE(f.presenter->alerts().empty());

    size_t newcomerAtOutcome = 1;
    f.presenter->onPresent = [&] { newcomerAtOutcome = newcomer->requestCount(); };
    gated->gate.release();
    f.window->waitForUpgrade();

    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), target->flash().begin()));
    EXPECT_EQ(steps(*target), updateOf(options, firmware, test::loaderImage("UsbFlV v01.2")));
    EXPECT_TRUE(target->violations().empty());
    EXPECT_EQ(f.presenter->alerts(), Strings{"Firmware Upgrade Completed!|Please unplug and replug the device for "
                                             "checking the firmware version."});
    EXPECT_EQ(f.log("scrollView"),
              "\nFirmware file was imported!\nStart to upgrade firmware!\nUpgrade Completed!"
              "\nPlease unplug and replug the device!\nDevice: ZK6221 (USB bus 1, port 2)");

    // The newcomer's connection read comes after the outcome, and only then.
    EXPECT_EQ(newcomerAtOutcome, 0u);
    EXPECT_EQ(steps(*newcomer).size(), 1u);
    EXPECT_EQ(countOf(*newcomer, emu::RequestKind::GetVersion), 1u);
    EXPECT_EQ(f.prefs->string("deviceVersion"), "ZK6221 Newcomer v3");
    EXPECT_FALSE(f.window->isUpgrading());
    expectHandsOff(f, false);
    for (const char* box : kBoxes) EXPECT_EQ(selectedId(f, box), 2u) << box;
}

// The chip being written goes away half-way: the failure is told, the list
// follows, and a device that arrived and left meanwhile is never asked.
TEST(HandsOff, UpgradedDeviceRemovedHalfWay) {
    AppFixture f;
    HeldUpgrade held(f);
    ASSERT_TRUE(held.gated->gate.waitHeld());

    auto passer = f.plug(2, {.productId = 0x6221});
    f.unplug(2);
    held.target->unplug();
    f.unplug(1);
    EXPECT_EQ(f.window->numberOfItems(), 0);
    expectHandsOff(f, true);
    held.gated->gate.release();
    f.window->waitForUpgrade();

    EXPECT_EQ(f.presenter->alerts().back(), "WARNING|Upgrade process FAILED.\nPlease replug the device and try again!");
    EXPECT_EQ(f.log("scrollView"),
              "\nFirmware file was imported!\nStart to upgrade firmware!\nUpgrade process FAILED."
              "\nPlease replug the device and try again!\nDevice: ZK6221 (USB bus 1, port 1)");
    EXPECT_TRUE(passer->transcript().empty());
    EXPECT_EQ(f.widget<QComboBox>("deviceComboBox")->currentIndex(), -1);
    for (const char* button : kButtons) EXPECT_TRUE(f.widget<QPushButton>(button)->isEnabled()) << button;
    EXPECT_TRUE(f.window->advancedModeAction()->isEnabled());

    // The next device is announced and read as usual.
    auto next = f.plug(3, {.productId = 0x6221});
    EXPECT_EQ(countOf(*next, emu::RequestKind::GetVersion), 1u);
    EXPECT_TRUE(f.widget<QComboBox>("deviceComboBox")->isEnabled());
}

// While the CAUTION sheet is open, devices coming and going neither move
// the selection the user is confirming nor are asked anything; a newcomer
// is read once the answer is given, whichever it is.
TEST(HandsOff, DevicesArrivingWhileTheSheetIsOpenWaitForTheAnswer) {
    for (const bool confirmed : {true, false}) {
        SCOPED_TRACE(confirmed ? "confirmed" : "declined");
        AppFixture f;
        auto first = f.plug(1, {});
        auto target = f.plug(2, {});
        f.browse(f.writeTemp("fw.bin", test::virrenFirmware()));
        for (const char* box : kBoxes) f.widget<QComboBox>(box)->setCurrentIndex(1);
        first->clearTranscript();
        f.sheet->waits = true;
        f.window->updateProductFirmware();
        ASSERT_EQ(f.sheet->shown.size(), 1u);

        auto newcomer = f.plug(3, {.productId = 0x6221, .version = "ZK6221 Newcomer v3"});
        for (const char* box : kBoxes) EXPECT_EQ(selectedId(f, box), 2u) << box;
        EXPECT_TRUE(first->transcript().empty());
        EXPECT_TRUE(newcomer->transcript().empty());

        f.sheet->respond(confirmed);
        f.window->waitForUpgrade();
        EXPECT_EQ(countOf(*target, emu::RequestKind::FlashWrite) != 0, confirmed);
        EXPECT_EQ(countOf(*newcomer, emu::RequestKind::GetVersion), 1u);
        EXPECT_TRUE(first->transcript().empty());
        for (const char* box : kBoxes) EXPECT_EQ(selectedId(f, box), 2u) << box;
    }
}

// The refusal to close stays on screen only as long as the upgrade runs.
TEST(HandsOff, CloseRefusalEndsWithTheUpgrade) {
    AppFixture f;
    HeldUpgrade held(f);
    ASSERT_TRUE(held.gated->gate.waitHeld());

    EXPECT_FALSE(f.window->close());
    EXPECT_FALSE(f.window->close());  // asked twice: still one warning
    const auto warnings = f.window->findChildren<QMessageBox*>("closeRefusalWarning");
    ASSERT_EQ(warnings.size(), 1);
    QPointer<QMessageBox> warning = warnings.front();
    EXPECT_TRUE(warning->isVisible());
    EXPECT_EQ(warning->icon(), QMessageBox::Warning);
    EXPECT_EQ(warning->text(), "WARNING");
    EXPECT_NE(warning->informativeText().indexOf("still running"), -1);
    EXPECT_TRUE(f.presenter->alerts().empty());

    bool warningShownAtOutcome = true;
    f.presenter->onPresent = [&] { warningShownAtOutcome = warning && warning->isVisible(); };
    held.gated->gate.release();
    f.window->waitForUpgrade();
    EXPECT_FALSE(warningShownAtOutcome);
    EXPECT_TRUE(test::waitFor([&] { return warning.isNull() || !warning->isVisible(); }));
    QCloseEvent closing;  // the upgrade is over: closing is accepted now
    QApplication::sendEvent(f.window.get(), &closing);
    EXPECT_TRUE(closing.isAccepted());
}

// The AUX tab's upgrade keeps the window's hands off the USB chips too.
TEST(HandsOff, AuxUpgradeWithAUsbChipPluggedIn) {
    AppFixture f;
    auto usb = f.plug(1, {.productId = 0x6121});
    f.addDisplay();
    auto gate = std::make_shared<test::Gate>();
    f.useDisplays(gate);
    f.browse(f.writeTemp("fw.bin", test::virrenFirmware("ZK6121 V2.00.1")));
    usb->clearTranscript();
    gate->arm(1500);
    ReleaseAtEnd guard{*gate};
    f.window->AUXUpdateProductFirmware();
    ASSERT_TRUE(gate->waitHeld());
    expectHandsOff(f, true);

    auto newcomer = f.plug(2, {.productId = 0x6121});
    f.window->getStatus();
    f.window->AUXGetStatus();
    EXPECT_EQ(f.comboItems("AUXDeviceComboBox"), (Strings{"ZK6121", "ZK6121"}));
    EXPECT_EQ(selectedId(f, "AUXDeviceComboBox"), 1u);
    EXPECT_TRUE(newcomer->transcript().empty());
    EXPECT_TRUE(usb->transcript().empty());

    size_t newcomerAtOutcome = 1;
    f.presenter->onPresent = [&] { newcomerAtOutcome = newcomer->requestCount(); };
    gate->release();
    f.window->waitForUpgrade();
    EXPECT_EQ(f.log("AUXScrollView"),
              "\nFirmware file was imported!\nStart to upgrade firmware!\nUpgrade Completed!"
              "\nPlease unplug and replug the device!\nDevice: ZK6121 (connector card0-DP-1)");
    EXPECT_EQ(newcomerAtOutcome, 0u);
    EXPECT_EQ(countOf(*newcomer, emu::RequestKind::GetVersion), 1u);
    EXPECT_TRUE(usb->transcript().empty());
    expectHandsOff(f, false);
    EXPECT_EQ(selectedId(f, "AUXDeviceComboBox"), 1u);
}

}  // namespace
}  // namespace quorvel
