// The window's AUX tab over the emulated display platform: get status,
// the update's checks, Cancel on the real sheet, and a full upgrade.
#include <gtest/gtest.h>

#include <cstdio>

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "display/AUXDisplayManager.h"
#include "model/Settings.h"
#include "support/AppFixture.h"

namespace quorvel {
namespace {

using test::AppFixture;
using Strings = std::vector<std::string>;

const std::string kNoDevice = "WARNING|No device is connected!\nPlease connect the device first.";
const std::string kNoScreen = "WARNING|No External Screen connected!\nPlease connect the screen first.";

TEST(AuxTab, GetStatus) {
    struct Case {
        const char* name;
        bool usbDevice;
        bool display;
        const char* label;
        Strings alerts;
        const char* log;
        const char* stdoutText;
    };
    for (const Case& c : {
             Case{"no USB device", false, true, "", {kNoDevice}, "", ""},
             Case{"no display", true, false, "", {kNoScreen}, "", "0\nserviceMatchDisplayIDIntel\n"},
             Case{"chip behind a display", true, true, "ZK6121 V1.00.0", {}, "\nFirmware version was retrieved.", ""},
         }) {
        SCOPED_TRACE(c.name);
        AppFixture g;
        if (c.usbDevice) g.plug(1, {.productId = 0x6121});
        if (c.display) g.addDisplay();
        g.widget<QLabel>("AUXGetStatusLabel")->setText("old");
        const std::string out = test::capturedStdout([&] { g.window->AUXGetStatus(); });
        EXPECT_EQ(g.text("AUXGetStatusLabel"), c.label);
        EXPECT_EQ(g.presenter->alerts(), c.alerts);
        EXPECT_EQ(g.log("AUXScrollView"), c.log);
        EXPECT_EQ(out, c.stdoutText);
    }
}

TEST(AuxTab, UpdateRefusals) {
    struct Case {
        const char* name;
        std::function<void(AppFixture&)> setup;
        Strings alerts;
    };
    const auto ready = [](AppFixture& g) {
        g.plug(1, {.productId = 0x6121});
        g.addDisplay();
        g.browse(g.writeTemp("fw.bin", test::virrenFirmware("ZK6121 V2.00.1")));
    };
    const std::vector<Case> cases = {
        {"no USB device",
         [](AppFixture& g) {
             g.addDisplay();
             g.browse(g.writeTemp("fw.bin", test::virrenFirmware("ZK6121 V2.00.1")));
         },
         {kNoDevice}},
        {"no file",
         [](AppFixture& g) {
             g.plug(1, {.productId = 0x6121});
             g.addDisplay();
         },
         {"ERROR|No firmware file opened!"}},
        {"no file and no chip: the file is checked first",
         [](AppFixture& g) { g.plug(1, {.productId = 0x6121}); },
         {"ERROR|No firmware file opened!"}},
        {"no chip answers: silent",
         [](AppFixture& g) {
             g.plug(1, {.productId = 0x6121});
             g.browse(g.writeTemp("fw.bin", test::virrenFirmware("ZK6121 V2.00.1")));
         },
         {}},
        {"no chip and the file removed from the preferences: the chip is asked first",
         [](AppFixture& g) {
             g.plug(1, {.productId = 0x6121});
             g.browse(g.writeTemp("fw.bin", test::virrenFirmware("ZK6121 V2.00.1")));
             g.prefs->remove("userSelectedPath");
         },
         {}},
        {"file removed from the preferences",
         [&](AppFixture& g) {
             ready(g);
             g.prefs->remove("userSelectedPath");
         },
         {"ERROR|Opened firmware file has been removed!"}},
        {"file gone since browsing",
         [&](AppFixture& g) {
             ready(g);
             std::filesystem::remove(g.files.path() / "fw.bin");
         },
         {"ERROR|The firmware file cannot be accessed!"}},
        {"loader missing",
         [&](AppFixture& g) {
             ready(g);
             std::filesystem::remove(g.data.path() / "ISP_AUX/ISP_AUX.bin");
         },
         {"ERROR|The ISP file cannot be accessed!"}},
        {"file of a wrong size",
         [](AppFixture& g) {
             g.plug(1, {.productId = 0x6121});
             g.addDisplay();
             g.browse(g.writeTemp("fw.bin", test::firmwareImage(100000, "VRE1", "ZK6121 V2.00.1")));
         },
         {"ERROR|Incorrect firmware file imported!"}},
        {"loader of a wrong size",
         [&](AppFixture& g) {
             ready(g);
             g.writeData("ISP_AUX/ISP_AUX.bin", test::loaderImage("UsbFlA v01.0", "eISP", 4095));
         },
         {"ERROR|The ISP file is Not Correct."}},
        {"loader with a foreign signature",
         [&](AppFixture& g) {
             ready(g);
             g.writeData("ISP_AUX/ISP_AUX.bin", test::loaderImage("UsbFlA v01.0", "xISP"));
         },
         {"ERROR|xISP"}},
        {"nothing selected in the device box",
         [&](AppFixture& g) {
             ready(g);
             g.widget<QComboBox>("AUXDeviceComboBox")->setCurrentIndex(-1);
         },
         {kNoDevice}},
        {"file without version text",
         [&](AppFixture& g) {
             ready(g);
             firmwareVersion = "NoFwVersion";
         },
         {"ERROR|Incorrect firmware file imported!"}},
        {"the USB tab's update found a chip asking to be replugged: silent",
         [](AppFixture& g) {
             emu::UsbChipOptions options;
             options.productId = 0x6121;
             options.versionReply = std::vector<uint8_t>{0x02, 0x01};
             auto model = std::make_shared<emu::UsbChip>(options);
             g.plug(1, {.productId = 0x6121}, std::make_shared<emu::EmulatedControlTransport>(model), model);
             g.addDisplay();
             g.browse(g.writeTemp("fw.bin", test::virrenFirmware("ZK6121 V2.00.1")));
             g.window->updateProductFirmware();  // stops silently, remembering the answer
             ASSERT_EQ(deviceVersion, "Please replug the device again.");
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppFixture g;
        c.setup(g);
        g.presenter->clear();
        g.window->AUXUpdateProductFirmware();
        EXPECT_EQ(g.presenter->alerts(), c.alerts);
        EXPECT_EQ(g.presenter->styles(), std::vector<AlertStyle>(c.alerts.size(), AlertStyle::warning));
        EXPECT_TRUE(g.sheet->shown.empty());
        EXPECT_FALSE(g.visible("AUXProgressBar"));
    }
}

// The real window-modal sheet, answered by pressing its "Cancel".
TEST(AuxTab, CancelOnTheSheet) {
    AppFixture g;
    g.window = std::make_unique<ViewController>(ViewController::Seams{nullptr, g.chooser});  // the real sheet
    g.window->timer.stop();
    g.plug(1, {.productId = 0x6121});
    auto chip = g.addDisplay();
    g.browse(g.writeTemp("fw.bin", test::virrenFirmware("ZK6121 V2.00.1")));
    g.widget<QPlainTextEdit>("AUXScrollView")->clear();
    g.window->show();
    AUXpercentCompleted = 7;

    g.window->AUXUpdateProductFirmware();
    QMessageBox* sheet = nullptr;
    ASSERT_TRUE(test::waitFor(
        [&] { return (sheet = g.window->findChild<QMessageBox*>("confirmationSheet")) && sheet->isVisible(); }));
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet->text(), "CAUTION");
    EXPECT_EQ(sheet->informativeText(),
              "The following process will upgrade the device with opened firmware file. \n\nDO NOT disconnect the "
              "device!");
    EXPECT_TRUE(g.visible("AUXProgressBar"));
    sheet->button(QMessageBox::Cancel)->click();
    EXPECT_TRUE(test::waitFor([&] { return !g.visible("AUXProgressBar"); }));
    EXPECT_FALSE(g.visible("AUXProgressValue"));
    EXPECT_EQ(AUXpercentCompleted, 0);
    EXPECT_EQ(g.log("AUXScrollView"), "");
    EXPECT_EQ(chip->flashBytesWritten(), 0u);
    EXPECT_FALSE(chip->loaderRunning());
    EXPECT_TRUE(g.presenter->alerts().empty());
}

TEST(AuxTab, FullUpgrade) {
    AppFixture g;
    g.plug(1, {.productId = 0x6121});
    auto chip = g.addDisplay();
    auto gate = std::make_shared<test::Gate>();
    g.useDisplays(gate);
    const auto firmware = test::virrenFirmware("ZK6121 V2.00.1");
    g.browse(g.writeTemp("fw.bin", firmware));
    g.window->timer.start();
    gate->arm(2000);
    g.window->AUXUpdateProductFirmware();
    ASSERT_TRUE(gate->waitHeld());
    EXPECT_TRUE(test::waitFor([&] { return g.text("AUXProgressValue") != "0%"; }, 2000));
    EXPECT_TRUE(g.visible("AUXProgressBar"));
    gate->release();
    g.window->waitForUpgrade();

    EXPECT_TRUE(chip->violations().empty());
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), chip->flash().begin()));
    EXPECT_EQ(g.log("AUXScrollView"),
              "\nFirmware file was imported!\nStart to upgrade firmware!\nUpgrade Completed!"
              "\nPlease unplug and replug the device!\nDevice: ZK6121 (connector card0-DP-1)");
    EXPECT_EQ(g.presenter->alerts(), Strings{"Firmware Upgrade Completed!|Please unplug and replug the device for "
                                             "checking the firmware version."});
    EXPECT_FALSE(g.visible("AUXProgressBar"));
    EXPECT_EQ(g.text("AUXGetStatusLabel"), "");
    EXPECT_EQ(AUXpercentCompleted, 0);
    EXPECT_EQ(g.presenter->offInterfaceThread(), 0);
}

// Blanks, "#" and "%" in the firmware's path reach the file as they are.
TEST(AuxTab, UpgradeFromAPathWithBlanks) {
    AppFixture g;
    g.plug(1, {.productId = 0x6121});
    auto chip = g.addDisplay();
    const auto firmware = test::virrenFirmware("ZK6121 V2.00.1");
    g.browse(g.writeTemp("my firmware #2 100%.bin", firmware));
    g.window->AUXUpdateProductFirmware();
    g.window->waitForUpgrade();
    EXPECT_TRUE(chip->violations().empty());
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), chip->flash().begin()));
    EXPECT_EQ(g.presenter->alerts(), Strings{"Firmware Upgrade Completed!|Please unplug and replug the device for "
                                             "checking the firmware version."});
}

// With a name that is not UTF-8, as a file dialog hands it over.
TEST(AuxTab, OnlyTheImageIsWritten) {
    AppFixture g;
    g.plug(1, {.productId = 0x6121});
    auto chip = g.addDisplay();
    const auto firmware = test::virrenFirmware("ZK6121 V2.00.1", 66000);
    g.browse(g.writeTemp("lat\xE9in.bin", firmware));
    g.window->AUXUpdateProductFirmware();
    g.window->waitForUpgrade();
    EXPECT_EQ(g.presenter->alerts(), Strings{"Firmware Upgrade Completed!|Please unplug and replug the device for "
                                             "checking the firmware version."});
    EXPECT_TRUE(test::holdsOnlyTheImage(chip->flash(), firmware, 65536));
    EXPECT_EQ(chip->flashBytesWritten(), 65536u);
    EXPECT_TRUE(chip->violations().empty());
}

TEST(AuxTab, FailedUpgradeAlertsThenLogs) {
    AppFixture g;
    g.plug(1, {.productId = 0x6121});
    auto chip = g.addDisplay();
    g.browse(g.writeTemp("fw.bin", test::virrenFirmware("ZK6121 V2.00.1")));
    chip->failAt(emu::AuxPacketKind::FlashWrite, 5);
    std::vector<std::string> logAtAlert;
    g.presenter->onPresent = [&] { logAtAlert.push_back(g.log("AUXScrollView")); };
    g.window->AUXUpdateProductFirmware();
    g.window->waitForUpgrade();
    EXPECT_EQ(g.presenter->alerts(),
              Strings{"WARNING|Upgrade process FAILED.\nPlease replug the device and try again!"});
    EXPECT_EQ(logAtAlert, Strings{"\nFirmware file was imported!\nStart to upgrade firmware!"});
    EXPECT_EQ(g.log("AUXScrollView"),
              "\nFirmware file was imported!\nStart to upgrade firmware!"
              "\nUpgrade process FAILED.\nPlease replug the device and try again!"
              "\nDevice: ZK6121 (connector card0-DP-1)");
    EXPECT_FALSE(g.visible("AUXProgressBar"));
}

}  // namespace
}  // namespace quorvel
