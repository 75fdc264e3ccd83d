// What the real programs do while a chip is being written, under
// quorvel-emulate: a second program for the same chip is refused and sends
// nothing, another chip is not held back.
#include <gtest/gtest.h>

#include <regex>

#include "emu/SampleFiles.h"
#include "support/Process.h"
#include "support/TestSupport.h"

using namespace quorvel;
using namespace quorvel::test;

namespace {

const std::string kInUse = "ERROR：The device is in use by another program!\n";

size_t occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class FlashGuard : public testing::Test {
protected:
    TempDir dir;
    std::string fw = [this] {
        const auto path = dir / "fw.bin";
        emu::writeBytes(path, emu::sampleFirmware(0xA3, 64, "ZK6121 Sample v2.00"));
        return path.string();
    }();

    ProcessResult emulate(const std::vector<std::string>& args, const StdoutWatch& watch = {}) {
        std::vector<std::string> argv = {QUORVEL_EMULATE_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        auto result = runProcess(argv,
                                 {{"XDG_CONFIG_HOME", (dir / "config").string()}, {"QT_QPA_PLATFORM", "offscreen"}},
                                 std::chrono::seconds(150), watch);
        EXPECT_FALSE(result.timedOut) << result.out << result.err;
        return result;
    }

    // One whole upgrade of the USB chip and nothing else, written as the file.
    void expectOneUpgrade(const ProcessResult& r) {
        EXPECT_TRUE(contains(r.err, "9832 requests (FlashErase 1, FlashWrite 8192, GetVersion 1, RamWrite 1366, "
                                    "Read 3, Reset 2, RunCode 1, StatusRead 256, Write 10)"))
            << r.err;
        EXPECT_TRUE(contains(r.err, "flash equals " + fw + " (65536 bytes)")) << r.err;
        EXPECT_FALSE(contains(r.err, "protocol violation")) << r.err;
    }
};

TEST_F(FlashGuard, ASecondCommandForTheChipDuringItsFlashPhaseIsRefused) {
    // Started once 20 of the 256 pages are written.
    const std::vector<std::vector<std::string>> seconds = {{"-f", fw}, {"-p"}, {"--product"}};
    for (const auto& second : seconds) {
        std::vector<std::string> args = {"--also-after", "page:20", "--", QUORVEL_CLI_PATH, "-f", fw, "--",
                                         QUORVEL_CLI_PATH};
        args.insert(args.end(), second.begin(), second.end());
        const auto r = emulate(args);
        EXPECT_EQ(occurrences(r.out, kInUse), 1u) << second[0] << r.out;
        EXPECT_EQ(occurrences(r.out, "\nUpgrade Completed!\n"), 1u) << second[0] << r.out;
        expectOneUpgrade(r);
        EXPECT_TRUE(contains(r.err, "QuorvelCLI ended with exit status 0\nquorvel-emulate: QuorvelCLI ended with "
                                    "exit status 1\n"))
            << r.err;
        EXPECT_EQ(r.status, 0);
        if (second[0] == "-p") break;  // --product is the same command; one run of it is enough
    }
}

TEST_F(FlashGuard, TheWindowLeavesAChipAloneThatTheCommandLineIsWriting) {
    // The window reads a chip's version when it appears; not this one.
    const auto r = emulate({"--also-after", "page:20", "--", QUORVEL_CLI_PATH, "-f", fw, "--", "timeout", "-s",
                            "TERM", "4", QUORVEL_APP_PATH});
    EXPECT_EQ(occurrences(r.out, "\nUpgrade Completed!\n"), 1u) << r.out;
    expectOneUpgrade(r);
    EXPECT_TRUE(contains(r.err, "timeout ended with exit status 124")) << r.err;  // it ran until stopped
    EXPECT_EQ(r.status, 0);
}

TEST_F(FlashGuard, TwoChipsAreUpgradedAtOnceByTwoPrograms) {
    // The display chip's upgrade starts while the USB chip's flash is written.
    const auto r = emulate({"--display", "default", "--also-after", "page:10", "--", QUORVEL_CLI_PATH, "-f", fw,
                            "--", QUORVEL_CLI_PATH, "--aux-firmware", fw});
    EXPECT_EQ(occurrences(r.out, "\nUpgrade Completed!\n"), 2u) << r.out;
    EXPECT_FALSE(contains(r.out, kInUse)) << r.out;
    expectOneUpgrade(r);
    EXPECT_EQ(occurrences(r.err, "flash equals " + fw + " (65536 bytes)"), 2u) << r.err;
    EXPECT_EQ(occurrences(r.err, "QuorvelCLI ended with exit status 0"), 2u) << r.err;
    EXPECT_EQ(r.status, 0);
}

TEST_F(FlashGuard, TheDisplayChipIsHeldByItsBus) {
    // Three seconds in, the first upgrade is in its waits after the chip's
    // debug mode: the read would break into it.
    const auto r = emulate({"--no-usb", "--display", "default", "--also-after", "3000", "--", QUORVEL_CLI_PATH,
                            "--aux-firmware", fw, "--", QUORVEL_CLI_PATH, "--aux-product"});
    EXPECT_EQ(occurrences(r.out, kInUse), 1u) << r.out;
    EXPECT_EQ(occurrences(r.out, "\nUpgrade Completed!\n"), 1u) << r.out;
    EXPECT_TRUE(contains(r.err, "flash equals " + fw + " (65536 bytes)")) << r.err;
    EXPECT_FALSE(contains(r.err, "protocol violation")) << r.err;
    EXPECT_TRUE(contains(r.err, "QuorvelCLI ended with exit status 0\nquorvel-emulate: QuorvelCLI ended with "
                                "exit status 1\n"))
        << r.err;
}

}  // namespace
