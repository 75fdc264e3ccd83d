// The command-line device flows against emulated chips announced by the
// real device monitors: every check's message in order, the result that
// becomes the exit status, and what the chip received.
#include <functional>

#include <gtest/gtest.h>

#include "cli/Console.h"
#include "emu/EmulatedControlTransport.h"
#include "emu/InProcessChipLocks.h"
#include "emu/UsbChip.h"
#include "model/ChipHold.h"
#include "model/Settings.h"
#include "model/UpgradeGuard.h"
#include "model/Sleeper.h"
#include "support/Recorders.h"
#include "support/TestSupport.h"
#include "emu/EmulatedHotplugSource.h"
#include "usb/HotplugSource.h"

using namespace quorvel;
using namespace quorvel::test;

namespace {

const std::string kStart = "firmware file was imported!\nFirmware Version of File：\nZK6121 Demo v2.00\n";
const std::string kProgress =
    "Firmware Upgrade Start...\nInitializing...\n20%...\n40%...\n60%...\n80%...\n100%...\n"
    "Programming...\n20%...\n40%...\n60%...\n80%...\n100%...\n";
const std::string kDone =
    "\nUpgrade Completed!\n\nPlease unplug and replug the device for checking the firmware version.\n";

class ConsoleFlow : public testing::Test {
protected:
    TempDir dir;
    ScopedPreferences prefs;
    ScopedEnv data{"QUORVEL_DATA_DIR", (dir / "data").string()};
    std::shared_ptr<Sleeper> previousSleeper = setSleeper(std::make_shared<NoWaitSleeper>());
    std::shared_ptr<EmulatedHotplugSource> source = std::make_shared<EmulatedHotplugSource>();
    std::shared_ptr<HotplugSource> previousSource = installHotplugSource(source);
    std::shared_ptr<AlertSink> previousSink = setAlertSink(nullptr);  // alerts printed
    uint64_t nextId = 1;

    ConsoleFlow() {
        for (const char* name : {"ISP_USB_TS.bin", "ISP_USB_TS2.bin", "ISP_USB_SK.bin", "ISP_USB_VB.bin"})
            writeFile(dir / "data" / "ISP_USB" / name, loaderImage());
    }
    ~ConsoleFlow() override {
        source->shutdown();
        installHotplugSource(previousSource);
        setSleeper(previousSleeper);
        setAlertSink(previousSink);
    }

    std::shared_ptr<emu::UsbChip> plug(int64_t chipId, uint16_t productId = 0x6120,
                                       std::string version = "ZK6121 Chip v1.00") {
        emu::UsbChipOptions options;
        options.chipId = chipId;
        options.productId = productId;
        options.versionText = std::move(version);
        auto chip = std::make_shared<emu::UsbChip>(options);
        source->add({nextId++, options.vendorId, productId, options.name,
                     std::make_shared<emu::EmulatedControlTransport>(chip)});
        source->waitIdle();  // present before the monitors start
        return chip;
    }

    std::string firmware(const std::string& name, size_t size, const std::string& signature) {
        const auto path = dir / name;
        writeFile(path, firmwareImage(size, signature, "ZK6121 Demo v2.00"));
        return path.string();
    }

    // Runs one command the way the program does and returns its output.
    template <typename Command>
    std::pair<std::string, bool> run(Command command) {
        Console console;
        console.setNotificationCenter();
        console.DeviceMonitorStart();
        EXPECT_TRUE(console.waitForMonitors(std::chrono::seconds(5)));
        testing::internal::CaptureStdout();
        const bool ok = command(console);
        return {testing::internal::GetCapturedStdout(), ok};
    }
    std::pair<std::string, bool> upgrade(const std::string& path) {
        return run([&](Console& c) { return c.USBUpdateProductFirmware(path); });
    }
    std::pair<std::string, bool> status() {
        return run([](Console& c) { return c.GetStatus(); });
    }
};

TEST_F(ConsoleFlow, NoDevice) {
    EXPECT_EQ(upgrade(firmware("fw.bin", 65536, "VRE2")),
              std::make_pair(std::string("No device is connected!\nPlease connect the device first.\n"), false));
    EXPECT_EQ(status(),
              std::make_pair(std::string("No device is connected!\nPlease connect the device first.\n"), false));
}

TEST_F(ConsoleFlow, RefusedFilesStopWithTheirMessage) {
    auto chip = plug(0xA3);
    const auto one = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
        writeFile(dir / name, bytes);
        return (dir / name).string();
    };
    const std::string hex = (dir / "fw.hex").string();
    writeFile(hex, firmwareImage(65536, "VRE2", "ZK6121 Demo v2.00"));
    struct Case {
        std::string path;
        std::string output;
    };
    const std::vector<Case> cases = {
        {(dir / "missing.bin").string(), "Incorrect firmware file path imported!\n"},
        {hex, "Incorrect firmware file imported!\n"},
        {firmware("size.bin", 70000, "VRE2"), kStart + "ERROR：Incorrect firmware file imported!\n"},
        {firmware("other chip.bin", 65536, "VRE1"),
         kStart + "ERROR：Opened firmware file cannot be used for selected device!\n"},
        {(dir / "folder.bin").string(), "firmware file was imported!\nNo firmware file found.\n"},
        // A file without a version text is named so, and the checks go on.
        {one("no version.bin", firmwareImage(65536, "VRE1", "")),
         "firmware file was imported!\nFirmware Version of File：\nNoFwVersion\n"
         "ERROR：Opened firmware file cannot be used for selected device!\n"},
        {one("one byte.bin", {0x5A}),
         "firmware file was imported!\nFirmware Version of File：\nNoFwVersion\n"
         "ERROR：Firmware file cannot be read!\n"},
    };
    std::filesystem::create_directory(dir / "folder.bin");
    for (const auto& c : cases) EXPECT_EQ(upgrade(c.path), std::make_pair(c.output, false)) << c.path;
    // Nothing was written to the chip by any refused command.
    for (const auto& r : chip->transcript())
        EXPECT_TRUE(r.kind == emu::RequestKind::GetVersion || r.kind == emu::RequestKind::Read)
            << emu::toString(r.kind);
}

TEST_F(ConsoleFlow, UnsoundLoaderStopsBeforeTheChipIsTouched) {
    const auto loaderPath = dir / "data" / "ISP_USB" / "ISP_USB_VB.bin";
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"missing", [&] { std::filesystem::remove(loaderPath); }},
        {"truncated", [&] { writeFile(loaderPath, loaderImage("UsbFlV v01.2", "eISP", 4095)); }},
        {"empty", [&] { writeFile(loaderPath, {}); }},
        {"unsigned", [&] { writeFile(loaderPath, loaderImage("UsbFlV v01.2", "xISP")); }},
    };
    for (const auto& [name, spoil] : cases) {
        auto chip = plug(0xA3);
        spoil();
        EXPECT_EQ(upgrade(firmware("fw.bin", 65536, "VRE2")),
                  std::make_pair(kStart + "ERROR：ISP file cannot be read!\n", false))
            << name;
        EXPECT_EQ(chip->state(), emu::ChipState::Idle) << name;
        EXPECT_TRUE(chip->resets().empty()) << name;
        source->remove(nextId - 1);
        source->waitIdle();
    }
}

TEST_F(ConsoleFlow, UpgradeSucceedsAndFlashEqualsTheFile) {
    auto chip = plug(0xA3, 0x6120);
    const std::string path = firmware("my fw #1.bin", 65536, "VRE2");
    EXPECT_EQ(upgrade(path), std::make_pair(kStart + kProgress + kDone, true));
    auto flash = chip->flash();
    flash.resize(65536);
    EXPECT_EQ(flash, *FileAccess::GetBinaryFile(FileAccess::fileURL("file://" + path)));
    EXPECT_EQ(prefs->string("userSelectedPath"), "file://" + path);
    EXPECT_EQ(selectedPath, "file://" + path);
    EXPECT_TRUE(chip->violations().empty());
}

const std::string kFailed = "Upgrade process FAILED.\nPlease replug the device and try again!\n";

// Failures injected over the whole USB upgrade, of every request kind and
// fault: each gives its words and a failed command, and nothing reaches the
// chip after the failing request.
TEST_F(ConsoleFlow, FaultSweep) {
    using K = emu::RequestKind;
    struct Point {
        K kind;
        size_t occurrence;  // from 1; for StatusRead with a wrong status: the page + 1
        std::string words;  // the refusal, or the lines just before kFailed
    };
    const std::string write = "USB Upgrade Error: Write\n", ram = "USB Upgrade Error: RamWrite\n",
                      flash = "USB Upgrade Error: FlashWrite\n";
    const std::vector<Point> points = {
        {K::GetVersion, 1, "ERROR, Incorrect chip ID.\n"},
        {K::Read, 1, "ERROR, Incorrect chip ID.\n"},
        {K::Reset, 1, ""},     // Reset(2): no words of its own
        {K::Write, 4, write},  // 0x80AD, after the three of the way into debug mode
        {K::Write, 5, ""},
        {K::Write, 9, ""},
        {K::Reset, 2, "USB Upgrade Error: Reset\n"},
        {K::RamWrite, 1, ram},
        {K::RamWrite, 35, ram},
        {K::RamWrite, 70, ram},
        {K::RunCode, 1, "USB Upgrade Error: RunCode\n"},
        {K::FlashErase, 1, "USB Upgrade Error: FlashErease\n"},
        {K::FlashWrite, 1, flash},
        {K::FlashWrite, 513, flash},
        {K::FlashWrite, 1024, flash},
        {K::StatusRead, 1, flash},
        {K::StatusRead, 256, flash},
    };
    const bool in[] = {true,  true,  false, false, false, false, false, false, false,
                       false, false, false, false, false, false, true,  true};
    std::vector<std::pair<Point, emu::Fault>> cases;
    for (size_t i = 0; i < points.size(); ++i)
        for (auto fault :
             {emu::Fault::TransferError, emu::Fault::Stall, emu::Fault::Timeout, emu::Fault::Unplug, emu::Fault::Short})
            if (fault != emu::Fault::Short || !in[i]) cases.push_back({points[i], fault});
    for (size_t page : {0, 255})
        cases.push_back(
            {{K::StatusRead, page + 1, "ERROR: Update process FAILED!\n" + flash}, emu::Fault::WrongPageStatus});

    for (const auto& [point, fault] : cases) {
        SCOPED_TRACE(std::string(emu::toString(point.kind)) + "@" + std::to_string(point.occurrence) + " " +
                     std::to_string(static_cast<int>(fault)));
        source->shutdown();
        source = std::make_shared<EmulatedHotplugSource>();
        installHotplugSource(source);
        auto chip = plug(0xA3, 0x6221);
        if (fault == emu::Fault::WrongPageStatus) chip->failAtPage(point.occurrence - 1, fault);
        else chip->failAt(point.kind, point.occurrence, fault);
        const auto [out, ok] = upgrade(firmware("fw.bin", 65536, "VRE2"));
        EXPECT_FALSE(ok);
        const bool refused = point.words.starts_with("ERROR,");
        if (refused) {
            EXPECT_EQ(out, point.words);
        } else {
            EXPECT_TRUE(out.ends_with(point.words + kFailed)) << out;
        }
        if (point.words.empty()) {
            EXPECT_EQ(out.find("USB Upgrade Error"), std::string::npos) << out;
        }
        const auto transcript = chip->transcript();
        ASSERT_FALSE(transcript.empty());
        EXPECT_EQ(transcript.back().kind, point.kind);
        EXPECT_EQ(std::count_if(transcript.begin(), transcript.end(),
                                [&](const auto& r) { return r.kind == point.kind; }),
                  static_cast<long>(point.occurrence));
    }
}

TEST_F(ConsoleFlow, NameThatIsNotUtf8) {
    auto chip = plug(0xA3, 0x6221);
    const std::string path = firmware("lat\xE9in.bin", 65536, "VRE2");
    const auto [out, ok] = upgrade(path);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(out.ends_with(kDone)) << out;
    EXPECT_EQ(prefs->string("userSelectedPath"), "file://" + dir.path().string() + "/lat%E9in.bin");
    EXPECT_TRUE(holdsOnlyTheImage(chip->flash(), firmwareImage(65536, "VRE2", "ZK6121 Demo v2.00"), 65536));
}

TEST_F(ConsoleFlow, PacketSizeFollowsTheProduct) {
    for (const auto& [product, size] : std::vector<std::pair<uint16_t, int>>{
             {0x6120, 8}, {0x6121, 8}, {0x6100, 8}, {0x6221, 64}, {0x6210, 64}, {0x6211, 64}}) {
        source->shutdown();
        source = std::make_shared<EmulatedHotplugSource>();
        installHotplugSource(source);
        auto chip = plug(0xA3, product);
        ASSERT_TRUE(upgrade(firmware("fw.bin", 65536, "VRE2")).second) << product;
        EXPECT_EQ(maxPktSize, size) << product;
        size_t largest = 0;
        for (const auto& r : chip->transcript())
            if (r.kind == emu::RequestKind::FlashWrite) largest = std::max<size_t>(largest, r.setup.wLength);
        EXPECT_EQ(largest, static_cast<size_t>(size)) << product;
    }
}

// A file the size rule accepts as 64 or 128 KiB carries more bytes than its
// image; those are never written nor addressed.
TEST_F(ConsoleFlow, OnlyTheImageIsWritten) {
    for (const auto& [size, image] :
         std::vector<std::pair<size_t, size_t>>{{65537, 65536}, {66000, 65536}, {66559, 65536}, {131073, 131072}}) {
        SCOPED_TRACE(size);
        source->shutdown();
        source = std::make_shared<EmulatedHotplugSource>();
        installHotplugSource(source);
        auto chip = plug(0xA3, 0x6221);
        const std::string path = firmware("fw.bin", size, "VRE2");
        const auto [out, ok] = upgrade(path);
        EXPECT_TRUE(ok);
        EXPECT_TRUE(out.ends_with(kDone)) << out;
        EXPECT_TRUE(
            holdsOnlyTheImage(chip->flash(), *FileAccess::GetBinaryFile(FileAccess::fileURL("file://" + path)), image));
        size_t end = 0;
        for (const auto& r : chip->transcript())
            if (r.kind == emu::RequestKind::FlashWrite)
                end = std::max(end, ((size_t{r.setup.wValue} & 0xFF) << 16 | r.setup.wIndex) + r.setup.wLength);
        EXPECT_EQ(end, image);
        EXPECT_TRUE(chip->violations().empty());
    }
}

TEST_F(ConsoleFlow, OnlyTheFirstDeviceIsUsed) {
    auto first = plug(0xA3, 0x6120, "ZK6120 First");
    auto second = plug(0xA3, 0x6120, "ZK6120 Second");
    EXPECT_EQ(status(), std::make_pair(std::string("Firmware Version of Product: \nZK6120 First\n"), true));
    ASSERT_TRUE(upgrade(firmware("fw.bin", 65536, "VRE2")).second);
    EXPECT_EQ(first->state(), emu::ChipState::Programmed);
    EXPECT_EQ(second->state(), emu::ChipState::Idle);
    EXPECT_TRUE(second->resets().empty());
}

TEST_F(ConsoleFlow, PageFailureIsReportedAndFails) {
    auto chip = plug(0xA3);
    chip->failAtPage(3, emu::Fault::WrongPageStatus);
    const auto [out, ok] = upgrade(firmware("fw.bin", 65536, "VRE2"));
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, kStart +
                       "Firmware Upgrade Start...\nInitializing...\n20%...\n40%...\n60%...\n80%...\n100%...\n"
                       "ERROR: Update process FAILED!\nUSB Upgrade Error: FlashWrite\n"
                       "Upgrade process FAILED.\nPlease replug the device and try again!\n");
    EXPECT_EQ(chip->pagesWritten(), 4u);  // nothing after the failed page
}

TEST_F(ConsoleFlow, DeviceFailuresBeforeTheChecks) {
    auto chip = plug(0xA3);
    test::ScopedLogCapture log;
    chip->failAt(emu::RequestKind::GetVersion, 1, emu::Fault::Stall);
    EXPECT_EQ(upgrade(firmware("fw.bin", 65536, "VRE2")),
              std::make_pair(std::string("ERROR, Incorrect chip ID.\n"), false));
    chip->failAt(emu::RequestKind::Read, 1, emu::Fault::TransferError);
    EXPECT_EQ(upgrade(firmware("fw.bin", 65536, "VRE2")),
              std::make_pair(std::string("ERROR, Incorrect chip ID.\n"), false));
    chip->failAt(emu::RequestKind::GetVersion, 1, emu::Fault::Timeout);
    EXPECT_EQ(status(), std::make_pair(std::string("Please replug the device again.\n"), false));
    // The log keeps why, request and status.
    EXPECT_TRUE(log.contains(LogLevel::error, "USB chip identification failed: GetVersion: LIBUSB_ERROR_PIPE (-9)"));
    EXPECT_TRUE(
        log.contains(LogLevel::error, "USB chip identification failed: GetChipID: Read 0x8910: LIBUSB_ERROR_IO (-1)"));
    EXPECT_TRUE(log.contains(LogLevel::error, "USB version read failed: GetVersion: LIBUSB_ERROR_TIMEOUT (-7)"));
}

// Forwards to the chip and records, for every request, whether the chip was
// held when it was sent.
class HoldWitness : public ControlTransport {
public:
    HoldWitness(std::shared_ptr<emu::UsbChip> chip, std::shared_ptr<emu::InProcessChipLocks> locks, std::string node)
        : inner_(std::move(chip)), locks_(std::move(locks)), node_(std::move(node)) {}
    int32_t controlTransfer(const ControlSetup& setup, std::span<uint8_t> data) override {
        heldAtRequest.push_back(locks_->isHeld(node_));
        return inner_.controlTransfer(setup, data);
    }
    std::vector<bool> heldAtRequest;

private:
    emu::EmulatedControlTransport inner_;
    std::shared_ptr<emu::InProcessChipLocks> locks_;
    std::string node_;
};

TEST_F(ConsoleFlow, OneCommandPerChip) {
    auto locks = std::make_shared<emu::InProcessChipLocks>();
    auto previousLocks = setChipLocks(locks);
    const std::string node = "/dev/bus/usb/001/002";
    emu::UsbChipOptions options;
    options.chipId = 0xA3;
    options.productId = 0x6120;
    auto chip = std::make_shared<emu::UsbChip>(options);
    auto witness = std::make_shared<HoldWitness>(chip, locks, node);
    EmulatedUSBDevice device;
    device.id = nextId++;
    device.vendorId = chip->options().vendorId;
    device.productId = chip->options().productId;
    device.transport = witness;
    device.node = node;
    source->add(device);
    source->waitIdle();
    const std::string path = firmware("fw.bin", 65536, "VRE2");
    {
        // Another program has the chip: neither command sends it anything.
        ChipHold other = ChipHold::take(node);
        const auto refused = std::make_pair(std::string("ERROR：The device is in use by another program!\n"), false);
        EXPECT_EQ(upgrade(path), refused);
        EXPECT_EQ(status(), refused);
        EXPECT_TRUE(chip->transcript().empty());
    }
    // Free again: every request of the checks and the upgrade goes out held,
    // and the chip is let go once the command ends.
    EXPECT_EQ(upgrade(path), std::make_pair(kStart + kProgress + kDone, true));
    EXPECT_GT(witness->heldAtRequest.size(), 1000u);
    EXPECT_EQ(std::count(witness->heldAtRequest.begin(), witness->heldAtRequest.end(), false), 0);
    EXPECT_FALSE(locks->isHeld(node));
    // A hold on another chip holds nothing back.
    ChipHold elsewhere = ChipHold::take("/dev/bus/usb/001/003");
    EXPECT_TRUE(status().second);
    setChipLocks(previousLocks);
}

// Records how many requests the chip had seen when the inhibitor was taken
// and when it was let go.
class CountingInhibitor : public Inhibitor {
public:
    explicit CountingInhibitor(std::shared_ptr<emu::UsbChip> chip) : chip_(std::move(chip)) {}
    std::shared_ptr<void> inhibit(const std::string& why, std::string&) override {
        this->why = why;
        atTake = chip_->transcript();
        return std::shared_ptr<void>(nullptr, [this](void*) { atRelease = chip_->transcript().size(); });
    }
    std::string why;
    std::vector<emu::RequestRecord> atTake;
    size_t atRelease = 0;

private:
    std::shared_ptr<emu::UsbChip> chip_;
};

TEST_F(ConsoleFlow, TheSystemIsKeptAwakeFromTheSequencesFirstRequestToItsLast) {
    auto chip = plug(0xA3, 0x6120);
    auto recorder = std::make_shared<CountingInhibitor>(chip);
    auto previous = setInhibitor(recorder);
    EXPECT_TRUE(upgrade(firmware("fw.bin", 65536, "VRE2")).second);
    setInhibitor(previous);
    // Taken after the checks' reads, before the first request of the upgrade.
    ASSERT_FALSE(recorder->atTake.empty());
    for (const auto& r : recorder->atTake)
        EXPECT_TRUE(r.kind == emu::RequestKind::GetVersion || r.kind == emu::RequestKind::Read)
            << emu::toString(r.kind);
    EXPECT_EQ(recorder->atRelease, chip->transcript().size());
    EXPECT_EQ(recorder->why, "Upgrading the firmware of ZK6120");
}

TEST_F(ConsoleFlow, StatusPrintsTheVersion) {
    plug(0xA3, 0x6120, "ABC no model");
    EXPECT_EQ(status(), std::make_pair(std::string("Firmware Version of Product: \nABC no model\n"), true));
}

TEST_F(ConsoleFlow, ShortVersionReplyAsksForAReplug) {
    emu::UsbChipOptions options;
    options.versionReply = std::vector<uint8_t>{0x02, 0x08};
    auto chip = std::make_shared<emu::UsbChip>(options);
    source->add({nextId++, options.vendorId, options.productId, options.name,
                 std::make_shared<emu::EmulatedControlTransport>(chip)});
    source->waitIdle();
    EXPECT_EQ(status(), std::make_pair(std::string("Please replug the device again.\n"
                                                   "Firmware Version of Product: \n"
                                                   "Please replug the device again.\n"),
                                       false));
    // The upgrade stops silently after the engine's own line.
    EXPECT_EQ(upgrade(firmware("fw.bin", 65536, "VRE2")),
              std::make_pair(std::string("Please replug the device again.\n"), false));
}

TEST_F(ConsoleFlow, RemovalBeforeTheCommandEmptiesTheList) {
    plug(0xA3);
    Console console;
    console.setNotificationCenter();
    console.DeviceMonitorStart();
    ASSERT_TRUE(console.waitForMonitors(std::chrono::seconds(5)));
    ASSERT_EQ(console.devices().size(), 1u);
    source->remove(1);
    source->waitIdle();
    // Queued for the main thread: applied when it next waits, not before.
    EXPECT_EQ(console.devices().size(), 1u);
    console.waitForMonitors(std::chrono::seconds(1));
    EXPECT_TRUE(console.devices().empty());
}

}  // namespace

#include "display/AUXDisplayManager.h"
#include "display/DisplayPlatform.h"
#include "emu/EdidBuilder.h"
#include "emu/AuxChip.h"
#include "emu/AuxEmulatedPlatform.h"

namespace {

// The display road from the command line, against an emulated display
// whose DDC bus carries a chip.
class AuxConsoleFlow : public testing::Test {
protected:
    TempDir dir;
    ScopedPreferences prefs;
    ScopedEnv data{"QUORVEL_DATA_DIR", (dir / "data").string()};
    std::shared_ptr<Sleeper> previousSleeper = setSleeper(std::make_shared<NoWaitSleeper>());
    emu::AuxEmulatedHost host;
    std::shared_ptr<emu::AuxChip> chip = std::make_shared<emu::AuxChip>();
    DisplayPlatform previousPlatform;

    AuxConsoleFlow() {
        writeFile(dir / "data" / "ISP_AUX" / "ISP_AUX.bin", loaderImage("UsbFlA v01.0"));
        emu::AuxEmulatedDisplay display;
        EdidSpec edid;
        edid.name = "Test Screen";
        display.edid = buildEdid(edid);
        display.bus = 3;
        display.chip = chip;
        host.addDisplay(display);
    }
    ~AuxConsoleFlow() override {
        setDisplayPlatform(previousPlatform);
        AUXDisplayManager::shared().clearDisplays();
        setSleeper(previousSleeper);
    }
    void connect() { previousPlatform = setDisplayPlatform(host.platform()); }

    std::string firmware(size_t size) {
        const auto path = dir / "aux fw.bin";
        writeFile(path, firmwareImage(size, "VRE2", "ZK6121 Demo v2.00"));
        return path.string();
    }
    template <typename Command>
    std::pair<std::string, bool> run(Command command) {
        Console console;
        testing::internal::CaptureStdout();
        const bool ok = command(console);
        return {testing::internal::GetCapturedStdout(), ok};
    }
};

TEST_F(AuxConsoleFlow, NoScreenAnswers) {
    previousPlatform = setDisplayPlatform(emu::AuxEmulatedHost().platform());
    const std::pair<std::string, bool> none{"No External Screen connected!\nPlease connect the screen first.\n", false};
    EXPECT_EQ(run([](Console& c) { return c.AUXGetStatus(); }), none);
    EXPECT_EQ(run([&](Console& c) { return c.AUXUpdateProductFirmware(firmware(65536)); }), none);
}

TEST_F(AuxConsoleFlow, ProductPrintsTheChipVersion) {
    connect();
    EXPECT_EQ(run([](Console& c) { return c.AUXGetStatus(); }),
              std::make_pair(std::string("Firmware Version of Product: \nZK6121 V1.00.0\n"), true));
}

TEST_F(AuxConsoleFlow, UpgradeWritesTheFileWithItsMilestones) {
    connect();
    const std::string path = firmware(65536);
    EXPECT_EQ(run([&](Console& c) { return c.AUXUpdateProductFirmware(path); }),
              std::make_pair(kStart + kProgress + kDone, true));
    auto flash = chip->flash();
    flash.resize(65536);
    EXPECT_EQ(flash, *FileAccess::GetBinaryFile(FileAccess::fileURL("file://" + path)));
    EXPECT_TRUE(chip->violations().empty());
}

TEST_F(AuxConsoleFlow, AScreenThatDoesNotAnswerIsLeftAloneWhileTheOneThatDoesIsUpgraded) {
    auto silent = std::make_shared<emu::AuxChip>();
    silent->failAt(emu::AuxPacketKind::GetVersion, 1);
    silent->failAt(emu::AuxPacketKind::GetVersion, 9);
    emu::AuxEmulatedDisplay second;
    EdidSpec edid;
    edid.name = "Second";
    edid.serial = 2;
    second.index = 2;
    second.edid = buildEdid(edid);
    second.bus = 4;
    second.chip = silent;
    host.addDisplay(second);
    connect();
    EXPECT_EQ(run([](Console& c) { return c.AUXGetStatus(); }),
              std::make_pair(std::string("Firmware Version of Product: \nZK6121 V1.00.0\n"), true));
    const auto path = firmware(65536);
    // The inhibitor's reason names the display the upgrade writes, not the silent one.
    struct Reasons : Inhibitor {
        std::vector<std::string> whys;
        std::shared_ptr<void> inhibit(const std::string& why, std::string&) override {
            whys.push_back(why);
            return std::make_shared<int>(0);
        }
    };
    auto reasons = std::make_shared<Reasons>();
    auto previous = setInhibitor(reasons);
    EXPECT_EQ(run([&](Console& c) { return c.AUXUpdateProductFirmware(path); }).second, true);
    setInhibitor(previous);
    ASSERT_EQ(reasons->whys.size(), 1u);
    EXPECT_EQ(reasons->whys[0].rfind("Upgrading the firmware of the chip behind ", 0), 0u) << reasons->whys[0];
    EXPECT_EQ(reasons->whys[0].find("Second"), std::string::npos) << reasons->whys[0];
    auto flash = chip->flash();
    flash.resize(65536);
    EXPECT_EQ(flash, *FileAccess::GetBinaryFile(FileAccess::fileURL("file://" + path)));
    for (const auto& e : silent->transcript())
        EXPECT_TRUE(e.kind == emu::AuxPacketKind::GetVersion || e.kind == emu::AuxPacketKind::VersionRead)
            << emu::toString(e.kind);
}

TEST_F(AuxConsoleFlow, OnlyTheImageIsWritten) {
    connect();
    for (const auto& [size, image] :
         std::vector<std::pair<size_t, size_t>>{{65537, 65536}, {66000, 65536}, {131073, 131072}, {132095, 131072}}) {
        SCOPED_TRACE(size);
        chip->clearTranscript();
        const std::string path = firmware(size);
        EXPECT_EQ(run([&](Console& c) { return c.AUXUpdateProductFirmware(path); }),
                  std::make_pair(kStart + kProgress + kDone, true));
        EXPECT_TRUE(
            holdsOnlyTheImage(chip->flash(), *FileAccess::GetBinaryFile(FileAccess::fileURL("file://" + path)), image));
        size_t packets = 0;
        for (const auto& e : chip->transcript()) packets += e.kind == emu::AuxPacketKind::FlashWrite;
        EXPECT_EQ(packets, image / 8);
        EXPECT_TRUE(chip->violations().empty());
    }
}

TEST_F(AuxConsoleFlow, NameThatIsNotUtf8) {
    connect();
    const auto path = dir / "d\xFCr" / "lat\xE9in.bin";
    writeFile(path, firmwareImage(65536, "VRE2", "ZK6121 Demo v2.00"));
    EXPECT_EQ(run([&](Console& c) { return c.AUXUpdateProductFirmware(path.string()); }),
              std::make_pair(kStart + kProgress + kDone, true));
    EXPECT_EQ(prefs->string("userSelectedPath"), "file://" + dir.path().string() + "/d%FCr/lat%E9in.bin");
    EXPECT_TRUE(holdsOnlyTheImage(chip->flash(), firmwareImage(65536, "VRE2", "ZK6121 Demo v2.00"), 65536));
}

// The same over the display road: every packet kind, both bus faults.
TEST_F(AuxConsoleFlow, FaultSweep) {
    using K = emu::AuxPacketKind;
    struct Point {
        K kind;
        size_t occurrence;
        std::string words;  // the whole output when the command stops before the upgrade
    };
    const std::string noScreen = "No External Screen connected!\nPlease connect the screen first.\n";
    const std::vector<Point> points = {
        {K::GetVersion, 1, noScreen},
        {K::GetVersion, 8, noScreen},
        {K::VersionRead, 1, noScreen},
        {K::DebugOn, 1, ""},
        {K::BeforeUpgrade, 1, ""},
        {K::BeforeUpgrade, 10, ""},
        {K::Reset, 1, ""},
        {K::Write, 1, ""},
        {K::Write, 7, ""},
        {K::RamWrite, 1, ""},
        {K::RamWrite, 256, ""},
        {K::RamWrite, 512, ""},
        {K::SendRamWriteCRC, 1, ""},
        {K::SendRamWriteCRC, 16, ""},
        {K::RunCode, 1, ""},
        {K::FlashErase, 1, ""},
        {K::BeforeUpgrade, 11, ""},
        {K::BeforeUpgrade, 20, ""},
        {K::FlashWrite, 1, ""},
        {K::FlashWrite, 4096, ""},
        {K::FlashWrite, 8192, ""},
        {K::SendFlashWriteCRC, 1, ""},
        {K::SendFlashWriteCRC, 256, ""},
    };
    const std::string path = firmware(65536);
    const DisplayPlatform first = setDisplayPlatform(emu::AuxEmulatedHost().platform());
    for (const Point& point : points) {
        for (auto status : {emu::I2CStatus::Nak, emu::I2CStatus::BusError}) {
            SCOPED_TRACE(std::string(emu::toString(point.kind)) + "@" + std::to_string(point.occurrence) +
                         (status == emu::I2CStatus::Nak ? " nak" : " bus error"));
            emu::AuxEmulatedHost fresh;
            auto target = std::make_shared<emu::AuxChip>();
            emu::AuxEmulatedDisplay display;
            display.edid = buildEdid(EdidSpec{});
            display.bus = 3;
            display.chip = target;
            fresh.addDisplay(display);
            setDisplayPlatform(fresh.platform());
            target->failAt(point.kind, point.occurrence, status);
            const auto [out, ok] = run([&](Console& c) { return c.AUXUpdateProductFirmware(path); });
            EXPECT_FALSE(ok);
            if (!point.words.empty()) {
                EXPECT_EQ(out, point.words);
            } else {
                EXPECT_TRUE(out.ends_with(kFailed)) << out;
            }
            const auto transcript = target->transcript();
            ASSERT_FALSE(transcript.empty());
            EXPECT_EQ(transcript.back().kind, point.kind);
            EXPECT_NE(transcript.back().status, emu::I2CStatus::Ok);
            EXPECT_EQ(std::count_if(transcript.begin(), transcript.end(),
                                    [&](const auto& e) { return e.kind == point.kind; }),
                      static_cast<long>(point.occurrence));
            AUXDisplayManager::shared().clearDisplays();
        }
    }
    setDisplayPlatform(first);
    previousPlatform = first;
}

// --aux-firmware refuses what the AUX tab refuses, in the tab's order, before
// anything but the version query reaches the chip.
TEST_F(AuxConsoleFlow, FirmwareChecksOfTheTab) {
    connect();
    const std::string noVersion = "firmware file was imported!\nFirmware Version of File：\nNoFwVersion\n";
    const auto loaderPath = dir / "data" / "ISP_AUX" / "ISP_AUX.bin";
    const auto file = [&](size_t size, const std::string& version) {
        writeFile(dir / "case.bin", firmwareImage(size, "VRE2", version));
        return (dir / "case.bin").string();
    };
    struct Case {
        const char* name;
        std::function<std::string()> prepare;  // the firmware path
        std::string output;
    };
    const std::vector<Case> cases = {
        {"no version text", [&] { return file(65536, ""); }, noVersion + "ERROR：Incorrect firmware file imported!\n"},
        {"no version text comes before the size", [&] { return file(70000, ""); },
         noVersion + "ERROR：Incorrect firmware file imported!\n"},
        {"wrong size", [&] { return file(70000, "ZK6121 Demo v2.00"); },
         kStart + "ERROR：Incorrect firmware file imported!\n"},
        {"one byte", [&] { return file(1, ""); }, noVersion + "ERROR：Incorrect firmware file imported!\n"},
        {"loader of a wrong size",
         [&] {
             writeFile(loaderPath, loaderImage("UsbFlA v01.0", "eISP", 4095));
             return file(65536, "ZK6121 Demo v2.00");
         },
         kStart + "The ISP file is Not Correct.\n"},
        {"loader unsigned",
         [&] {
             writeFile(loaderPath, loaderImage("UsbFlA v01.0", "xISP"));
             return file(65536, "ZK6121 Demo v2.00");
         },
         kStart + "xISP\n"},
        {"loader missing",
         [&] {
             std::filesystem::remove(loaderPath);
             return file(65536, "ZK6121 Demo v2.00");
         },
         kStart + "The ISP file cannot be accessed!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(loaderPath, loaderImage("UsbFlA v01.0"));
        const std::string path = c.prepare();
        chip->clearTranscript();
        EXPECT_EQ(run([&](Console& con) { return con.AUXUpdateProductFirmware(path); }),
                  std::make_pair(c.output, false));
        for (const auto& e : chip->transcript())
            EXPECT_TRUE(e.kind == emu::AuxPacketKind::GetVersion || e.kind == emu::AuxPacketKind::VersionRead)
                << emu::toString(e.kind);
    }
}

TEST_F(AuxConsoleFlow, RefusalsAndFailures) {
    connect();
    EXPECT_EQ(run([&](Console& c) { return c.AUXUpdateProductFirmware(firmware(70000)); }),
              std::make_pair(kStart + "ERROR：Incorrect firmware file imported!\n", false));

    chip->failAt(emu::AuxPacketKind::FlashWrite, 40);
    const auto [out, ok] = run([&](Console& c) { return c.AUXUpdateProductFirmware(firmware(65536)); });
    EXPECT_FALSE(ok);
    const std::string tail = "Programming...\nUpgrade process FAILED.\nPlease replug the device and try again!\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);

    std::filesystem::remove(dir / "data" / "ISP_AUX" / "ISP_AUX.bin");
    EXPECT_EQ(run([&](Console& c) { return c.AUXUpdateProductFirmware(firmware(65536)); }),
              std::make_pair(kStart + "The ISP file cannot be accessed!\n", false));
}

}  // namespace
