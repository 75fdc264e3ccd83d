// The --device selector: which locations and connectors each form names.
#include <gtest/gtest.h>

#include "cli/DeviceSelector.h"
#include "cli/Operations.h"

using namespace quorvel;

namespace {

struct SelectorCase {
    std::string text;
    USBLocation location;
    bool usb;
};

TEST(DeviceSelector, NamesExactlyOneLocation) {
    const USBLocation hub{1, {3, 2}, 7};
    const std::vector<SelectorCase> cases = {
        {"1-3.2", hub, true},       {"1:7", hub, true},     {"1-3", hub, false},  // the hub, not the chip
        {"1-3.2.1", hub, false},    {"2-3.2", hub, false},  {"1:8", hub, false},
        {"1-3.2.", hub, false},     {"1-", hub, false},     {"1-0", {1, {0}, 7}, false},
        {"1:7x", hub, false},       {"-1-3.2", hub, false}, {"1-256", {1, {0}, 7}, false},
        {"card0-DP-1", hub, false}, {"", hub, false},
    };
    for (const auto& c : cases) EXPECT_EQ(DeviceSelector(c.text).matches(c.location), c.usb) << c.text;
}

TEST(DeviceSelector, ConnectorsMatchByWholeName) {
    EXPECT_TRUE(DeviceSelector("card0-DP-1").matchesConnector("card0-DP-1"));
    EXPECT_FALSE(DeviceSelector("card0-DP-1").matchesConnector("card0-DP-10"));
    EXPECT_FALSE(DeviceSelector("card0-DP").matchesConnector("card0-DP-1"));
    EXPECT_FALSE(DeviceSelector("1-2").matchesConnector("1-2"));  // a USB form never names a display
}

TEST(DeviceSelector, OptionsAreTakenWhereverTheyStand) {
    struct Case {
        std::vector<std::string> in, out;
        std::optional<std::string> device;
        bool json, sound;
    };
    const std::vector<Case> cases = {
        {{"cli", "-f", "a.bin", "--device", "1-2"}, {"cli", "-f", "a.bin"}, "1-2", false, true},
        {{"cli", "--DEVICE", "1-2", "--json", "-p"}, {"cli", "-p"}, "1-2", true, true},
        {{"cli", "-p", "--device"}, {}, std::nullopt, false, false},
        {{"cli", "--version", "extra"}, {"cli", "--version", "extra"}, std::nullopt, false, true},
    };
    for (const auto& c : cases) {
        auto args = c.in;
        OperationOptions options;
        EXPECT_EQ(takeOperationOptions(args, options), c.sound);
        if (!c.sound) continue;
        EXPECT_EQ(args, c.out);
        EXPECT_EQ(options.json, c.json);
        EXPECT_EQ(options.device ? std::optional(options.device->text()) : std::nullopt, c.device);
    }
}

TEST(DeviceSelector, VersionTextsAreQuotedPrintably) {
    EXPECT_EQ(quotedText("ZK6121 v1"), "\"ZK6121 v1\"");
    EXPECT_EQ(quotedText("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quotedText(std::string("x\x1b[2J\ny", 7)), "\"x\\x1b[2J\\x0ay\"");
}

}  // namespace
