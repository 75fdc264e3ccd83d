// The device monitor's logic over the in-process hot-plug source: what is
// announced, when, on which thread, and which lines reach standard output.
#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emu/EmulatedHotplugSource.h"
#include "usb/NotificationCenter.h"
#include "usb/USBDeviceMonitor.h"
#include "support/AnnouncementRecorder.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;

class NullTransport : public ControlTransport {
public:
    int32_t controlTransfer(const ControlSetup&, std::span<uint8_t>) override { return 0; }
};

constexpr USBMonitorData kChip{0x34C7, 0x6221};
constexpr USBMonitorData kOtherChip{0x34C7, 0x6120};

EmulatedUSBDevice chip(uint64_t id, USBMonitorData ids = kChip, std::string name = "ZK chip") {
    EmulatedUSBDevice device;
    device.id = id;
    device.vendorId = ids.vendorId;
    device.productId = ids.productId;
    device.name = std::move(name);
    device.transport = std::make_shared<NullTransport>();
    return device;
}

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override { previous_ = installHotplugSource(source_); }
    void TearDown() override {
        source_->shutdown();
        installHotplugSource(previous_);
    }

    std::shared_ptr<EmulatedHotplugSource> source_ = std::make_shared<EmulatedHotplugSource>();
    std::shared_ptr<HotplugSource> previous_;
    test::AnnouncementRecorder recorder_;
};

TEST_F(MonitorTest, PresentDevicesAreAnnouncedOnTheStartingThreadBeforeStartReturns) {
    auto device = chip(0x1122334455ULL);
    const auto transport = device.transport;
    ASSERT_TRUE(source_->add(device));
    source_->waitIdle();

    USBDeviceMonitor monitor({kChip});
    EXPECT_FALSE(monitor.isStarted());
    monitor.start();
    EXPECT_TRUE(monitor.isStarted());

    const auto events = recorder_.events();  // no waiting: already there
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].connected);
    EXPECT_EQ(events[0].thread, std::this_thread::get_id());
    EXPECT_EQ(events[0].device.id, 0x1122334455ULL);
    EXPECT_EQ(events[0].device.vendorId, kChip.vendorId);
    EXPECT_EQ(events[0].device.productId, kChip.productId);
    EXPECT_EQ(events[0].device.name, "ZK chip");
    EXPECT_EQ(events[0].device.deviceInterfacePtrPtr, transport);
}

TEST_F(MonitorTest, LaterArrivalAndRemovalCarryTheSameIdAndComeFromTheEventThread) {
    USBDeviceMonitor monitor({kOtherChip, kChip});
    monitor.start();
    ASSERT_TRUE(recorder_.events().empty());

    ASSERT_TRUE(source_->add(chip(42)));
    ASSERT_TRUE(recorder_.waitForCount(1));
    ASSERT_TRUE(source_->remove(42));
    ASSERT_TRUE(recorder_.waitForCount(2));

    const auto events = recorder_.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].connected);
    EXPECT_FALSE(events[1].connected);
    EXPECT_EQ(events[0].id, 42u);
    EXPECT_EQ(events[1].id, 42u);
    EXPECT_NE(events[0].thread, std::this_thread::get_id());
}

TEST_F(MonitorTest, DevicesOutsideTheFilterAreNeverAnnounced) {
    ASSERT_TRUE(source_->add(chip(1, {kChip.vendorId, 0x6222})));  // vendor matches, product not
    source_->waitIdle();
    USBDeviceMonitor monitor({kChip});
    monitor.start();
    ASSERT_TRUE(source_->add(chip(2, {0x1234, kChip.productId})));  // product matches, vendor not
    ASSERT_TRUE(source_->remove(1));
    ASSERT_TRUE(source_->remove(2));
    source_->waitIdle();
    EXPECT_TRUE(recorder_.events().empty());
}

TEST_F(MonitorTest, EachMatchingEntryAnnouncesTheDevice) {
    ASSERT_TRUE(source_->add(chip(7)));
    source_->waitIdle();
    USBDeviceMonitor twoEntries({kChip, kChip});
    USBDeviceMonitor another({kChip});
    twoEntries.start();
    another.start();
    ASSERT_EQ(recorder_.events().size(), 3u);

    ASSERT_TRUE(source_->remove(7));
    source_->waitIdle();
    const auto events = recorder_.events();
    ASSERT_EQ(events.size(), 6u);
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].connected, i < 3) << i;
        EXPECT_EQ(events[i].id, 7u) << i;
    }
}

struct DiagnosticCase {
    const char* what;
    void (*spoil)(EmulatedUSBDevice&);
    const char* arrivalOutput;
    bool announced;
    uint64_t announcedId;
    const char* announcedName;
};

void PrintTo(const DiagnosticCase& c, std::ostream* os) { *os << c.what; }

class MonitorDiagnosticsTest : public MonitorTest, public ::testing::WithParamInterface<DiagnosticCase> {};

TEST_P(MonitorDiagnosticsTest, WritesTheLinesAndAnnouncesOnlyOpenedDevices) {
    const DiagnosticCase& c = GetParam();
    auto device = chip(99);
    c.spoil(device);
    ASSERT_TRUE(source_->add(device));
    source_->waitIdle();

    USBDeviceMonitor monitor({kChip});
    testing::internal::CaptureStdout();
    monitor.start();
    const std::string arrivalOutput = testing::internal::GetCapturedStdout();
    EXPECT_EQ(arrivalOutput, c.arrivalOutput);

    auto events = recorder_.events();
    ASSERT_EQ(events.size(), c.announced ? 1u : 0u);
    if (c.announced) {
        EXPECT_EQ(events[0].device.id, c.announcedId);
        EXPECT_EQ(events[0].device.name, c.announcedName);
    }

    // The removal is announced whether or not the arrival was.
    testing::internal::CaptureStdout();
    ASSERT_TRUE(source_->remove(99));
    source_->waitIdle();
    const std::string removalOutput = testing::internal::GetCapturedStdout();
    EXPECT_EQ(removalOutput, device.idUnreadable ? "Error getting device id\n" : "");
    events = recorder_.events();
    ASSERT_FALSE(events.empty());
    EXPECT_FALSE(events.back().connected);
    EXPECT_EQ(events.back().id, device.idUnreadable ? 0u : 99u);
}

const std::string kPermissionOutput = std::string("Could not open device (error: -3)\n") + kUSBPermissionHint + "\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, MonitorDiagnosticsTest,
    ::testing::Values(DiagnosticCase{"plain", [](EmulatedUSBDevice&) {}, "", true, 99, "ZK chip"},
                      DiagnosticCase{"idUnreadable", [](EmulatedUSBDevice& d) { d.idUnreadable = true; },
                                     "Error getting device id\n", true, 0, "ZK chip"},
                      DiagnosticCase{"nameUnreadable", [](EmulatedUSBDevice& d) { d.nameUnreadable = true; },
                                     "Error getting device name\n", true, 99, ""},
                      DiagnosticCase{"openFails", [](EmulatedUSBDevice& d) { d.openError = -99; },
                                     "Could not open device (error: -99)\n", false, 0, ""},
                      DiagnosticCase{"openRefusedForPermission",
                                     [](EmulatedUSBDevice& d) {
                                         d.openError = -3;
                                         d.accessDenied = true;
                                     },
                                     kPermissionOutput.c_str(), false, 0, ""},
                      DiagnosticCase{"noInterface", [](EmulatedUSBDevice& d) { d.transport = nullptr; },
                                     "Unable to get Device Interface\n", false, 0, ""}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(MonitorTest, NamesAreCutTo127Characters) {
    ASSERT_TRUE(source_->add(chip(5, kChip, std::string(200, 'x'))));
    source_->waitIdle();
    USBDeviceMonitor monitor({kChip});
    monitor.start();
    const auto events = recorder_.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].device.name, std::string(127, 'x'));
}

TEST_F(MonitorTest, HandlersOfOneMonitorNeverOverlap) {
    // Entry 2's present devices are announced by start() while entry 1's
    // new arrivals come from the event thread.
    constexpr int kEach = 20;
    for (int i = 0; i < kEach; ++i) ASSERT_TRUE(source_->add(chip(1000 + i, kOtherChip)));
    source_->waitIdle();
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    recorder_.inHandler = [&] {
        if (inside.fetch_add(1) != 0) ++overlaps;
        std::this_thread::sleep_for(500us);
        inside.fetch_sub(1);
    };
    USBDeviceMonitor monitor({kChip, kOtherChip});
    std::thread plugger([&] {
        for (int i = 0; i < kEach; ++i) {
            source_->add(chip(i + 1));
            std::this_thread::sleep_for(200us);
        }
    });
    monitor.start();
    plugger.join();
    ASSERT_TRUE(recorder_.waitForCount(2 * kEach));
    EXPECT_EQ(overlaps.load(), 0);
}

TEST_F(MonitorTest, SixteenMonitorsOnTheirOwnThreadsCanBeAwaited) {
    std::vector<USBMonitorData> pairs;
    for (uint16_t i = 0; i < 16; ++i) pairs.push_back({0x34C7, static_cast<uint16_t>(0x6100 + i)});
    for (uint16_t i = 0; i < 16; i += 3) ASSERT_TRUE(source_->add(chip(500 + i, pairs[i])));
    source_->waitIdle();
    // Slow announcements: a fixed short wait would miss some.
    recorder_.inHandler = [] { std::this_thread::sleep_for(20ms); };

    std::vector<std::unique_ptr<USBDeviceMonitor>> monitors;
    for (const auto& pair : pairs) monitors.push_back(std::make_unique<USBDeviceMonitor>(std::vector{pair}));
    std::vector<std::thread> threads;
    for (auto& monitor : monitors) threads.emplace_back([m = monitor.get()] { m->start(); });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (auto& monitor : monitors) EXPECT_TRUE(monitor->waitUntilStarted(deadline));
    EXPECT_EQ(recorder_.events().size(), 6u);  // 0, 3, 6, 9, 12, 15
    for (auto& thread : threads) thread.join();
}

TEST_F(MonitorTest, WaitingForAMonitorThatNeverStartsEndsAtTheDeadline) {
    USBDeviceMonitor monitor({kChip});
    EXPECT_FALSE(monitor.waitUntilStarted(std::chrono::steady_clock::now() + 20ms));
}

TEST_F(MonitorTest, StartingTwiceArmsOnce) {
    ASSERT_TRUE(source_->add(chip(3)));
    source_->waitIdle();
    USBDeviceMonitor monitor({kChip});
    monitor.start();
    monitor.start();
    ASSERT_TRUE(source_->remove(3));
    source_->waitIdle();
    EXPECT_EQ(recorder_.events().size(), 2u);
}

TEST_F(MonitorTest, ADestroyedMonitorAnnouncesNothingMore) {
    {
        USBDeviceMonitor monitor({kChip});
        monitor.start();
    }
    ASSERT_TRUE(source_->add(chip(4)));
    source_->waitIdle();
    EXPECT_TRUE(recorder_.events().empty());
}

TEST_F(MonitorTest, RegistrationRefusedBySourceIsReported) {
    class RefusingSource : public HotplugSource {
    public:
        int64_t registerFilter(const USBMonitorData&, Handlers) override { return -5; }
        void deregister(RegistrationId) override {}
    };
    installHotplugSource(std::make_shared<RefusingSource>());
    USBDeviceMonitor monitor({kChip, kOtherChip});
    testing::internal::CaptureStdout();
    monitor.start();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Could not watch USB devices 34c7:6221 (error: -5)\n"
              "Could not watch USB devices 34c7:6120 (error: -5)\n");
    EXPECT_TRUE(monitor.isStarted());
}

TEST_F(MonitorTest, WithoutAnySourceStartSaysSoAndCompletes) {
    installHotplugSource(nullptr);  // this test links no platform source
    ASSERT_EQ(hotplugSource(), nullptr);
    USBDeviceMonitor monitor({kChip});
    testing::internal::CaptureStdout();
    monitor.start();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No USB hot-plug source: USB devices cannot be watched\n");
    EXPECT_TRUE(monitor.isStarted());
}

}  // namespace
}  // namespace quorvel
