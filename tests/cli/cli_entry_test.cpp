// The command line's output for each option, compared byte for byte with
// its golden transcript, exit status included.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "support/Process.h"

using quorvel::test::runProcess;

namespace {

std::string golden(const std::string& name) {
    std::ifstream in(std::string(QUORVEL_GOLDEN_DIR) + "/" + name + ".txt", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct EntryCase {
    std::vector<std::string> args;
    std::string transcript;
    int status = 0;
};

class CliEntry : public testing::TestWithParam<EntryCase> {};

TEST_P(CliEntry, PrintsItsTranscriptAndSucceeds) {
    // Under an empty umockdev testbed: no USB device, no DRM connector and
    // no I2C bus of the machine running the tests is ever reached.
    std::vector<std::string> argv = {QUORVEL_EMULATE_PATH, "--no-usb", "--no-report", "--", QUORVEL_CLI_PATH};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    const auto result = runProcess(argv, {}, std::chrono::seconds(20));
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.out, golden(GetParam().transcript));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Options, CliEntry,
    testing::Values(EntryCase{{}, "no-argument"}, EntryCase{{"--bogus"}, "no-argument"},
                    EntryCase{{"help"}, "no-argument"}, EntryCase{{""}, "no-argument"}, EntryCase{{"--help"}, "help"},
                    EntryCase{{"-h"}, "help"}, EntryCase{{"--HeLp", "more"}, "help"},
                    EntryCase{{"--version"}, "version"}, EntryCase{{"-V"}, "version"},
                    EntryCase{{"--version", "extra"}, "version"}, EntryCase{{"--firmware"}, "firmware-usage"},
                    EntryCase{{"-F"}, "firmware-usage"}, EntryCase{{"-f", "a.bin", "b.bin"}, "firmware-usage"},
                    // No chip on the empty testbed's USB bus.
                    EntryCase{{"--product"}, "no-device", 1}, EntryCase{{"-F", "/nonexistent/fw.bin"}, "no-device", 1},
                    EntryCase{{"--aux-firmware"}, "aux-firmware-usage"},
                    EntryCase{{"--AUX-firmware", "a.bin", "b.bin"}, "aux-firmware-usage"},
                    // Nor a screen with a chip behind it.
                    EntryCase{{"--aux-product"}, "no-screen", 1},
                    EntryCase{{"--aux-firmware", "/nonexistent/fw.bin"}, "no-screen", 1}),
    [](const testing::TestParamInfo<EntryCase>& info) {
        std::string name = std::to_string(info.index) + "_" + info.param.transcript;
        for (char& c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

}  // namespace
