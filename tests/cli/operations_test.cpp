// The command line's own operations through the real binaries: QuorvelCLI
// under quorvel-emulate, with real libusb, i2c-dev and DRM sysfs code.
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "emu/SampleFiles.h"
#include "support/Process.h"
#include "support/SystemBus.h"
#include "support/TestSupport.h"

using namespace quorvel;
using namespace quorvel::test;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

// Every line of standard output must be one JSON object.
std::vector<QJsonObject> events(const std::string& out) {
    std::vector<QJsonObject> objects;
    for (const auto& line : linesOf(out)) {
        QJsonParseError error{};
        const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << "not JSON: " << line;
        EXPECT_TRUE(doc.isObject()) << line;
        objects.push_back(doc.object());
    }
    return objects;
}

std::string text(const QJsonObject& o, const char* key) { return o.value(key).toString().toStdString(); }

class Operations : public testing::Test {
protected:
    TempDir dir;

    ProcessResult emulate(const std::vector<std::string>& options, const std::vector<std::string>& program,
                          std::map<std::string, std::string> env = {}) {
        std::vector<std::string> argv = {QUORVEL_EMULATE_PATH};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("--");
        argv.insert(argv.end(), program.begin(), program.end());
        env["XDG_CONFIG_HOME"] = (dir / "config").string();
        auto result = runProcess(argv, env, std::chrono::seconds(120));
        EXPECT_FALSE(result.timedOut) << result.out << result.err;
        return result;
    }

    ProcessResult cli(const std::vector<std::string>& options, std::vector<std::string> args,
                      std::map<std::string, std::string> env = {}) {
        args.insert(args.begin(), QUORVEL_CLI_PATH);
        return emulate(options, args, std::move(env));
    }

    std::string firmware(const std::string& name, const std::string& version = "ZK6121 Sample v2.00") {
        const auto path = dir / name;
        emu::writeBytes(path, emu::sampleFirmware(0xA3, 64, version));
        return path.string();
    }
};

// Two USB chips given out of order, a third on another bus, two displays
// of which one has no chip: sorted by bus and port path, then displays.
TEST_F(Operations, ListShowsEveryChipOnceInAStableOrder) {
    const std::vector<std::string> setup = {"--usb",     "bus=2,port=1,product=0x6221,version=ZK6221 Bus Two",
                                            "--usb",     "port=3,version=ZK6121 Third \"port\"",
                                            "--usb",     "port=1.4,product=0x6120,chip=0x01,version=ZK6120 Behind Hub",
                                            "--display", "type=DP,name=Lab Left,version=ZK6121 AUX v3",
                                            "--display", "type=HDMI-A,name=Plain,chip=none"};
    const auto r = cli(setup, {"--list"});
    EXPECT_EQ(r.out,
              "usb 1-1.4 ZK6120 7e51:6120 chip 0x01 \"ZK6120 Behind Hub\"\n"
              "usb 1-3 ZK6121 7e51:6121 chip 0xA3 \"ZK6121 Third \\\"port\\\"\"\n"
              "usb 2-1 ZK6221 7e51:6221 chip 0xA3 \"ZK6221 Bus Two\"\n"
              "aux card0-DP-1 \"Lab Left\" /dev/i2c-10 \"ZK6121 AUX v3\"\n"
              "aux card0-HDMI-A-2 \"Plain\" /dev/i2c-11 no answer\n");
    EXPECT_EQ(r.status, 0);
    // One version query per chip, nothing that changes a chip.
    for (int chip = 1; chip <= 3; ++chip)
        EXPECT_TRUE(contains(r.err, "USB chip " + std::to_string(chip)) && contains(r.err, "GetVersion 1, Read "))
            << r.err;
    EXPECT_FALSE(contains(r.err, "GetVersion 2")) << r.err;
    EXPECT_FALSE(contains(r.err, "Write")) << r.err;
}

TEST_F(Operations, ListShowsASilentChipAndFailsWithoutAny) {
    const auto silent = cli({"--usb", "port=2", "--fail-step", "getversion:stall"}, {"--list"});
    EXPECT_EQ(silent.out, "usb 1-2 ZK6121 7e51:6121 chip ? no answer\n");
    EXPECT_EQ(silent.status, 0);

    const auto none = cli({"--no-usb"}, {"--list"});
    EXPECT_EQ(none.out, "No device is connected!\n");
    EXPECT_EQ(none.status, 1);
}

// A chip another program holds is listed without being asked anything.
TEST_F(Operations, ListLeavesAHeldChipAlone) {
    const auto r = emulate({"--usb", "port=1", "--usb", "port=2"},
                           {"flock", "--nonblock", "/dev/bus/usb/001/002", QUORVEL_CLI_PATH, "--list"});
    EXPECT_EQ(r.out,
              "usb 1-1 ZK6121 7e51:6121 chip ? in use\n"
              "usb 1-2 ZK6121 7e51:6121 chip 0xA3 \"ZK6121 Emulated v1.00\"\n");
    EXPECT_TRUE(contains(r.err, "USB chip 1 at 1-1 (7e51:6121, chip 0xA3): 0 requests")) << r.err;
}

// The first chip must not be opened, asked or written: no URB at all.
TEST_F(Operations, DeviceChoosesOneUsbChipAndLeavesTheOthersAlone) {
    const std::string path = firmware("second.bin");
    const std::vector<std::string> setup = {"--usb", "port=1", "--usb", "port=2,product=0x6221,expect=" + path};
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-f", path, "--device", "1-2"}, {"--device", "1:3", "-f", path}}) {
        const auto r = cli(setup, args);
        EXPECT_TRUE(contains(r.out, "\nUpgrade Completed!\n")) << r.out;
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(contains(r.err, "USB chip 1 at 1-1 (7e51:6121, chip 0xA3): 0 requests, 0 control URBs")) << r.err;
        EXPECT_TRUE(contains(r.err, "flash equals " + path)) << r.err;
        EXPECT_FALSE(contains(r.err, "choose one with --device")) << r.err;
    }
}

TEST_F(Operations, WithoutDeviceSeveralChipsAreNamedOnStandardError) {
    const auto r = cli({"--usb", "port=1", "--usb", "port=2"}, {"-p"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "the first of 2 connected devices; choose one with --device")) << r.err;
    EXPECT_EQ(r.out.find("Using usb"), std::string::npos);  // standard output stays the original's

    // The display road uses every display; the line says which.
    const auto aux = cli({"--no-usb", "--display", "default", "--display", "type=HDMI-A,chip=none"}, {"--aux-product"});
    EXPECT_EQ(aux.status, 0);
    EXPECT_TRUE(
        contains(aux.err, "Every external display is used (card0-DP-1, card0-HDMI-A-2); choose one with --device"))
        << aux.err;
    EXPECT_FALSE(contains(aux.out, "Every external display")) << aux.out;
}

// Two connectors on one bus lead to one chip: a script that flashes each
// listed display must not flash it twice, so it is listed, and asked, once.
TEST_F(Operations, ListAsksASharedBusOnce) {
    const auto r = cli({"--no-usb", "--display", "default", "--display", "type=DVI-I,bus=10"}, {"--list"});
    ASSERT_EQ(linesOf(r.out).size(), 1u) << r.out;
    EXPECT_TRUE(contains(r.out, "aux card0-DP-1 ")) << r.out;
    EXPECT_TRUE(contains(r.err, "display chip 1 (DP): 8 packets (GetVersion 8, VersionRead 8)")) << r.err;
    EXPECT_EQ(r.status, 0);
}

TEST_F(Operations, DeviceChoosesOneDisplay) {
    const std::string path = firmware("aux.bin");
    const std::vector<std::string> setup = {"--no-usb", "--display", "type=DP,version=ZK6121 Left", "--display",
                                            "type=HDMI-A,version=ZK6121 Right"};
    const auto read = cli(setup, {"--aux-product", "--device", "card0-HDMI-A-2"});
    EXPECT_TRUE(contains(read.out, "Firmware Version of Product: \nZK6121 Right\n")) << read.out;
    EXPECT_TRUE(contains(read.err, "display chip 1 (DP): 0 packets")) << read.err;

    const auto upgrade = cli(setup, {"--device", "card0-HDMI-A-2", "--aux-firmware", path});
    EXPECT_TRUE(contains(upgrade.out, "\nUpgrade Completed!\n")) << upgrade.out;
    EXPECT_EQ(upgrade.status, 0);
    EXPECT_TRUE(contains(upgrade.err, "display chip 1 (DP): 0 packets")) << upgrade.err;
    EXPECT_TRUE(contains(upgrade.err, "flash equals " + path)) << upgrade.err;
}

TEST_F(Operations, ASelectorThatMatchesNothingTouchesNothing) {
    const std::vector<std::string> setup = {"--usb", "port=1", "--display", "default"};
    const std::string path = firmware("fw.bin");
    struct Case {
        std::vector<std::string> args;
        std::string selector;
    };
    for (const Case& c : {Case{{"-p", "--device", "1-2"}, "1-2"}, Case{{"--device", "1-1.1", "-f", path}, "1-1.1"},
                          Case{{"-p", "--device", "card0-DP-1"}, "card0-DP-1"},  // a display, not a USB chip
                          Case{{"--aux-product", "--device", "1-1"}, "1-1"},
                          Case{{"--aux-firmware", path, "--device", "card0-DP-2"}, "card0-DP-2"},
                          Case{{"--list", "--device", "2:2"}, "2:2"}}) {
        const auto r = cli(setup, c.args);
        EXPECT_TRUE(contains(r.out, "ERROR：No device matches " + c.selector + ".\n")) << r.out;
        EXPECT_EQ(r.status, 1) << c.selector;
        EXPECT_TRUE(contains(r.err, "0 requests, 0 control URBs")) << r.err;
        EXPECT_TRUE(contains(r.err, "display chip 1 (DP): 0 packets")) << r.err;
    }
}

// Every command's output parses line by line; the result comes last with
// the original's text; progress runs through both phases.
TEST_F(Operations, JsonForEachCommand) {
    const std::string path = firmware("fw.bin");
    // 64-byte packets (product 0x6221) keep the upgrades short.
    const std::vector<std::string> usb = {"--usb", "port=1,product=0x6221,version=ZK6121 Json"};
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> args;
        bool ok;
        std::string message;
        size_t devices;  // device events
    };
    const std::vector<Case> cases = {
        {usb, {"--json", "-p"}, true, "ZK6121 Json", 1},
        {usb,
         {"-f", path, "--json"},
         true,
         "Please unplug and replug the device for checking the firmware version.",
         1},
        {{"--no-usb", "--display", "version=ZK6121 Aux"}, {"--json", "--aux-product"}, true, "ZK6121 Aux", 1},
        {{"--no-usb", "--display", "default"},
         {"--json", "--aux-firmware", path},
         true,
         "Please unplug and replug the device for checking the firmware version.",
         1},
        {{"--usb", "port=1", "--usb", "port=2", "--display", "default"}, {"--list", "--json"}, true, "3 devices", 3},
        {{"--no-usb"}, {"--json", "-p"}, false, "No device is connected!\nPlease connect the device first.", 0},
        {{"--usb", "port=1,product=0x6221", "--fail-page", "3"},
         {"--json", "-f", path},
         false,
         "Upgrade process FAILED.\nPlease replug the device and try again!",
         1},
        {usb, {"--json", "-f", (dir / "missing.bin").string()}, false, "Incorrect firmware file path imported!", 1},
        {usb, {"--json", "-p", "--device", "2-1"}, false, "ERROR：No device matches 2-1.", 0},
        {{"--no-usb", "--display", "default"},
         {"--json", "--aux-firmware", path, "--device", "card9-DP-1"},
         false,
         "ERROR：No device matches card9-DP-1.",
         0},
    };
    for (const Case& c : cases) {
        const auto r = cli(c.options, c.args);
        SCOPED_TRACE(c.args.back());
        const auto objects = events(r.out);
        ASSERT_FALSE(objects.empty()) << r.err;
        const QJsonObject& last = objects.back();
        EXPECT_EQ(text(last, "event"), "result");
        EXPECT_EQ(last.value("ok").toBool(), c.ok);
        EXPECT_EQ(text(last, "message"), c.message);
        EXPECT_EQ(r.status, c.ok ? 0 : 1);
        size_t devices = 0;
        std::vector<std::pair<std::string, int>> progress;
        for (size_t i = 0; i + 1 < objects.size(); ++i) {
            const std::string event = text(objects[i], "event");
            if (event == "device") ++devices;
            else if (event == "progress")
                progress.emplace_back(text(objects[i], "phase"), objects[i].value("percent").toInt());
            else ADD_FAILURE() << "unexpected event " << event;
        }
        EXPECT_EQ(devices, c.devices);
        if (c.ok && contains(c.message, "unplug")) {
            // Milestones in order: the loader's up to 100, then the firmware's.
            ASSERT_GE(progress.size(), 4u);
            EXPECT_EQ(progress.front().first, "loader");
            EXPECT_EQ(progress.back(), std::make_pair(std::string("firmware"), 100));
            for (size_t i = 1; i < progress.size(); ++i) {
                if (progress[i].first == progress[i - 1].first) {
                    EXPECT_GT(progress[i].second, progress[i - 1].second);
                }
            }
        }
        // The text lines went to standard error, the banner included.
        EXPECT_TRUE(contains(r.err, "Quorvel(CLI)") || contains(c.args.front() + c.args.back(), "--list")) << r.err;
    }
}

TEST_F(Operations, JsonListCarriesEachChipsAnswer) {
    const auto r = cli({"--usb", "port=4,version=ZK6121 One", "--display", "type=HDMI-A,chip=none,name=Plain"},
                       {"--list", "--json"});
    const auto objects = events(r.out);
    ASSERT_EQ(objects.size(), 3u) << r.out;
    EXPECT_EQ(text(objects[0], "location"), "1-4");
    EXPECT_EQ(text(objects[0], "version"), "ZK6121 One");
    EXPECT_EQ(text(objects[0], "chip"), "0xA3");
    EXPECT_TRUE(objects[0].value("answered").toBool());
    EXPECT_EQ(text(objects[1], "connector"), "card0-HDMI-A-1");
    EXPECT_EQ(text(objects[1], "bus"), "/dev/i2c-10");
    EXPECT_FALSE(objects[1].value("answered").toBool());
    EXPECT_FALSE(objects[1].contains("version"));
}

class Diagnosis : public Operations {
protected:
    std::map<std::string, std::string> rules() {
        std::filesystem::create_directories(dir / "rules.d");
        std::filesystem::copy_file(QUORVEL_UDEV_RULES, dir / "rules.d" / "70-quorvel.rules",
                                   std::filesystem::copy_options::overwrite_existing);
        return {{"QUORVEL_UDEV_RULES_PATH", (dir / "rules.d").string()}};
    }

    static std::vector<std::string> failing(const std::string& out) {
        std::vector<std::string> lines;
        for (const auto& l : linesOf(out))
            if (l.rfind("FAIL ", 0) == 0) lines.push_back(l);
        return lines;
    }
};

TEST_F(Diagnosis, TheEmulatedSetUpPasses) {
    const auto r = cli({"--display", "default"}, {"--diagnose"}, rules());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(failing(r.out).empty()) << r.out;
    for (const char* line :
         {"OK   udev rules installed: ", "OK   USB chip /dev/bus/usb/001/002 can be opened read-write",
          "OK   i2c-dev is loaded", "OK   card0-DP-1: /dev/i2c-10 can be opened read-write",
          "OK   card0-DP-1: no kernel driver holds address 0x37 of i2c-10", "ISP_USB/ISP_USB_VB.bin\n",
          "OK   data folder "})
        EXPECT_TRUE(contains(r.out, line)) << line << "\n" << r.out;
    // No chip is asked anything.
    EXPECT_TRUE(contains(r.err, "0 requests, 0 control URBs")) << r.err;
    EXPECT_TRUE(contains(r.err, "display chip 1 (DP): 0 packets")) << r.err;
}

// Each check as an event, the result last; a failure makes it a failed one.
TEST_F(Diagnosis, JsonGivesOneEventPerCheck) {
    const auto empty = dir / "empty";
    std::filesystem::create_directories(empty);
    for (const bool loaders : {true, false}) {
        const auto r = loaders ? cli({"--no-usb"}, {"--json", "--diagnose"}, rules())
                               : cli({"--no-usb", "--data-dir", empty.string()}, {"--diagnose", "--json"}, rules());
        const auto objects = events(r.out);
        ASSERT_GT(objects.size(), 5u) << r.out;
        size_t failed = 0;
        for (size_t i = 0; i + 1 < objects.size(); ++i) {
            EXPECT_EQ(text(objects[i], "event"), "check");
            const std::string level = text(objects[i], "level");
            EXPECT_TRUE(level == "OK" || level == "WARN" || level == "FAIL") << level;
            EXPECT_FALSE(text(objects[i], "what").empty());
            EXPECT_EQ(objects[i].contains("fix"), level != "OK") << text(objects[i], "what");
            failed += level == "FAIL";
        }
        EXPECT_EQ(failed, loaders ? 0u : 5u) << r.out;
        EXPECT_EQ(text(objects.back(), "event"), "result");
        EXPECT_EQ(objects.back().value("ok").toBool(), loaders);
        EXPECT_EQ(text(objects.back(), "message"), loaders ? "No check failed." : "Some checks failed.");
        EXPECT_EQ(r.status, loaders ? 0 : 1);
    }
}

TEST_F(Diagnosis, LogindIsAskedForTheUpgradesOwnInhibitor) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "Qt D-Bus's uninstrumented connection thread stalls under TSan; checked in the other builds";
#endif
    auto env = rules();
    {
        PrivateSystemBus bus(dir.path());
        env["DBUS_SYSTEM_BUS_ADDRESS"] = bus.address();
        const auto r = cli({"--no-usb"}, {"--diagnose"}, env);
        EXPECT_TRUE(contains(r.out, "OK   logind grants the inhibitor an upgrade takes against sleep and shutdown\n"))
            << r.out;
        EXPECT_TRUE(contains(bus.mockLog(), "Inhibit \"shutdown:sleep:idle:")) << bus.mockLog();
        EXPECT_FALSE(contains(bus.listInhibitors(), "Quorvel"));  // dropped at once
    }
    // A bus without logind: a warning, not a failure.
    PrivateSystemBus bare(dir.path(), false);
    env["DBUS_SYSTEM_BUS_ADDRESS"] = bare.address();
    const auto r = cli({"--no-usb"}, {"--diagnose"}, env);
    EXPECT_TRUE(contains(r.out, "WARN logind does not grant the inhibitor against sleep and shutdown (")) << r.out;
    EXPECT_EQ(r.status, 0);
}

TEST_F(Diagnosis, WorksWithoutAnyChip) {
    const auto r = cli({"--no-usb"}, {"--diagnose"}, rules());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "OK   USB chips: none attached\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "OK   display buses: no external display connected\n")) << r.out;
}

TEST_F(Diagnosis, BrokenLoadersFailEachWithItsReason) {
    const auto data = dir / "data";
    emu::writeSampleLoaders(data);
    auto shortened = emu::sampleLoader("UsbFlS");
    shortened.pop_back();
    emu::writeBytes(data / "ISP_USB" / "ISP_USB_SK.bin", shortened);
    emu::writeBytes(data / "ISP_USB" / "ISP_USB_TS.bin", emu::sampleLoader("UsbFlV"));  // another family's
    auto unsigned_ = emu::sampleLoader("UsbFlV");
    unsigned_[4088] = 'X';
    emu::writeBytes(data / "ISP_USB" / "ISP_USB_VB.bin", unsigned_);
    std::filesystem::remove(data / "ISP_AUX" / "ISP_AUX.bin");

    const auto r = cli({"--data-dir", data.string()}, {"--diagnose"}, rules());
    EXPECT_EQ(r.status, 1);
    const auto fails = failing(r.out);
    ASSERT_EQ(fails.size(), 4u) << r.out;
    EXPECT_TRUE(contains(fails[0], "ISP_USB_TS.bin carries the chip name UsbFlV, not UsbFlT")) << fails[0];
    EXPECT_TRUE(contains(fails[1], "ISP_USB_SK.bin is 4095 bytes, not 4096")) << fails[1];
    EXPECT_TRUE(contains(fails[2], "ISP_USB_VB.bin does not end in \"eISP\"")) << fails[2];
    EXPECT_TRUE(contains(fails[3], "ISP_AUX.bin is missing")) << fails[3];
    EXPECT_TRUE(contains(r.out, "OK   loader " + (data / "ISP_USB" / "ISP_USB_TS2.bin").string())) << r.out;
}

TEST_F(Diagnosis, MissingPiecesFail) {
    const auto empty = dir / "empty";
    std::filesystem::create_directories(empty);
    const auto noLoaders = cli({"--data-dir", empty.string()}, {"--diagnose"}, rules());
    EXPECT_EQ(noLoaders.status, 1);
    EXPECT_EQ(failing(noLoaders.out).size(), 5u) << noLoaders.out;

    const auto noI2c = cli({"--no-i2c-dev", "--display", "default"}, {"--diagnose"}, rules());
    EXPECT_EQ(noI2c.status, 1);
    EXPECT_TRUE(contains(noI2c.out, "FAIL i2c-dev is not loaded")) << noI2c.out;
    EXPECT_TRUE(contains(noI2c.out, "FAIL card0-DP-1: /dev/i2c-900 does not exist")) << noI2c.out;

    const auto noRules = cli({"--no-usb"}, {"--diagnose"}, {{"QUORVEL_UDEV_RULES_PATH", (dir / "none").string()}});
    EXPECT_TRUE(contains(noRules.out, "udev rules 70-quorvel.rules not found in " + (dir / "none").string()))
        << noRules.out;
}

// Three processes at once, each on its own chip with its own file.
TEST_F(Operations, ThreeChipsUpgradedSideBySide) {
    std::vector<std::string> setup, files;
    std::string script;
    for (int i = 1; i <= 3; ++i) {
        files.push_back(firmware("fw" + std::to_string(i) + ".bin", "ZK6121 Parallel v" + std::to_string(i)));
        setup.insert(setup.end(), {"--usb", "port=" + std::to_string(i) + ",product=0x6221,expect=" + files.back()});
        script += std::string("\"$0\" --device 1-") + std::to_string(i) + " -f '" + files.back() + "' > '" +
                  (dir / ("out" + std::to_string(i))).string() + "' 2>&1 & p" + std::to_string(i) + "=$!; ";
    }
    // Each process is waited for: one that fails must not end the run (and
    // the emulator) under the others.
    script += "wait $p1; s1=$?; wait $p2; s2=$?; wait $p3; s3=$?; exit $((s1 | s2 | s3))";
    const auto r = emulate(setup, {"/bin/sh", "-c", script, QUORVEL_CLI_PATH});
    EXPECT_EQ(r.status, 0) << r.err;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(contains(r.err, "flash equals " + files[i] + " (65536 bytes)")) << r.err;
        std::ifstream out(dir / ("out" + std::to_string(i + 1)));
        std::stringstream s;
        s << out.rdbuf();
        EXPECT_TRUE(contains(s.str(), "\nUpgrade Completed!\n")) << s.str();
    }
    EXPECT_FALSE(contains(r.err, "protocol violation")) << r.err;
}

}  // namespace
