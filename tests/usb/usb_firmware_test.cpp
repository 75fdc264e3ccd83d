// The USB upgrade sequence against the chip model: RAM-load frames and flash
// packets byte for byte, whole upgrades, pauses, progress lines, and the
// failure of every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>

#include "cli/Milestones.h"
#include "emu/EmulatedControlTransport.h"
#include "emu/UsbChip.h"
#include "model/Alert.h"
#include "model/Log.h"
#include "model/Settings.h"
#include "model/Sleeper.h"
#include "support/Recorders.h"
#include "support/TestSupport.h"
#include "usb/USBAccess.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using emu::ChipState;
using emu::Fault;
using emu::RequestKind;
using emu::UsbChip;
using emu::UsbChipOptions;
using K = RequestKind;

using test::RecordingAlertSink;
using test::RecordingSleeper;
using Alert = test::RecordedAlert;

class UsbUpgrade : public testing::Test {
protected:
    void SetUp() override {
        savedPacketSize_ = maxPktSize.load();
        savedPercent_ = percentCompleted.load();
        previousSleeper_ = setSleeper(sleeper_);
        previousSink_ = setAlertSink(alerts_);
    }
    void TearDown() override {
        setSleeper(previousSleeper_);
        setAlertSink(previousSink_);
        maxPktSize = savedPacketSize_;
        percentCompleted = savedPercent_;
    }

    USBAccess connect(UsbChipOptions options) {
        // The chip's clock is moved on by the pauses only; each pause notes
        // how many requests the chip had seen when it began.
        options.clock = [this] { return sleeper_->elapsed(); };
        chip_ = std::make_shared<UsbChip>(std::move(options));
        sleeper_->probe = [chip = chip_] { return static_cast<int64_t>(chip->requestCount()); };
        return USBAccess(emu::makeEmulatedDevice(chip_));
    }

    // Debug mode, prepared registers, a small loader running, flash erased.
    void bringToErased(USBAccess& usb) {
        usb.DebugOn();
        for (uint32_t r : {0x80AD, 0x80C0, 0x80C9, 0x80D1, 0x80D9, 0x80E1, 0x80E9}) usb.Write(r, 0);
        usb.RamWrite(0x2000, Bytes{1, 2, 3});
        usb.RunCode(0x2000);
        usb.FlashErease();
        ASSERT_EQ(chip_->state(), ChipState::Erased);
        chip_->clearTranscript();
    }

    // The milestone lines as the programs print them, on standard output.
    ProgressObserver printed() { return lines_.observer(); }

    std::shared_ptr<RecordingSleeper> sleeper_ = std::make_shared<RecordingSleeper>();
    std::shared_ptr<RecordingAlertSink> alerts_ = std::make_shared<RecordingAlertSink>();
    std::shared_ptr<UsbChip> chip_;

private:
    MilestoneLines lines_{MilestoneRule::leaving, [](const std::string& line) { writeLine(line); }};
    int64_t savedPacketSize_ = 0;
    int64_t savedPercent_ = 0;
    std::shared_ptr<Sleeper> previousSleeper_;
    std::shared_ptr<AlertSink> previousSink_;
};

Bytes pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 13 + seed + (i >> 8));
    return b;
}

std::vector<K> kindsOf(const std::vector<emu::RequestRecord>& transcript) {
    std::vector<K> kinds;
    for (const auto& r : transcript) kinds.push_back(r.kind);
    return kinds;
}

TEST_F(UsbUpgrade, TenByteLoaderGoesOutInThreeByteFrames) {
    USBAccess usb = connect({.chipId = 0x03});
    usb.DebugOn();
    chip_->clearTranscript();
    maxPktSize = 8;
    const Bytes loader{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9};
    EXPECT_EQ(test::capturedStdout([&] { usb.RamWrite(0x2000, loader, printed()); }), "89%...\n100%...\n");

    const auto t = chip_->transcript();
    ASSERT_EQ(t.size(), 4u);
    const Bytes frames[] = {
        {0x08, 0x13, 0x20, 0x00, 0xA0, 0xA1, 0xA2, 0xE2},
        {0x08, 0x13, 0x20, 0x03, 0xA3, 0xA4, 0xA5, 0xD6},
        {0x08, 0x13, 0x20, 0x06, 0xA6, 0xA7, 0xA8, 0xCA},
        {0x06, 0x13, 0x20, 0x09, 0xA9, 0x15},
    };
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(t[i].setup, (ControlSetup{0x41, 0x13, 0, 0, static_cast<uint16_t>(frames[i].size())}));
        EXPECT_EQ(t[i].out, frames[i]);
    }
    EXPECT_EQ(chip_->loadedImage(), loader);
    EXPECT_EQ(percentCompleted, 100);
}

TEST_F(UsbUpgrade, ThreeHundredByteFirmwareGoesOutInPagesOfFourPackets) {
    USBAccess usb = connect({.chipId = 0x03});
    maxPktSize = 64;
    bringToErased(usb);
    const Bytes firmware = pattern(300, 1);
    EXPECT_EQ(test::capturedStdout([&] { usb.FlashWrite(firmware, printed()); }), "100%...\n");

    const auto t = chip_->transcript();
    const ControlSetup status{0xC1, 0x06, 0x860C, 0xFFFF, 11};
    const std::vector<ControlSetup> expected = {
        {0x41, 0x10, 0x0000, 0, 64},
        {0x41, 0x10, 0x0000, 64, 64},
        {0x41, 0x10, 0x0000, 128, 64},
        {0x41, 0x10, 0x0100, 192, 64},
        status,
        {0x41, 0x10, 0x0000, 256, 44},
        status,
    };
    ASSERT_EQ(t.size(), expected.size());
    for (size_t i = 0; i < t.size(); ++i) EXPECT_EQ(t[i].setup, expected[i]) << "request " << i;
    EXPECT_EQ(t[3].out, Bytes(firmware.begin() + 192, firmware.begin() + 256));
    EXPECT_EQ(t[5].out, Bytes(firmware.begin() + 256, firmware.end()));
    EXPECT_EQ(t[4].in, Bytes{1});  // the status register answers one byte
    const Bytes flash = chip_->flash();
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 300), firmware);
    EXPECT_EQ(chip_->pageStatuses(), (Bytes{1, 1}));
    EXPECT_TRUE(alerts_->alerts().empty());
}

TEST_F(UsbUpgrade, EmptyImagesSendNothingAndStillFinish) {
    USBAccess usb = connect({.chipId = 0x03});
    maxPktSize = 8;
    percentCompleted = 55;
    EXPECT_EQ(test::capturedStdout([&] { usb.RamWrite(0x2000, {}, printed()); }), "100%...\n");
    EXPECT_EQ(percentCompleted, 55);
    EXPECT_EQ(test::capturedStdout([&] { usb.FlashWrite({}, printed()); }), "100%...\n");
    EXPECT_EQ(percentCompleted, 0);
    EXPECT_EQ(chip_->requestCount(), 0u);
}

// The lines RamWrite and FlashWrite print, restated from their rules: a
// line when the percentage moves on from 20, 40, 60 or 80.
std::string progressLines(const std::vector<size_t>& steps, size_t total, const std::string& head) {
    std::string out;
    int64_t prev = 0;
    size_t done = 0;
    for (size_t step : steps) {
        done += step;
        const auto percent = static_cast<int64_t>(done * 100 / total);
        if (prev != percent && (prev == 20 || prev == 40 || prev == 60 || prev == 80))
            out += (prev == 20 ? head + "\n" : "") + std::to_string(percent - 1) + "%...\n";
        prev = percent;
    }
    return out + "100%...\n";
}

std::vector<size_t> chunks(size_t total, size_t size) {
    std::vector<size_t> out(total / size, size);
    if (total % size) out.push_back(total % size);
    return out;
}

TEST_F(UsbUpgrade, ProgressLines) {
    struct Case {
        const char* name;
        int64_t packet;
        size_t loader, firmware;
        std::string output;
    };
    const Case cases[] = {
        {"one percent per frame and per page", 8, 300, 100 * 256,
         "Initializing...\n20%...\n40%...\n60%...\n80%...\n100%...\n"
         "Programming...\n20%...\n40%...\n60%...\n80%...\n100%...\n"},
        {"19 to 21 skips the line of 20", 8, 200, 66 * 256,
         "41%...\n60%...\n100%...\n41%...\n61%...\n80%...\n100%...\n"},
        {"one frame, two pages", 64, 59, 300, "100%...\n100%...\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        USBAccess usb = connect({.chipId = 0x03});
        maxPktSize = c.packet;
        const std::string out = test::capturedStdout(
            [&] { usb.USBFirmware(pattern(c.loader, 2), pattern(c.firmware, 3), 0x03, printed()); });
        EXPECT_EQ(out, c.output);
        EXPECT_EQ(percentCompleted, 100);
        EXPECT_TRUE(chip_->violations().empty());
    }
}

// Requests of a whole upgrade, from the step table; `pauses` receives the
// number of requests sent before each pause.
std::vector<K> expectedUpgrade(int64_t chip, size_t loader, size_t firmware, size_t packet,
                               std::vector<size_t>& pauses) {
    std::vector<K> k;
    if (chip == 0x00 || chip == 0xA1 || chip == 0xA3) {
        for (K kind : {K::Read, K::Write, K::Write, K::Read, K::Write}) k.push_back(kind);
    } else {
        k.push_back(K::DebugOn);
    }
    k.push_back(K::Reset);
    pauses.push_back(k.size());
    k.insert(k.end(), 7, K::Write);
    k.push_back(K::Reset);
    pauses.push_back(k.size());
    k.insert(k.end(), chunks(loader, packet - 5).size(), K::RamWrite);
    k.push_back(K::RunCode);
    pauses.push_back(k.size());
    k.push_back(K::FlashErase);
    for (size_t page : chunks(firmware, 256)) {
        k.insert(k.end(), chunks(page, packet).size(), K::FlashWrite);
        k.push_back(K::StatusRead);
    }
    return k;
}

struct UpgradeCase {
    int64_t chip;
    int64_t packet;
    size_t size;
};

class UsbFullUpgrade : public UsbUpgrade, public testing::WithParamInterface<UpgradeCase> {};

TEST_P(UsbFullUpgrade, FlashEndsEqualToTheFile) {
    const auto [chipId, packet, size] = GetParam();
    static const std::map<int64_t, std::string> signatures = {{0x00, "TRE5"}, {0xA0, "hWXo"}, {0xA1, "VRE1"},
                                                              {0xA3, "VRE2"}, {0xA7, "VRE3"}, {0x01, "SDI1"},
                                                              {0x03, "SDE4"}, {0x04, "SDE4"}};
    const std::string signature = signatures.at(chipId);
    const Bytes firmware = test::firmwareImage(size, signature, "ZK6221 v9.99");
    Bytes loader = test::loaderImage("UsbFlV v01.2");
    std::copy_n(pattern(3000, 9).begin(), 3000, loader.begin() + 64);

    USBAccess usb = connect({.chipId = chipId, .chipIdInSecondRegister = chipId == 0xA0});
    const int64_t id = usb.GetChipID();
    ASSERT_EQ(id, chipId);
    ASSERT_TRUE(usb.ConsistencyOfDeviceAndFile(id, signature));
    chip_->clearTranscript();
    const size_t base = chip_->requestCount();
    maxPktSize = packet;

    const std::string out = test::capturedStdout([&] { usb.USBFirmware(loader, firmware, id, printed()); });

    const Bytes flash = chip_->flash();
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + static_cast<std::ptrdiff_t>(size), flash.end(),
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(chip_->loadedImage(), loader);
    EXPECT_EQ(chip_->violations(), std::vector<std::string>{});
    EXPECT_EQ(chip_->resets(), (Bytes{2, 0}));
    EXPECT_EQ(chip_->pageStatuses(), Bytes(size / 256, 1));
    EXPECT_EQ(chip_->state(), ChipState::Programmed);

    std::vector<size_t> pauses;
    const auto t = chip_->transcript();
    ASSERT_EQ(kindsOf(t), expectedUpgrade(chipId, loader.size(), size, packet, pauses));
    ASSERT_EQ(sleeper_->pauses().size(), 3u);
    const std::chrono::microseconds durations[] = {900ms, 500ms, 2000ms};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sleeper_->pauses()[i].duration, durations[i]);
        EXPECT_EQ(static_cast<size_t>(sleeper_->pauses()[i].probe) - base, pauses[i]);
        EXPECT_EQ(t[pauses[i]].time - t[pauses[i] - 1].time, durations[i]);
    }

    // Between the two resets: the seven registers cleared, in this order.
    std::vector<Bytes> prepared;
    size_t resets = 0;
    for (const auto& r : t) {
        resets += r.kind == K::Reset;
        if (resets == 1 && r.kind == K::Write) prepared.push_back(r.out);
    }
    std::vector<Bytes> cleared;
    for (uint16_t reg : {0x80AD, 0x80C0, 0x80C9, 0x80D1, 0x80D9, 0x80E1, 0x80E9})
        cleared.push_back({0x07, 0x07, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg), 0, 0, 0});
    EXPECT_EQ(prepared, cleared);

    // Flash addresses above 64 KiB travel in the low byte of wValue.
    std::vector<ControlSetup> packets;
    for (const auto& r : t)
        if (r.kind == K::FlashWrite) packets.push_back(r.setup);
    const auto p = static_cast<size_t>(packet);
    const auto last = static_cast<uint16_t>((size - p) & 0xFFFF);
    EXPECT_EQ(packets.back(),
              (ControlSetup{0x41, 0x10, uint16_t(size > 0x10000 ? 0x0101 : 0x0100), last, uint16_t(p)}));
    if (size > 0x10000) {
        EXPECT_EQ(packets[0x10000 / p], (ControlSetup{0x41, 0x10, 0x0001, 0x0000, uint16_t(p)}));
    }

    EXPECT_EQ(out, progressLines(chunks(loader.size(), p - 5), loader.size(), "Initializing...") +
                       progressLines(chunks(size, 256), size, "Programming..."));
    EXPECT_EQ(percentCompleted, 100);
    EXPECT_TRUE(alerts_->alerts().empty());
}

std::vector<UpgradeCase> upgradeCases() {
    std::vector<UpgradeCase> cases;
    for (int64_t chip : {0x00, 0xA0, 0xA1, 0xA3, 0xA7, 0x01, 0x03, 0x04})
        for (int64_t packet : {8, 64})
            for (size_t size : {64 * 1024, 128 * 1024}) cases.push_back({chip, packet, size});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(ChipsPacketsSizes, UsbFullUpgrade, testing::ValuesIn(upgradeCases()),
                         [](const testing::TestParamInfo<UpgradeCase>& info) {
                             return "chip" + std::to_string(info.param.chip) + "_pkt" +
                                    std::to_string(info.param.packet) + "_" + std::to_string(info.param.size / 1024) +
                                    "KiB";
                         });

TEST_F(UsbUpgrade, EveryFailingStepEndsTheSequenceWithUSBUpgradeError) {
    struct Case {
        const char* name;
        int64_t chip;
        std::function<void(UsbChip&)> inject;
        std::string message;  // empty: the step fails silently
        size_t pauses;        // pauses requested before the failure
        K last;               // the failing request, the last one sent
        bool alert = false;
    };
    const std::string e = "USB Upgrade Error: ";
    const Case cases[] = {
        {"1 debug on", 0x03, [](UsbChip& c) { c.failAt(K::DebugOn, 1, Fault::TransferError); }, "", 0, K::DebugOn},
        {"2 reset 2", 0x03, [](UsbChip& c) { c.failAt(K::Reset, 1, Fault::Stall); }, "", 0, K::Reset},
        {"4 write 0x80AD", 0x03, [](UsbChip& c) { c.failAt(K::Write, 1, Fault::Timeout); }, e + "Write", 1, K::Write},
        {"5 write 0x80C0", 0x03, [](UsbChip& c) { c.failAt(K::Write, 2, Fault::TransferError); }, "", 1, K::Write},
        {"5 write 0x80E9", 0x03, [](UsbChip& c) { c.failAt(K::Write, 7, Fault::Unplug); }, "", 1, K::Write},
        {"6 reset 0", 0x03, [](UsbChip& c) { c.failAt(K::Reset, 2, Fault::Stall); }, e + "Reset", 1, K::Reset},
        {"8 first RAM frame", 0x03, [](UsbChip& c) { c.failAt(K::RamWrite, 1, Fault::TransferError); }, e + "RamWrite",
         2, K::RamWrite},
        {"8 sixth RAM frame", 0x03, [](UsbChip& c) { c.failAt(K::RamWrite, 6, Fault::Unplug); }, e + "RamWrite", 2,
         K::RamWrite},
        {"9 run", 0x03, [](UsbChip& c) { c.failAt(K::RunCode, 1, Fault::Timeout); }, e + "RunCode", 2, K::RunCode},
        {"11 erase", 0x03, [](UsbChip& c) { c.failAt(K::FlashErase, 1, Fault::Stall); }, e + "FlashErease", 3,
         K::FlashErase},
        {"12 first flash packet", 0x03, [](UsbChip& c) { c.failAt(K::FlashWrite, 1, Fault::TransferError); },
         e + "FlashWrite", 3, K::FlashWrite},
        {"12 packet of the third page", 0x03, [](UsbChip& c) { c.failAt(K::FlashWrite, 71, Fault::Stall); },
         e + "FlashWrite", 3, K::FlashWrite},
        {"12 status read of the third page", 0x03, [](UsbChip& c) { c.failAtPage(2, Fault::Timeout); },
         e + "FlashWrite", 3, K::StatusRead},
        {"12 failed status of the second page", 0x03, [](UsbChip& c) { c.failAtPage(1, Fault::WrongPageStatus); },
         e + "FlashWrite", 3, K::StatusRead, true},
        // A failed manual debug entry is not consulted: the sequence goes on
        // and the chip, still running its firmware, refuses the loader.
        {"1 manual debug read", 0xA1, [](UsbChip& c) { c.failAt(K::Read, 1, Fault::TransferError); }, e + "RamWrite", 2,
         K::RamWrite},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        USBAccess usb = connect({.chipId = c.chip});
        sleeper_->clear();
        alerts_->clear();
        maxPktSize = 8;
        c.inject(*chip_);
        std::string out;
        bool thrown = false;
        out = test::capturedStdout([&] {
            try {
                usb.USBFirmware(pattern(30, 4), pattern(1024, 5), c.chip, printed());
            } catch (const Errors::customErrors& error) {
                thrown = error == Errors::customErrors::USBUpgradeError;
            }
        });
        EXPECT_TRUE(thrown);

        const auto t = chip_->transcript();
        ASSERT_FALSE(t.empty());
        EXPECT_EQ(t.back().kind, c.last);
        if (c.alert) {
            EXPECT_EQ(t.back().in, Bytes{0x00});
        } else {
            EXPECT_NE(t.back().outcome, emu::Outcome::Ok);
        }
        EXPECT_EQ(sleeper_->pauses().size(), c.pauses);

        if (c.pauses < 2) {
            EXPECT_EQ(out, c.message.empty() ? "" : c.message + "\n");
        }
        if (c.message.empty()) {
            EXPECT_EQ(out.find(e), std::string::npos);
        } else {
            ASSERT_GE(out.size(), c.message.size() + 1);
            EXPECT_EQ(out.substr(out.size() - c.message.size() - 1), c.message + "\n");
            EXPECT_EQ(out.find(e), out.rfind(e));
        }
        if (c.alert) {
            EXPECT_EQ(alerts_->alerts(),
                      (std::vector<Alert>{{"ERROR", "Update process FAILED!", AlertStyle::warning}}));
        } else {
            EXPECT_TRUE(alerts_->alerts().empty());
        }
        if (c.chip == 0xA1) {
            EXPECT_EQ(t.at(1).kind, K::Reset);
        }
    }
}

TEST_F(UsbUpgrade, RamLoadStopsPrintingAtItsFailure) {
    USBAccess usb = connect({.chipId = 0x03});
    maxPktSize = 8;
    chip_->failAt(K::RamWrite, 6, Fault::Unplug);
    const std::string out = test::capturedStdout([&] {
        EXPECT_THROW(usb.USBFirmware(pattern(30, 4), pattern(1024, 5), 0x03, printed()), Errors::customErrors);
    });
    EXPECT_EQ(out, "Initializing...\n29%...\n49%...\nUSB Upgrade Error: RamWrite\n");
}

TEST_F(UsbUpgrade, PacketSizesThatCannotFrameThePageAreRefusedBeforeSending) {
    for (int64_t size : {0, 5, 7, 12, 96, 256, -64}) {
        SCOPED_TRACE(size);
        USBAccess usb = connect({.chipId = 0x03});
        maxPktSize = size;
        const Bytes image(300, 0x11);
        EXPECT_THROW(usb.RamWrite(0x2000, image), std::invalid_argument);
        EXPECT_THROW(usb.FlashWrite(image), std::invalid_argument);
        const std::string out = test::capturedStdout(
            [&] { EXPECT_THROW(usb.USBFirmware(image, image, 0x03, printed()), Errors::customErrors); });
        EXPECT_EQ(out, "USB Upgrade Error: unsupported packet size " + std::to_string(size) +
                           " (it must lie between 6 and 255 and divide 256)\n");
        EXPECT_EQ(chip_->requestCount(), 0u);
    }
    for (int64_t size : {16, 32, 128}) {
        SCOPED_TRACE(size);
        USBAccess usb = connect({.chipId = 0x03});
        maxPktSize = size;
        const Bytes firmware = pattern(1000, 6);
        const std::string out = test::capturedStdout([&] {
            try {
                usb.USBFirmware(pattern(500, 7), firmware, 0x03);
            } catch (const std::exception& e) {
                std::printf("thrown: %s\n", e.what());
            }
        });
        EXPECT_EQ(out.find("thrown"), std::string::npos) << out;
        const Bytes flash = chip_->flash();
        EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), flash.begin()));
        EXPECT_EQ(chip_->violations(), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

// The engine prints no milestone of its own: it tells its observer each
// phase and each percent as it changes, and percentCompleted follows.
TEST_F(UsbUpgrade, BulkPhasesTellTheObserverAndPrintNothing) {
    USBAccess usb = connect({.chipId = 0x03});
    usb.DebugOn();
    for (uint32_t r : {0x80AD, 0x80C0, 0x80C9, 0x80D1, 0x80D9, 0x80E1, 0x80E9}) usb.Write(r, 0);
    maxPktSize = 8;
    percentCompleted = 55;
    std::vector<std::string> told;
    std::vector<int64_t> published;  // percentCompleted as each percent is told
    ProgressObserver observer{
        .phaseStarted = [&](UpgradePhase p) { told.push_back(p == UpgradePhase::loader ? "loader" : "firmware"); },
        .progressed =
            [&](UpgradePhase, int64_t percent) {
                told.push_back(std::to_string(percent));
                published.push_back(percentCompleted);
            },
        .phaseEnded = [&](UpgradePhase) { told.push_back("end"); },
    };
    const std::string out = test::capturedStdout([&] {
        usb.RamWrite(0x2000, pattern(10, 1), observer);  // frames of 3, 3, 3, 1 bytes
        usb.RunCode(0x2000);
        usb.FlashErease();
        usb.FlashWrite(pattern(300, 2), observer);  // pages of 256 and 44 bytes
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(told, (std::vector<std::string>{"loader", "30", "60", "90", "100", "end", "firmware", "0", "85", "100",
                                              "end"}));
    EXPECT_EQ(published, (std::vector<int64_t>{30, 60, 90, 100, 0, 85, 100}));
}

// A failing request's cause (which request, what the platform or the chip
// answered) reaches the log beside the unchanged line on standard output,
// and travels in the error thrown.
TEST_F(UsbUpgrade, EveryFailureKeepsItsCauseInTheLog) {
    struct Case {
        const char* name;
        std::function<void(UsbChip&)> inject;
        std::string cause;
    };
    const Case cases[] = {
        {"silent reset", [](UsbChip& c) { c.failAt(K::Reset, 1, Fault::Stall); }, "Reset 2: LIBUSB_ERROR_PIPE (-9)"},
        {"first register write", [](UsbChip& c) { c.failAt(K::Write, 1, Fault::Timeout); },
         "Write 0x80AD: LIBUSB_ERROR_TIMEOUT (-7)"},
        {"silent register write", [](UsbChip& c) { c.failAt(K::Write, 3, Fault::TransferError); },
         "Write 0x80C9: LIBUSB_ERROR_IO (-1)"},
        {"sixth RAM frame", [](UsbChip& c) { c.failAt(K::RamWrite, 6, Fault::Unplug); },
         "RamWrite frame 6 of 10: LIBUSB_ERROR_NO_DEVICE (-4)"},
        {"flash packet cut short", [](UsbChip& c) { c.failAt(K::FlashWrite, 34, Fault::Short); },
         "FlashWrite packet 34 of 128: SHORT_OUT_TRANSFER (-1001)"},
        {"status read of the third page", [](UsbChip& c) { c.failAtPage(2, Fault::Timeout); },
         "FlashWrite page 3 of 4: Read 0x860C: LIBUSB_ERROR_TIMEOUT (-7)"},
        {"page refused by the chip", [](UsbChip& c) { c.failAtPage(1, Fault::WrongPageStatus); },
         "FlashWrite page 2 of 4: page status 0, not 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        USBAccess usb = connect({.chipId = 0x03});
        maxPktSize = 8;
        c.inject(*chip_);
        test::ScopedLogCapture log;
        std::optional<FailureCause> thrown;
        test::capturedStdout([&] {
            try {
                usb.USBFirmware(pattern(30, 4), pattern(1024, 5), 0x03);
            } catch (const Errors::customErrors& error) {
                thrown = error.cause();
            }
        });
        EXPECT_TRUE(log.contains(LogLevel::error, "USB Upgrade Error: " + c.cause));
        ASSERT_TRUE(thrown.has_value());
        EXPECT_EQ(thrown->describe(), c.cause);
    }
}

TEST_F(UsbUpgrade, RequestPathsOutsideTheSequenceKeepTheirCause) {
    USBAccess usb = connect({.chipId = 0x03});
    chip_->failAt(K::Read, 1, Fault::Stall);
    try {
        usb.GetChipID();
        ADD_FAILURE() << "no error";
    } catch (const Errors::customErrors& e) {
        EXPECT_EQ(e, Errors::customErrors::readChipIDError);
        ASSERT_TRUE(e.cause().has_value());
        EXPECT_EQ(e.cause()->describe(), "GetChipID: Read 0x8910: LIBUSB_ERROR_PIPE (-9)");
    }

    // The manual way into debug mode fails inward only; the log keeps why.
    USBAccess virren = connect({.chipId = 0xA1});
    chip_->failAt(K::Write, 1, Fault::Unplug);
    test::ScopedLogCapture log;
    EXPECT_FALSE(virren.DebugOnManual(0xA1));
    EXPECT_TRUE(log.contains(LogLevel::error,
                             "DebugOnManual failed, the sequence goes on: Write 0x0ED6: "
                             "LIBUSB_ERROR_NO_DEVICE (-4)"));

    USBAccess unplugged(USBDevice{});
    try {
        unplugged.GetVersion();
        ADD_FAILURE() << "no error";
    } catch (const Errors::USBDeviceError& e) {
        EXPECT_EQ(e, Errors::USBDeviceError::DeviceInterfaceNotFound());
        ASSERT_TRUE(e.cause().has_value());
        EXPECT_EQ(e.cause()->describe(), "GetVersion: no device interface");
    }
}

}  // namespace
}  // namespace quorvel
