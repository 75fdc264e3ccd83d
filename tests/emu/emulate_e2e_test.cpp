// End to end: the real QuorvelCLI, through the real libusb, against chips
// that quorvel-emulate presents through umockdev.
#include <gtest/gtest.h>

#include "emu/SampleFiles.h"
#include "support/Process.h"
#include "support/TestSupport.h"

using namespace quorvel;
using namespace quorvel::test;

namespace {

class Emulated : public testing::Test {
protected:
    TempDir dir;

    // quorvel-emulate OPTIONS -- QuorvelCLI ARGS, with preferences of its own.
    ProcessResult run(std::vector<std::string> options, const std::vector<std::string>& cli,
                      std::chrono::seconds limit = std::chrono::seconds(90)) {
        std::vector<std::string> argv = {QUORVEL_EMULATE_PATH};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("--");
        argv.push_back(QUORVEL_CLI_PATH);
        argv.insert(argv.end(), cli.begin(), cli.end());
        auto result = runProcess(argv, {{"XDG_CONFIG_HOME", (dir / "config").string()}}, limit);
        EXPECT_FALSE(result.timedOut) << result.out << result.err;
        return result;
    }

    std::string firmware(int64_t chip, size_t kib = 64, const std::string& name = "fw file.bin") {
        const auto path = dir / name;
        emu::writeBytes(path, emu::sampleFirmware(chip, kib, "ZK6121 Sample v2.00"));
        return path.string();
    }
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(Emulated, ProductReadsTheVersion) {
    const auto r = run({"--version-text", "ZK6121 Emulated v1.00"}, {"--product"});
    EXPECT_TRUE(contains(r.out, "--------\nFirmware Version of Product: \nZK6121 Emulated v1.00\n------")) << r.out;
    EXPECT_TRUE(contains(r.err, "1 requests (GetVersion 1)")) << r.err;
    EXPECT_EQ(r.status, 0);
}

TEST_F(Emulated, NoChipMeansNoDevice) {
    const auto r = run({"--no-usb"}, {"-p"});
    EXPECT_TRUE(contains(r.out, "No device is connected!\nPlease connect the device first.\n")) << r.out;
    EXPECT_EQ(r.status, 1);
}

TEST_F(Emulated, FullUpgradeWritesTheFileIntoFlash) {
    const std::string path = firmware(0xA3, 128);
    const auto r = run({}, {"--firmware", path});
    EXPECT_TRUE(contains(r.out, "Programming...\n20%...\n40%...\n60%...\n80%...\n100%...\n\nUpgrade Completed!\n"))
        << r.out;
    EXPECT_TRUE(contains(r.err, "flash equals " + path + " (131072 bytes)")) << r.err;
    EXPECT_TRUE(contains(r.err, "FlashWrite 16384")) << r.err;  // 8-byte packets for 0x6121
    EXPECT_FALSE(contains(r.err, "protocol violation")) << r.err;
    EXPECT_EQ(r.status, 0);
}

TEST_F(Emulated, RefusedFileLeavesTheChipAlone) {
    const auto r = run({"--product", "0x6221"}, {"-f", firmware(0xA1)});
    EXPECT_TRUE(contains(r.out, "ERROR：Opened firmware file cannot be used for selected device!\n")) << r.out;
    EXPECT_FALSE(contains(r.err, "Reset")) << r.err;
    EXPECT_TRUE(contains(r.err, "final state: idle")) << r.err;
    EXPECT_EQ(r.status, 1);
}

TEST_F(Emulated, FailuresMidWriteEndTheUpgrade) {
    struct Case {
        std::string fault;
        std::string state;
    };
    for (const Case& c : {Case{"flashwrite@300:stall", "programmed"}, Case{"flashwrite@300:unplug", "unplugged"}}) {
        const auto r = run({"--product", "0x6221", "--fail-step", c.fault}, {"-f", firmware(0xA3)});
        EXPECT_TRUE(contains(r.out,
                             "USB Upgrade Error: FlashWrite\nUpgrade process FAILED.\n"
                             "Please replug the device and try again!\n"))
            << c.fault << r.out;
        EXPECT_FALSE(contains(r.out, "Upgrade Completed!")) << c.fault;
        EXPECT_TRUE(contains(r.err, "FlashWrite 300")) << c.fault << r.err;  // nothing after the failure
        EXPECT_TRUE(contains(r.err, c.state)) << c.fault << r.err;
        EXPECT_EQ(r.status, 1) << c.fault;
    }
}

TEST_F(Emulated, PageStatusFailureIsShown) {
    const auto r = run({"--product", "0x6221", "--fail-page", "7"}, {"-f", firmware(0xA3)});
    EXPECT_TRUE(contains(r.out, "ERROR: Update process FAILED!\nUSB Upgrade Error: FlashWrite\n")) << r.out;
    EXPECT_TRUE(contains(r.err, "8 pages written")) << r.err;
    EXPECT_EQ(r.status, 1);
}

TEST_F(Emulated, SilentChipFailsWithinTheTimeOut) {
    const auto start = std::chrono::steady_clock::now();
    const auto r = run({"--product", "0x6221", "--fail-step", "flasherase:timeout"}, {"-f", firmware(0xA3)});
    EXPECT_TRUE(contains(r.out, "USB Upgrade Error: FlashErease\nUpgrade process FAILED.\n")) << r.out;
    EXPECT_EQ(r.status, 1);
    // The transfer time-out ends the request; the program never hangs.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST_F(Emulated, DisplayChipReadAndUpgraded) {
    auto r = run({"--no-usb", "--display", "name=Office,version=ZK6221 V2.0"}, {"--aux-product"});
    EXPECT_TRUE(contains(r.out, "Firmware Version of Product: \nZK6221 V2.0\n")) << r.out;
    EXPECT_EQ(r.status, 0);

    r = run({"--no-usb", "--display", "default"}, {"--aux-firmware", firmware(0xA3)});
    EXPECT_TRUE(contains(r.out, "Firmware Upgrade Start...\nInitializing...\n20%...")) << r.out;
    EXPECT_TRUE(contains(r.out, "\nUpgrade Completed!\n")) << r.out;
    EXPECT_TRUE(contains(r.err, "flash equals " + (dir / "fw file.bin").string() + " (65536 bytes)")) << r.err;
    EXPECT_FALSE(contains(r.err, "protocol violation")) << r.err;
    EXPECT_EQ(r.status, 0);

    r = run({"--no-usb", "--display", "ddc=no,type=Virtual"}, {"--aux-product"});
    EXPECT_TRUE(contains(r.out, "No External Screen connected!\nPlease connect the screen first.\n")) << r.out;
    EXPECT_EQ(r.status, 1);
}

TEST_F(Emulated, OnlyTheImageReachesTheChip) {
    auto bytes = emu::sampleFirmware(0xA3, 128, "ZK6121 Sample v2.00");
    bytes.push_back(0x5A);  // still accepted as 128 KiB
    const std::string path = (dir / "long.bin").string();
    emu::writeBytes(path, bytes);
    const auto r = run({"--product", "0x6221"}, {"-f", path});
    EXPECT_TRUE(contains(r.err, "flash equals the first 131072 bytes of " + path + " (131072 bytes)")) << r.err;
    EXPECT_FALSE(contains(r.err, "protocol violation")) << r.err;
    EXPECT_EQ(r.status, 0);
}

// One display upgrade covers both: a display run costs its 22 s of waits.
TEST_F(Emulated, NameThatIsNotUtf8OnBothRoads) {
    auto bytes = emu::sampleFirmware(0xA3, 64, "ZK6121 Sample v2.00");
    bytes.resize(66000, 0x5A);
    const std::string path = (dir / "lat\xE9in.bin").string();
    emu::writeBytes(path, bytes);
    auto r = run({"--product", "0x6221"}, {"-f", path});
    EXPECT_TRUE(contains(r.out, "\nUpgrade Completed!\n")) << r.out;
    EXPECT_TRUE(contains(r.err, "flash equals the first 65536 bytes of " + path + " (65536 bytes)")) << r.err;
    EXPECT_EQ(r.status, 0);

    r = run({"--no-usb", "--display", "default"}, {"--aux-firmware", path});
    EXPECT_TRUE(contains(r.out, "\nUpgrade Completed!\n")) << r.out;
    EXPECT_TRUE(contains(r.err, "flash equals the first 65536 bytes of " + path + " (65536 bytes)")) << r.err;
    EXPECT_FALSE(contains(r.err, "protocol violation")) << r.err;
    EXPECT_EQ(r.status, 0);
}

TEST_F(Emulated, AuxFirmwareRefusesWhatTheTabRefuses) {
    const std::string path = (dir / "no version.bin").string();
    writeFile(path, firmwareImage(65536, "VRE2", ""));
    const auto r = run({"--no-usb", "--display", "default"}, {"--aux-firmware", path});
    EXPECT_TRUE(contains(r.out, "NoFwVersion\nERROR：Incorrect firmware file imported!\n---")) << r.out;
    EXPECT_FALSE(contains(r.err, "DebugOn")) << r.err;
    EXPECT_EQ(r.status, 1);
}

// Each malformed version reply gives its message, or nothing, and never a crash.
TEST_F(Emulated, MalformedVersionReplies) {
    struct Case {
        std::vector<std::string> options;
        std::string shown;
        int status;
    };
    const std::string replug =
        "Please replug the device again.\nFirmware Version of Product: \n"
        "Please replug the device again.\n";
    const std::vector<Case> cases = {
        {{"--version-reply", "length=0"}, replug, 1},
        {{"--version-reply", "length=1"}, replug, 1},
        {{"--version-reply", "length=2"}, replug, 1},
        {{"--version-reply", "length=200"}, "Firmware Version of Product: \nZK6121 Emulated v1.00\n", 0},
        {{"--version-reply", "nul"}, "Firmware Version of Product: \nZK6121 Emu\n", 0},
        {{"--version-reply", "none"}, "Firmware Version of Product: \n\n", 0},
        {{"--version-text", std::string(40, 'x'), "--fail-step", "getversion:short"},
         "Firmware Version of Product: \n" + std::string(30, 'x') + "\n",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.back());
        const auto r = run(c.options, {"-p"});
        EXPECT_TRUE(contains(r.out, "-----\n" + c.shown + "-----")) << r.out;
        EXPECT_EQ(r.status, c.status);
    }
    // An upgrade stops without a word after the replug notice.
    const auto r = run({"--version-reply", "length=1"}, {"-f", firmware(0xA3)});
    EXPECT_TRUE(contains(r.out, "-----\nPlease replug the device again.\n-----")) << r.out;
    EXPECT_TRUE(contains(r.err, "1 requests (GetVersion 1)")) << r.err;
    EXPECT_EQ(r.status, 1);
}

// A few of the in-process fault sweep's cases through the real programs.
TEST_F(Emulated, FailuresOnBothRoadsThroughTheRealPrograms) {
    auto r = run({"--product", "0x6221", "--fail-step", "ramwrite@35:short"}, {"-f", firmware(0xA3)});
    EXPECT_TRUE(contains(r.out, "USB Upgrade Error: RamWrite\nUpgrade process FAILED.\n")) << r.out;
    EXPECT_TRUE(contains(r.err, "RamWrite 35")) << r.err;  // nothing after it
    EXPECT_FALSE(contains(r.err, "RunCode")) << r.err;
    EXPECT_EQ(r.status, 1);

    r = run({"--no-usb", "--display", "default", "--fail-aux", "reset:bus-error"}, {"--aux-firmware", firmware(0xA3)});
    EXPECT_TRUE(contains(r.out, "Firmware Upgrade Start...\nUpgrade process FAILED.\n")) << r.out;
    EXPECT_TRUE(contains(r.err, "Reset 1")) << r.err;
    EXPECT_FALSE(contains(r.err, "Write")) << r.err;
    EXPECT_EQ(r.status, 1);
}

// One machine with every kind of display the read must sort out: a monitor
// without the chip listed first, the chip, a second card with the same
// connector id, two identical monitors without `ddc` links, a bus with a
// kernel driver on 0x37, and the SMBus.
TEST_F(Emulated, TheReadReachesOnlyTheRightBusesOnce) {
    auto r = run({"--no-usb", "--display", "chip=ddcci", "--display", "version=ZK6221 V3", "--display",
                  "card=1,id=71,version=ZK6121 C1", "--display", "ddc=no,product=5,serial=0", "--display",
                  "ddc=no,product=5,serial=0,bus=20", "--display", "driver=ddcci", "--display", "type=DVI-I,bus=11"},
                 {"--aux-product"});
    EXPECT_TRUE(contains(r.out, "Firmware Version of Product: \nZK6221 V3\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "Hint: the kernel driver ddcci is bound to address 0x37 on i2c-15")) << r.out;
    EXPECT_EQ(r.status, 0);
    for (const char* line : {"bus i2c-0 (SMBus): 0 transfers\n", "bus i2c-15: 0 transfers\n",
                             // Shared with the DVI-I connector, still asked once.
                             "bus i2c-11: 16 transfers (0x37: 16)\n", "bus i2c-12: 16 transfers (0x37: 16)\n",
                             // The twins' buses: only their EDIDs read, no chip query.
                             "bus i2c-13: 2 transfers (0x50: 4)\n", "bus i2c-20: 2 transfers (0x50: 4)\n",
                             "display monitor 1 without the chip: 8 packets (GetVersion 8, VersionRead 8)\n"})
        EXPECT_TRUE(contains(r.err, line)) << line << r.err;

    r = run({"--no-usb", "--display", "node=no"}, {"--aux-product"});
    EXPECT_TRUE(contains(r.out,
                         "No External Screen connected!\nPlease connect the screen first.\n"
                         "Hint: load the i2c-dev kernel module (modprobe i2c-dev) so that displays can be "
                         "reached.\n"))
        << r.out;
    EXPECT_EQ(r.status, 1);
}

// Two cards with equal connector ids, a chip behind each; the first shares
// its bus with a DVI-I connector; a monitor without the chip comes last.
TEST_F(Emulated, EachChipIsUpgradedOnceAndNothingElseIsWritten) {
    const std::string path = firmware(0xA3);
    const auto r = run({"--no-usb", "--fast-waits", "--display", "default", "--display", "card=1,id=70", "--display",
                        "type=DVI-I,bus=10", "--display", "chip=ddcci"},
                       {"--aux-firmware", path});
    EXPECT_TRUE(contains(r.out, "\nUpgrade Completed!\n")) << r.out;
    EXPECT_EQ(r.status, 0);
    for (const char* chip : {"display chip 1 (DP): ", "display chip 2 (DP): "})
        EXPECT_TRUE(contains(r.err, std::string(chip) +
                                        "9015 packets (BeforeUpgrade 20, DebugOn 1, FlashErase 1, "
                                        "FlashWrite 8192, GetVersion 8, RamWrite 512, Reset 1, RunCode 1, "
                                        "SendFlashWriteCRC 256, SendRamWriteCRC 16, VersionRead 8, Write 7)\n"
                                        "quorvel-emulate:   flash equals " +
                                        path + " (65536 bytes)\n"))
            << chip << r.err;
    EXPECT_TRUE(contains(r.err, "display monitor 4 without the chip: 8 packets (GetVersion 8, VersionRead 8)\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "bus i2c-0 (SMBus): 0 transfers\n")) << r.err;
    EXPECT_FALSE(contains(r.err, "protocol violation")) << r.err;
}

// The monitor without the chip comes first, and the chip's connector names
// no bus while its EDID carries an extension block: the chip is found by its
// EDID and written once; the monitor hears only the version query.
TEST_F(Emulated, AChipBehindTheSecondDisplayIsFoundByItsEdidAndWrittenAlone) {
    const std::string path = firmware(0xA3);
    const auto r = run({"--no-usb", "--fast-waits", "--display", "chip=ddcci", "--display", "ddc=no,extensions=1"},
                       {"--aux-firmware", path});
    EXPECT_TRUE(contains(r.out, "\nUpgrade Completed!\n")) << r.out;
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "display monitor 1 without the chip: 8 packets (GetVersion 8, VersionRead 8)\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err,
                         "display chip 2 (DP): 9015 packets (BeforeUpgrade 20, DebugOn 1, FlashErase 1, "
                         "FlashWrite 8192, GetVersion 8, RamWrite 512, Reset 1, RunCode 1, "
                         "SendFlashWriteCRC 256, SendRamWriteCRC 16, VersionRead 8, Write 7)\n"
                         "quorvel-emulate:   flash equals " +
                             path + " (65536 bytes)\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "bus i2c-0 (SMBus): 0 transfers\n")) << r.err;
    EXPECT_FALSE(contains(r.err, "protocol violation")) << r.err;
}

TEST_F(Emulated, ARefusedBusBringsTheUdevHint) {
    const auto r = run({"--no-usb", "--display", "access=denied"}, {"--aux-product"});
    EXPECT_TRUE(contains(r.out,
                         "No External Screen connected!\nPlease connect the screen first.\n"
                         "Hint: no permission to open /dev/i2c-10: install Quorvel's udev rules"))
        << r.out;
    EXPECT_TRUE(contains(r.err, "bus i2c-10: 0 transfers\n")) << r.err;
    EXPECT_EQ(r.status, 1);
}

TEST_F(Emulated, UsageErrorsAndHelp) {
    auto r = runProcess({QUORVEL_EMULATE_PATH, "--fail-step", "bogus", "--", "true"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "unknown request kind 'bogus'")) << r.err;
    r = runProcess({QUORVEL_EMULATE_PATH, "--chip", "0xA3"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "no program to run")) << r.err;
    r = runProcess({QUORVEL_EMULATE_PATH, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "Usage: quorvel-emulate [OPTIONS] -- PROGRAM [ARGS...]"));
    // The child's own status comes back.
    r = runProcess({QUORVEL_EMULATE_PATH, "--no-report", "--", "sh", "-c", "exit 7"});
    EXPECT_EQ(r.status, 7);
}

TEST_F(Emulated, SampleFirmwarePassesTheChecks) {
    const auto path = (dir / "sample.bin").string();
    auto r = runProcess(
        {QUORVEL_EMULATE_PATH, "--make-firmware", path, "--firmware-chip", "0xA8", "--firmware-size", "128"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::filesystem::file_size(path), 131072u);
    r = runProcess({QUORVEL_EMULATE_PATH, "--make-firmware", path, "--firmware-chip", "2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "no chip with identifier 2")) << r.err;
}

}  // namespace
