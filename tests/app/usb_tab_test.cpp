// The window's USB tab against chip models plugged through the emulated
// hot-plug source: the device list, narrowing, get status, browse and the
// update flow with its refusals and a full upgrade on the worker thread.
#include <gtest/gtest.h>

#include <set>

#include <QAction>
#include <QComboBox>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <QScopeGuard>

#include "emu/InProcessChipLocks.h"
#include "model/ChipHold.h"
#include "model/Settings.h"
#include "support/AppFixture.h"
#include "support/Recorders.h"

namespace quorvel {
namespace {

using test::AppFixture;
using Strings = std::vector<std::string>;

const std::string kNoDevice = "WARNING|No device is connected!\nPlease connect the device first.";
const std::string kAdvancedWarning =
    "Warning|CAUTION: Mistake proofing will be deavtivated!\n\nUsers have to take their own risk without "
    "warranty. It may damage your device.";

class UsbTab : public ::testing::Test {
protected:
    AppFixture f;
};

TEST_F(UsbTab, BothComboBoxesFollowConnectAndDisconnect) {
    for (const char* box : {"deviceComboBox", "AUXDeviceComboBox"}) {
        EXPECT_FALSE(f.widget<QComboBox>(box)->isEnabled());
        EXPECT_EQ(f.widget<QComboBox>(box)->currentIndex(), -1);
        EXPECT_EQ(f.widget<QComboBox>(box)->placeholderText(), "No device is connected");
    }
    EXPECT_EQ(f.window->comboBoxObjectValue(0), "No device is connected");

    f.plug(1, {.productId = 0x6121, .version = "ZK6121 V1.00"});
    f.plug(2, {.productId = 0x6100, .version = "ZK6100 V1.00", .vendorId = 0x6A3C});
    for (const char* box : {"deviceComboBox", "AUXDeviceComboBox"}) {
        EXPECT_EQ(f.comboItems(box), (Strings{"ZK6121", "ZK6100"})) << box;
        EXPECT_TRUE(f.widget<QComboBox>(box)->isEnabled());
        EXPECT_EQ(f.widget<QComboBox>(box)->currentIndex(), 0);
    }
    ASSERT_EQ(f.window->deviceInfoSec.size(), 2u);
    EXPECT_EQ(f.window->deviceInfoSec.front().id, 2u);  // newest first
    // The version read on connection is kept for later runs.
    EXPECT_EQ(f.prefs->string("deviceVersion"), "ZK6121 V1.00");

    f.widget<QLabel>("getStatusLabel")->setText("x");
    f.widget<QLabel>("AUXGetStatusLabel")->setText("y");
    f.unplug(1);
    EXPECT_EQ(f.comboItems("deviceComboBox"), Strings{"ZK6100"});
    EXPECT_EQ(f.comboItems("AUXDeviceComboBox"), Strings{"ZK6100"});
    EXPECT_FALSE(f.widget<QComboBox>("deviceComboBox")->isEnabled());  // until the next arrival
    EXPECT_EQ(f.text("getStatusLabel"), "");
    EXPECT_EQ(f.text("AUXGetStatusLabel"), "");

    f.unplug(2);
    EXPECT_EQ(f.window->numberOfItems(), 0);
    EXPECT_EQ(f.widget<QComboBox>("AUXDeviceComboBox")->currentIndex(), -1);
    f.plug(3, {.productId = 0x6221});
    EXPECT_TRUE(f.widget<QComboBox>("deviceComboBox")->isEnabled());
    EXPECT_EQ(f.comboItems("deviceComboBox"), Strings{"ZK6221"});
}

TEST_F(UsbTab, FileNarrowsTheListAndAdvancedModeRestoresIt) {
    struct Case {
        const char* version;
        uint16_t kept;
    };
    for (const Case c : {Case{"ZK6121 V1.02.0", 0x6121}, Case{"ZK61x0 V3.00.0", 0x6100}}) {
        SCOPED_TRACE(c.version);
        AppFixture g;
        g.plug(1, {.productId = 0x6121});
        g.plug(2, {.productId = 0x6100});
        g.plug(3, {.productId = 0x6221});
        g.browse(g.writeTemp("fw.bin", test::virrenFirmware(c.version)));
        EXPECT_EQ(pidFilter, c.kept);

        g.window->Progress();
        EXPECT_EQ(g.window->devices.size(), 2u);  // one entry per tick
        g.window->Progress();
        ASSERT_EQ(g.window->devices.size(), 1u);
        EXPECT_EQ(g.window->devices.front()->deviceInfo.productId, c.kept);
        EXPECT_EQ(g.widget<QComboBox>("AUXDeviceComboBox")->count(), 1);

        g.window->advancedModeAction()->trigger();
        EXPECT_TRUE(advancedMode);
        EXPECT_EQ(g.presenter->alerts(), Strings{kAdvancedWarning});
        g.window->Progress();
        EXPECT_EQ(g.comboItems("deviceComboBox"), (Strings{"ZK6221", "ZK6100", "ZK6121"}));  // newest first

        g.window->advancedModeAction()->trigger();  // off again: silently, and the list narrows again
        EXPECT_FALSE(advancedMode);
        EXPECT_EQ(g.presenter->alerts().size(), 1u);
        for (int i = 0; i < 3; ++i) g.window->Progress();
        EXPECT_EQ(g.window->devices.size(), 1u);
    }
}

// Every file narrows from all connected chips, whatever an earlier file
// left; a version text that names no product leaves the list whole.
TEST_F(UsbTab, EachFileNarrowsFromEveryConnectedDevice) {
    f.plug(1, {.productId = 0x6121});
    f.plug(2, {.productId = 0x6100});
    f.plug(3, {.productId = 0x6221});
    struct Step {
        const char* version;
        Strings listed;
        const char* selected;  // kept from the step before when still listed
    };
    for (const Step& step : {Step{"ZK6121 V1.02.0", {"ZK6121"}, "ZK6121"}, Step{"ZK61x0 V3.00.0", {"ZK6100"}, "ZK6100"},
                             Step{"V.1.2.3.4 generic", {"ZK6221", "ZK6100", "ZK6121"}, "ZK6100"},
                             Step{"ZK6221 V2.00.1", {"ZK6221"}, "ZK6221"}}) {
        SCOPED_TRACE(step.version);
        f.browse(f.writeTemp("fw.bin", test::virrenFirmware(step.version)));
        for (int i = 0; i < 4; ++i) f.window->Progress();
        EXPECT_EQ(f.comboItems("deviceComboBox"), step.listed);
        EXPECT_EQ(f.comboItems("AUXDeviceComboBox"), step.listed);
        EXPECT_EQ(f.widget<QComboBox>("deviceComboBox")->currentText(), step.selected);
    }
}

// The chip the user picked stays picked while others are narrowed away, and
// the version shown is only ever the selected chip's.
TEST_F(UsbTab, SelectionSurvivesNarrowingAndTheStatusFollowsIt) {
    f.plug(1, {.productId = 0x6121, .version = "ZK6121 first"});
    f.plug(2, {.productId = 0x6100, .version = "ZK6100 second"});
    f.plug(3, {.productId = 0x6121, .version = "ZK6121 third"});
    auto* box = f.widget<QComboBox>("deviceComboBox");
    box->setCurrentIndex(2);
    f.window->getStatus();
    EXPECT_EQ(f.text("getStatusLabel"), "ZK6121 third");

    f.browse(f.writeTemp("fw.bin", test::virrenFirmware("ZK6121 V1.02.0")));
    for (int i = 0; i < 3; ++i) f.window->Progress();
    ASSERT_EQ(f.comboItems("deviceComboBox"), (Strings{"ZK6121", "ZK6121"}));
    EXPECT_EQ(f.window->devices[static_cast<size_t>(box->currentIndex())]->deviceInfo.id, 3u);
    EXPECT_EQ(f.text("getStatusLabel"), "ZK6121 third");

    box->setFocus();
    QTest::keyClick(box, box->currentIndex() == 0 ? Qt::Key_Down : Qt::Key_Up);  // the other chip
    EXPECT_EQ(f.window->devices[static_cast<size_t>(box->currentIndex())]->deviceInfo.id, 1u);
    EXPECT_EQ(f.text("getStatusLabel"), "");
    f.window->getStatus();
    EXPECT_EQ(f.text("getStatusLabel"), "ZK6121 first");
}

TEST_F(UsbTab, ProgressTimerRunsOnTheInterfaceThread) {
    f.plug(1, {.productId = 0x6121});
    f.plug(2, {.productId = 0x6100});
    f.browse(f.writeTemp("fw.bin", test::virrenFirmware("ZK6121 V1.02.0")));
    f.window->timer.start();
    EXPECT_TRUE(test::waitFor([&] { return f.window->devices.size() == 1; }, 2000));
    percentCompleted = 42;
    EXPECT_TRUE(test::waitFor([&] { return f.text("progressValue") == "42%"; }, 2000));
    EXPECT_EQ(f.widget<QProgressBar>("USBProgressBar")->value(), 42);
}

TEST_F(UsbTab, GetStatus) {
    struct Case {
        std::optional<std::string> deviceVersion;  // none: no device
        const char* label;
        const char* log;
        Strings alerts;
    };
    const std::string nulNoZK("V1.00\0garbage", 13);
    for (const Case& c : {
             Case{"ZK6121 V1.02.0", "ZK6121 V1.02.0", "\nFirmware version was retrieved.", {}},
             // The device's version read already ends the text at its NUL, so the
             // window sees "V1.00" and never a text with a NUL in it.
             Case{nulNoZK, "V1.00", "\nFirmware version was retrieved.", {}},
             Case{std::nullopt, "", "", {kNoDevice}},
         }) {
        SCOPED_TRACE(c.label);
        AppFixture g;
        if (c.deviceVersion) g.plug(1, {.productId = 0x6121, .version = *c.deviceVersion});
        g.window->getStatus();
        EXPECT_EQ(g.text("getStatusLabel"), c.label);
        EXPECT_EQ(g.log("scrollView"), c.log);
        EXPECT_EQ(g.presenter->alerts(), c.alerts);
        if (c.deviceVersion) {
            EXPECT_EQ(g.prefs->string("deviceVersion"), std::string(c.label));
        }
    }
}

TEST_F(UsbTab, BrowseWithAndWithoutVersionText) {
    f.plug(1, {.productId = 0x6221});
    const auto path = f.writeTemp("with blanks #1.bin", test::virrenFirmware("ZK6221 V2.00.1"));
    f.browse(path);
    EXPECT_EQ(f.text("binaryFileVersionLabel"), "ZK6221 V2.00.1");
    EXPECT_EQ(f.text("AUXBinaryFileVersionLabel"), "ZK6221 V2.00.1");
    EXPECT_EQ(f.prefs->string("userSelectedPath"), "file://" + path.string());
    EXPECT_EQ(f.prefs->string("fwVersion"), "ZK6221 V2.00.1");
    EXPECT_EQ(firmwareVersion, "ZK6221 V2.00.1");
    EXPECT_EQ(f.log("scrollView"), "\nFirmware file was imported!");
    EXPECT_EQ(f.log("AUXScrollView"), "\nFirmware file was imported!");

    f.browse(std::nullopt);  // cancelled: nothing chosen any more
    EXPECT_EQ(f.text("binaryFileVersionLabel"), "");
    EXPECT_FALSE(f.prefs->string("userSelectedPath"));
    EXPECT_FALSE(f.prefs->string("fwVersion"));

    f.browse(f.writeTemp("none.bin", test::virrenFirmware("")));
    f.browse(f.files.path() / "missing.bin");
    f.window->updateProductFirmware();
    EXPECT_EQ(f.presenter->alerts(), (Strings{"WARNING|No version info in this file!", "ERROR|No firmware file found.",
                                              "ERROR|No firmware file opened!"}));
    EXPECT_EQ(f.text("binaryFileVersionLabel"), "");
    EXPECT_EQ(f.chooser->calls, 4);
}

// A chip whose version reply is too short to carry a text: USBAccess
// answers "Please replug the device again." for it.
std::shared_ptr<emu::UsbChip> plugAskingToReplug(AppFixture& g, uint64_t id, uint16_t productId = 0x6221) {
    emu::UsbChipOptions options;
    options.productId = productId;
    options.versionReply = std::vector<uint8_t>{0x02, 0x01};
    auto model = std::make_shared<emu::UsbChip>(options);
    return g.plug(id, {.productId = productId}, std::make_shared<emu::EmulatedControlTransport>(model), model);
}

// The alert says what the user can do; the log keeps which request failed and why.
TEST_F(UsbTab, FailedReadsLogTheirCause) {
    test::ScopedLogCapture log;
    f.browse(f.writeTemp("fw.bin", test::virrenFirmware()));
    f.plug(1, {.productId = 0x6221})->failAt(emu::RequestKind::Read, 1, emu::Fault::Stall);
    f.window->updateProductFirmware();
    EXPECT_EQ(f.presenter->alerts(), Strings{"ERROR|Incorrect chip ID."});
    bool logged = false;
    for (const auto& [level, text] : log.lines())
        logged = logged ||
                 (level == LogLevel::error && text.starts_with("USB chip identification failed: GetChipID: Read 0x") &&
                  text.ends_with("LIBUSB_ERROR_PIPE (-9)"));
    EXPECT_TRUE(logged) << (log.lines().empty() ? std::string("no log line") : log.lines().back().second);
}

// Each case breaks one thing that every check before it accepts.
TEST_F(UsbTab, UpdateRefusesInOrder) {
    struct Case {
        const char* name;
        std::function<void(AppFixture&)> setup;
        Strings alerts;
    };
    const auto goodDevice = [](AppFixture& g) { g.plug(1, {.productId = 0x6221}); };
    const auto goodFile = [](AppFixture& g) { g.browse(g.writeTemp("fw.bin", test::virrenFirmware())); };
    const std::vector<Case> cases = {
        {"no device", [&](AppFixture& g) { goodFile(g); }, {kNoDevice}},
        {"no file", [&](AppFixture& g) { goodDevice(g); }, {"ERROR|No firmware file opened!"}},
        {"chip ID unreadable",
         [&](AppFixture& g) {
             goodFile(g);
             g.plug(1, {.productId = 0x6221})->failAt(emu::RequestKind::Read, 1, emu::Fault::Stall);
         },
         {"ERROR|Incorrect chip ID."}},
        {"file removed from the preferences",
         [&](AppFixture& g) {
             goodDevice(g);
             goodFile(g);
             g.prefs->remove("userSelectedPath");
         },
         {"ERROR|Opened firmware file has been removed!"}},
        {"file without version text",
         [&](AppFixture& g) {
             goodDevice(g);
             goodFile(g);
             firmwareVersion = "NoFwVersion";
         },
         {"ERROR|Incorrect firmware file imported!"}},
        {"device asks to be replugged: silent",
         [&](AppFixture& g) {
             plugAskingToReplug(g, 1);
             goodFile(g);
         },
         {}},
        {"file of a wrong size",
         [&](AppFixture& g) {
             goodDevice(g);
             g.browse(g.writeTemp("fw.bin", test::firmwareImage(100000, "VRE1", "ZK6221 V2.00.1")));
         },
         {"ERROR|Incorrect firmware file imported!"}},
        {"file gone since browsing",
         [&](AppFixture& g) {
             goodDevice(g);
             goodFile(g);
             std::filesystem::remove(g.files.path() / "fw.bin");
         },
         {"ERROR|The firmware file cannot be accessed!"}},
        {"loader missing",
         [&](AppFixture& g) {
             goodDevice(g);
             goodFile(g);
             std::filesystem::remove(g.data.path() / "ISP_USB/ISP_USB_VB.bin");
         },
         {"ERROR|The ISP file cannot be accessed!"}},
        {"loader of a wrong size",
         [&](AppFixture& g) {
             goodDevice(g);
             goodFile(g);
             g.writeData("ISP_USB/ISP_USB_VB.bin", test::loaderImage("UsbFlV v01.2", "eISP", 4095));
         },
         {"ERROR|The ISP file is Not Correct."}},
        {"loader signature",
         [&](AppFixture& g) {
             goodDevice(g);
             goodFile(g);
             g.writeData("ISP_USB/ISP_USB_VB.bin", test::loaderImage("UsbFlV v01.2", "xISP"));
         },
         {"ERROR|xISP"}},
        {"loader without version",
         [&](AppFixture& g) {
             goodDevice(g);
             goodFile(g);
             g.writeData("ISP_USB/ISP_USB_VB.bin", test::loaderImage("no version"));
         },
         {"ERROR|NoVersionInfo"}},
        {"file for another chip",
         [&](AppFixture& g) {
             goodDevice(g);
             g.browse(g.writeTemp("fw.bin", test::virrenFirmware("ZK6221 V2.00.1", 64 * 1024, "SDE4")));
         },
         {"ERROR|Opened firmware file cannot be used for selected device!"}},
        {"loader for another chip",
         [&](AppFixture& g) {
             goodDevice(g);
             goodFile(g);
             g.writeData("ISP_USB/ISP_USB_VB.bin", test::loaderImage("UsbFlS v01.2"));
         },
         {"ERROR|The ISP file cannot be accessed!"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppFixture g;
        c.setup(g);
        g.presenter->clear();
        g.window->updateProductFirmware();
        EXPECT_EQ(g.presenter->alerts(), c.alerts);
        EXPECT_EQ(g.presenter->styles(), std::vector<AlertStyle>(c.alerts.size(), AlertStyle::warning));
        EXPECT_TRUE(g.sheet->shown.empty());
        EXPECT_FALSE(g.visible("USBProgressBar"));
    }
}

// Two faults at once, each pair of neighbouring checks: the earlier check
// speaks, so swapping any two of them fails here.
TEST_F(UsbTab, UpdateChecksComeInTheirOrder) {
    enum Fault {
        NoDevice,
        NoFile,
        ChipIdUnreadable,
        PathRemoved,
        NoFwVersion,
        Replug,
        FileGone,
        LoaderMissing,
        LoaderForeign,
        LoaderWithoutVersion,
        FileForOtherChip,
        LoaderForOtherChip,
    };
    const auto arrange = [](AppFixture& g, std::set<Fault> faults) {
        if (faults.count(Replug)) {
            plugAskingToReplug(g, 1);
        } else if (!faults.count(NoDevice)) {
            auto chip = g.plug(1, {.productId = 0x6221});
            if (faults.count(ChipIdUnreadable)) chip->failAt(emu::RequestKind::Read, 1, emu::Fault::Stall);
        }
        if (!faults.count(NoFile))
            g.browse(g.writeTemp("fw.bin", test::virrenFirmware("ZK6221 V2.00.1", 64 * 1024,
                                                                faults.count(FileForOtherChip) ? "SDE4" : "VRE1")));
        if (faults.count(PathRemoved)) g.prefs->remove("userSelectedPath");
        if (faults.count(NoFwVersion)) firmwareVersion = "NoFwVersion";
        if (faults.count(FileGone)) std::filesystem::remove(g.files.path() / "fw.bin");
        const char* loader = "ISP_USB/ISP_USB_VB.bin";
        if (faults.count(LoaderMissing)) std::filesystem::remove(g.data.path() / loader);
        const std::string version = faults.count(LoaderWithoutVersion) ? "no version"
                                    : faults.count(LoaderForOtherChip) ? "UsbFlS v01.2"
                                                                       : "UsbFlV v01.2";
        if (faults.count(LoaderForeign) || faults.count(LoaderWithoutVersion) || faults.count(LoaderForOtherChip))
            g.writeData(loader, test::loaderImage(version, faults.count(LoaderForeign) ? "xISP" : "eISP"));
    };
    struct Case {
        Fault first, second;
        Strings alerts;
    };
    for (const Case& c : {
             Case{NoDevice, NoFile, {kNoDevice}},
             Case{NoFile, ChipIdUnreadable, {"ERROR|No firmware file opened!"}},
             Case{ChipIdUnreadable, PathRemoved, {"ERROR|Incorrect chip ID."}},
             Case{PathRemoved, NoFwVersion, {"ERROR|Opened firmware file has been removed!"}},
             Case{NoFwVersion, Replug, {"ERROR|Incorrect firmware file imported!"}},
             Case{Replug, FileGone, {}},
             Case{FileGone, LoaderMissing, {"ERROR|The firmware file cannot be accessed!"}},
             Case{LoaderForeign, LoaderWithoutVersion, {"ERROR|xISP"}},
             Case{LoaderWithoutVersion, FileForOtherChip, {"ERROR|NoVersionInfo"}},
             Case{FileForOtherChip,
                  LoaderForOtherChip,
                  {"ERROR|Opened firmware file cannot be used for selected device!"}},
         }) {
        SCOPED_TRACE(testing::Message() << "faults " << c.first << " and " << c.second);
        AppFixture g;
        arrange(g, {c.first, c.second});
        g.presenter->clear();
        g.window->updateProductFirmware();
        EXPECT_EQ(g.presenter->alerts(), c.alerts);
        EXPECT_TRUE(g.sheet->shown.empty());
    }
}

TEST_F(UsbTab, AdvancedModeSkipsOnlyTheFileCheck) {
    f.plug(1, {.productId = 0x6221});
    f.browse(f.writeTemp("fw.bin", test::virrenFirmware("ZK6221 V2.00.1", 64 * 1024, "SDE4")));
    f.window->advancedModeAction()->trigger();
    f.presenter->clear();
    f.sheet->answer = false;
    f.window->updateProductFirmware();
    EXPECT_TRUE(f.presenter->alerts().empty());
    EXPECT_EQ(f.sheet->shown, Strings{"CAUTION|The following process will upgrade the device with opened firmware "
                                      "file. \n\nDO NOT disconnect the device!"});
    EXPECT_TRUE(f.visible("USBProgressBar"));  // declining leaves the controls shown
    EXPECT_TRUE(f.visible("progressValue"));

    f.writeData("ISP_USB/ISP_USB_VB.bin", test::loaderImage("UsbFlS v01.2"));
    f.window->updateProductFirmware();
    EXPECT_EQ(f.presenter->alerts(), Strings{"ERROR|The ISP file cannot be accessed!"});
}

TEST_F(UsbTab, FullUpgradeOnTheWorkerThread) {
    emu::UsbChipOptions options;  // 0x7E51:0x6221, VIRREN_A
    auto model = std::make_shared<emu::UsbChip>(options);
    auto transport = std::make_shared<test::GatedTransport>(model);
    f.plug(1, {}, transport, model);
    const auto firmware = test::virrenFirmware();
    f.browse(f.writeTemp("fw.bin", firmware));
    f.window->timer.start();

    std::vector<int> seen;
    QObject::connect(f.widget<QProgressBar>("USBProgressBar"), &QProgressBar::valueChanged,
                     [&](int v) { seen.push_back(v); });
    transport->gate.arm(1000);  // well inside the flash write
    f.window->updateProductFirmware();
    ASSERT_TRUE(transport->gate.waitHeld());

    // The window keeps working while the chip is half-written.
    EXPECT_TRUE(f.window->isUpgrading());
    EXPECT_TRUE(test::waitFor([&] { return f.widget<QProgressBar>("USBProgressBar")->value() > 0; }, 2000));
    EXPECT_TRUE(f.visible("USBProgressBar"));
    EXPECT_FALSE(f.widget<QPushButton>("updateButton")->isEnabled());
    EXPECT_FALSE(f.window->close());  // refused, with a word to the user
    EXPECT_NE(f.window->findChild<QMessageBox*>("closeRefusalWarning"), nullptr);

    transport->gate.release();
    f.window->waitForUpgrade();
    EXPECT_EQ(model->flash().size(), 128u * 1024);
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), model->flash().begin()));
    EXPECT_TRUE(model->violations().empty());
    EXPECT_EQ(maxPktSize, 64);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(*std::max_element(seen.begin(), seen.end()), 100);
    EXPECT_EQ(f.log("scrollView"),
              "\nFirmware file was imported!\nStart to upgrade firmware!\nUpgrade Completed!"
              "\nPlease unplug and replug the device!\nDevice: ZK6221 (USB bus 1, port 1)");
    EXPECT_EQ(f.presenter->alerts(), Strings{"Firmware Upgrade Completed!|Please unplug and replug the device for "
                                             "checking the firmware version."});
    EXPECT_FALSE(f.visible("USBProgressBar"));
    EXPECT_FALSE(f.visible("progressValue"));
    EXPECT_EQ(percentCompleted, 0);
    EXPECT_TRUE(f.widget<QPushButton>("updateButton")->isEnabled());
    EXPECT_EQ(f.presenter->offInterfaceThread(), 0);
}

// Products other than 0x6221, 0x6210 and 0x6211 take 8-byte packets.
TEST_F(UsbTab, EightBytePacketsForOtherProducts) {
    auto chip = f.plug(1, {.productId = 0x6121, .version = "ZK6121 V1.00"});
    const auto firmware = test::virrenFirmware("ZK6121 V2.00.1");
    f.browse(f.writeTemp("fw.bin", firmware));
    f.window->updateProductFirmware();
    f.window->waitForUpgrade();
    EXPECT_EQ(maxPktSize, 8);
    EXPECT_TRUE(chip->violations().empty());
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), chip->flash().begin()));
    size_t packets = 0;
    for (const auto& r : chip->transcript()) {
        if (r.kind != emu::RequestKind::FlashWrite) continue;
        ++packets;
        EXPECT_EQ(r.setup.wLength, 8u);
    }
    EXPECT_EQ(packets, firmware.size() / 8);
    EXPECT_EQ(f.presenter->alerts(), Strings{"Firmware Upgrade Completed!|Please unplug and replug the device for "
                                             "checking the firmware version."});
    EXPECT_EQ(f.presenter->styles(), std::vector<AlertStyle>{AlertStyle::warning});
}

// Bytes past the 64 or 128 KiB the size rule reads are never written.
TEST_F(UsbTab, OnlyTheImageIsWritten) {
    for (const auto& [size, image] : std::vector<std::pair<size_t, size_t>>{{66000, 65536}, {131073, 131072}}) {
        SCOPED_TRACE(size);
        AppFixture g;
        auto chip = g.plug(1, {.productId = 0x6221});
        const auto firmware = test::virrenFirmware("ZK6221 V2.00.1", size);
        g.browse(g.writeTemp("fw.bin", firmware));
        g.window->updateProductFirmware();
        g.window->waitForUpgrade();
        EXPECT_EQ(g.presenter->alerts(), Strings{"Firmware Upgrade Completed!|Please unplug and replug the device for "
                                                 "checking the firmware version."});
        EXPECT_TRUE(test::holdsOnlyTheImage(chip->flash(), firmware, image));
        EXPECT_TRUE(chip->violations().empty());
    }
}

// Another program has the chip: the window's status read and update send it
// nothing and say why; once it is free, the update goes through.
TEST_F(UsbTab, AChipAnotherProgramHoldsIsLeftAlone) {
    auto locks = std::make_shared<emu::InProcessChipLocks>();
    auto previous = setChipLocks(locks);
    const auto restore = qScopeGuard([&] { setChipLocks(previous); });
    const std::string node = "/dev/bus/usb/001/004";
    auto chip = f.plug(1, {.productId = 0x6221, .node = node});
    const auto firmware = test::virrenFirmware();
    f.browse(f.writeTemp("fw.bin", firmware));
    chip->clearTranscript();
    {
        const ChipHold other = ChipHold::take(node);
        ASSERT_FALSE(other.busy());
        f.window->getStatus();
        f.window->updateProductFirmware();
        EXPECT_EQ(f.presenter->alerts(), Strings(2, "ERROR|The device is in use by another program!"));
        EXPECT_EQ(f.presenter->styles(), std::vector<AlertStyle>(2, AlertStyle::warning));
        EXPECT_TRUE(chip->transcript().empty());
        EXPECT_TRUE(f.sheet->shown.empty());
    }
    f.presenter->clear();
    f.window->updateProductFirmware();
    f.window->waitForUpgrade();
    EXPECT_EQ(f.presenter->alerts(), Strings{"Firmware Upgrade Completed!|Please unplug and replug the device for "
                                             "checking the firmware version."});
    EXPECT_TRUE(test::holdsOnlyTheImage(chip->flash(), firmware, firmware.size()));
    EXPECT_FALSE(locks->isHeld(node));
}

TEST_F(UsbTab, NameThatIsNotUtf8) {
    auto chip = f.plug(1, {.productId = 0x6221});
    const auto firmware = test::virrenFirmware();
    const auto path = f.writeTemp("lat\xE9in.bin", firmware);
    f.browse(path);
    EXPECT_EQ(f.text("binaryFileVersionLabel"), "ZK6221 V2.00.1");
    EXPECT_EQ(f.prefs->string("userSelectedPath"), "file://" + f.files.path().string() + "/lat%E9in.bin");
    f.window->updateProductFirmware();
    f.window->waitForUpgrade();
    EXPECT_EQ(f.presenter->alerts(), Strings{"Firmware Upgrade Completed!|Please unplug and replug the device for "
                                             "checking the firmware version."});
    EXPECT_TRUE(test::holdsOnlyTheImage(chip->flash(), firmware, firmware.size()));
}

TEST_F(UsbTab, EngineAlertComesBeforeTheFailureInTheFlowsOrder) {
    auto chip = f.plug(1, {.productId = 0x6211});  // 64-byte packets
    chip->failAtPage(3, emu::Fault::WrongPageStatus);
    f.browse(f.writeTemp("fw.bin", test::virrenFirmware("ZK6211 V2.00.1")));
    std::vector<bool> barShownAtAlert;
    f.presenter->onPresent = [&] { barShownAtAlert.push_back(f.visible("USBProgressBar")); };
    f.window->updateProductFirmware();
    f.window->waitForUpgrade();
    EXPECT_EQ(f.presenter->alerts(),
              (Strings{"ERROR|Update process FAILED!",
                       "WARNING|Upgrade process FAILED.\nPlease replug the device and try again!"}));
    EXPECT_EQ(barShownAtAlert, (std::vector<bool>{true, false}));
    EXPECT_EQ(f.presenter->offInterfaceThread(), 0);  // the engine's alert too
    EXPECT_EQ(f.log("scrollView"),
              "\nFirmware file was imported!\nStart to upgrade firmware!\nUpgrade process FAILED."
              "\nPlease replug the device and try again!\nDevice: ZK6211 (USB bus 1, port 1)");
    EXPECT_EQ(percentCompleted, 0);
}

}  // namespace
}  // namespace quorvel
