// The libusb road, unmodified, against usbfs devices emulated by umockdev:
// hot-plug through libusb's udev monitor, identities, names, and control
// transfers byte for byte, with their failures.
#include <gtest/gtest.h>
#include <libusb.h>

#include <any>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <numeric>
#include <vector>

#include "emu/UmockdevUsb.h"
#include "support/AnnouncementRecorder.h"
#include "usb/NotificationCenter.h"
#include "usb/USBDeviceMonitor.h"
#include "usb/UsbStatus.h"
#include "usb/libusb/LibusbHotplugSource.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using emu::UmockdevUsbBed;
using emu::UsbDeviceSpec;

// A device's vendor requests as the test scripts them; records what came.
class ScriptedChip {
public:
    std::function<int32_t(const ControlSetup&, std::span<uint8_t>)> answer =
        [](const ControlSetup&, std::span<uint8_t> data) { return static_cast<int32_t>(data.size()); };

    emu::UsbControlHandler handler() {
        return [this](const ControlSetup& setup, std::span<uint8_t> data) {
            {
                std::lock_guard lock(mutex_);
                setups_.push_back(setup);
                if (!(setup.bmRequestType & 0x80)) outData_.emplace_back(data.begin(), data.end());
            }
            return answer(setup, data);
        };
    }
    std::vector<ControlSetup> setups() {
        std::lock_guard lock(mutex_);
        return setups_;
    }
    std::vector<std::vector<uint8_t>> outData() {
        std::lock_guard lock(mutex_);
        return outData_;
    }

private:
    std::mutex mutex_;
    std::vector<ControlSetup> setups_;
    std::vector<std::vector<uint8_t>> outData_;
};

constexpr USBMonitorData kChip{0x34C7, 0x6221};

UsbDeviceSpec chipSpec(uint8_t address, USBMonitorData ids = kChip, std::string product = "ZK Converter") {
    UsbDeviceSpec spec;
    spec.bus = 1;
    spec.address = address;
    spec.vendorId = ids.vendorId;
    spec.productId = ids.productId;
    spec.product = std::move(product);
    return spec;
}

// Order matters: bed before libusb, libusb ended before the bed goes.
class LibusbUmockdevTest : public ::testing::Test {
protected:
    void SetUp() override { bed_ = std::make_unique<UmockdevUsbBed>(); }
    void TearDown() override {
        monitor_.reset();
        if (source_) source_->shutdown();
        installHotplugSource(previous_);
        source_.reset();
        bed_.reset();
    }

    // Starts libusb (after the devices present at start are plugged) and a
    // monitor watching `filters`.
    void startMonitor(std::vector<USBMonitorData> filters = {kChip},
                      std::chrono::milliseconds timeout = LibusbControlTransport::kDefaultTimeout) {
        LibusbHotplugSource::Options options;
        options.transferTimeout = timeout;
        source_ = std::make_shared<LibusbHotplugSource>(options);
        ASSERT_EQ(source_->initError(), 0);
        previous_ = installHotplugSource(source_);
        monitor_ = std::make_unique<USBDeviceMonitor>(std::move(filters));
        monitor_->start();
    }

    std::shared_ptr<ControlTransport> onlyDevice() {
        auto list = announcements_.events();
        EXPECT_EQ(list.size(), 1u);
        if (list.empty() || !list[0].connected) return nullptr;
        return list[0].device.deviceInterfacePtrPtr;
    }

    std::unique_ptr<UmockdevUsbBed> bed_;
    std::shared_ptr<LibusbHotplugSource> source_;
    std::shared_ptr<HotplugSource> previous_;
    std::unique_ptr<USBDeviceMonitor> monitor_;
    test::AnnouncementRecorder announcements_;
    ScriptedChip chip_;
};

TEST_F(LibusbUmockdevTest, PresentDevicesAreAnnouncedDuringStartWithIdentityAndName) {
    bed_->plug(chipSpec(5), chip_.handler());
    bed_->plug(chipSpec(6, {kChip.vendorId, 0x6120}), chip_.handler());  // not watched
    startMonitor();

    const auto list = announcements_.events();  // start() has returned: no waiting
    ASSERT_EQ(list.size(), 1u);
    ASSERT_TRUE(list[0].connected);
    const USBDevice& device = list[0].device;
    EXPECT_EQ(device.vendorId, kChip.vendorId);
    EXPECT_EQ(device.productId, kChip.productId);
    EXPECT_EQ(device.name, "ZK Converter");
    EXPECT_EQ(device.id >> 32, (1u << 8) | 5u);  // bus 1, address 5
    EXPECT_NE(device.id & 0xFFFFFFFFu, 0u);      // attachment serial
    EXPECT_NE(device.deviceInterfacePtrPtr, nullptr);
    EXPECT_EQ(device.node, "/dev/bus/usb/001/005");  // what a command's hold locks
}

TEST_F(LibusbUmockdevTest, HotplugArrivalAndRemovalShareTheIdentityAndReplugGetsANewOne) {
    startMonitor();
    ASSERT_TRUE(announcements_.events().empty());

    bed_->plug(chipSpec(7), chip_.handler());
    ASSERT_TRUE(announcements_.waitForCount(1));
    bed_->unplug(1, 7);
    ASSERT_TRUE(announcements_.waitForCount(2));
    bed_->plug(chipSpec(7), chip_.handler());  // same bus and address again
    ASSERT_TRUE(announcements_.waitForCount(3));

    const auto list = announcements_.events();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_TRUE(list[0].connected);
    EXPECT_EQ(list[0].device.name, "ZK Converter");
    EXPECT_FALSE(list[1].connected);
    EXPECT_EQ(list[1].id, list[0].id);
    EXPECT_TRUE(list[2].connected);
    EXPECT_NE(list[2].id, list[0].id);
    EXPECT_EQ(list[2].id >> 32, list[0].id >> 32);
}

TEST_F(LibusbUmockdevTest, ADeviceWithoutProductStringHasAnEmptyName) {
    bed_->plug(chipSpec(5, kChip, ""), chip_.handler());
    testing::internal::CaptureStdout();
    startMonitor();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const auto list = announcements_.events();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].device.name, "");
}

TEST_F(LibusbUmockdevTest, VendorControlTransfersInAndOutAreByteExact) {
    std::vector<uint8_t> version(64);
    std::iota(version.begin(), version.end(), uint8_t{0x20});
    chip_.answer = [&](const ControlSetup& setup, std::span<uint8_t> data) -> int32_t {
        if (setup.bmRequestType & 0x80) std::copy_n(version.begin(), data.size(), data.begin());
        return static_cast<int32_t>(data.size());
    };
    bed_->plug(chipSpec(5), chip_.handler());
    startMonitor();
    auto transport = onlyDevice();
    ASSERT_NE(transport, nullptr);

    std::vector<uint8_t> in(64, 0xEE);
    const ControlSetup getVersion{0xC1, 0x08, 0xFFFF, 0xFFFF, 64};
    EXPECT_EQ(transport->controlTransfer(getVersion, in), 0);
    EXPECT_EQ(in, version);

    std::vector<uint8_t> out = {0x07, 0x07, 0x12, 0x34, 0xAB, 0xCD, 0x00};
    const ControlSetup write{0x41, 0x07, 0, 0, 7};
    EXPECT_EQ(transport->controlTransfer(write, out), 0);

    std::vector<ControlSetup> vendorSetups;
    for (const auto& s : chip_.setups())
        if ((s.bmRequestType & 0x60) == 0x40) vendorSetups.push_back(s);
    ASSERT_EQ(vendorSetups.size(), 2u);
    EXPECT_EQ(vendorSetups[0], getVersion);
    EXPECT_EQ(vendorSetups[1], write);
    const auto outData = chip_.outData();
    ASSERT_EQ(outData.size(), 1u);
    EXPECT_EQ(outData[0], out);
}

struct FailureCase {
    const char* what;
    int32_t urbAnswer;  // what the device does with the request
    bool vanish;        // the device stops answering before the request
    int expected;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.what; }

class LibusbFailureTest : public LibusbUmockdevTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(LibusbFailureTest, FailedRequestsReturnTheLibusbCode) {
    const FailureCase& c = GetParam();
    chip_.answer = [&](const ControlSetup&, std::span<uint8_t>) { return c.urbAnswer; };
    bed_->plug(chipSpec(5), chip_.handler());
    startMonitor({kChip}, 300ms);  // short, for the time-out case
    auto transport = onlyDevice();
    ASSERT_NE(transport, nullptr);
    if (c.vanish) bed_->vanish(1, 5);

    std::vector<uint8_t> data(11, 0);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(transport->controlTransfer({0xC1, 0x06, 0x2000, 0xFFFF, 11}, data), c.expected);
    const auto took = std::chrono::steady_clock::now() - before;
    if (c.expected == LIBUSB_ERROR_TIMEOUT) {
        EXPECT_GE(took, 250ms);
        EXPECT_EQ(bed_->counters(1, 5).discarded, 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, LibusbFailureTest,
                         ::testing::Values(FailureCase{"stall", -EPIPE, false, LIBUSB_ERROR_PIPE},
                                           FailureCase{"vanished", 0, true, LIBUSB_ERROR_NO_DEVICE},
                                           FailureCase{"goneDuringSubmit", -ENODEV, false, LIBUSB_ERROR_NO_DEVICE},
                                           FailureCase{"noAnswer", emu::kUrbNoReply, false, LIBUSB_ERROR_TIMEOUT}),
                         [](const auto& info) { return std::string(info.param.what); });

// A chip that takes fewer bytes than sent fails the request; a short reply
// leaves the rest of the pre-filled buffer and succeeds.
TEST_F(LibusbUmockdevTest, ShortOutFailsShortInStands) {
    chip_.answer = [&](const ControlSetup& setup, std::span<uint8_t> data) -> int32_t {
        if (setup.bmRequestType & 0x80) data[0] = 0x42;
        return static_cast<int32_t>(data.size()) - 1;
    };
    bed_->plug(chipSpec(5), chip_.handler());
    startMonitor();
    auto transport = onlyDevice();
    ASSERT_NE(transport, nullptr);
    std::vector<uint8_t> out = {0x07, 0x07, 0x12, 0x34, 0xAB, 0xCD, 0x00};
    EXPECT_EQ(transport->controlTransfer({0x41, 0x07, 0, 0, 7}, out), kShortOutTransfer);
    std::vector<uint8_t> in(11, 0xEE);
    EXPECT_EQ(transport->controlTransfer({0xC1, 0x06, 0x2000, 0xFFFF, 11}, in), 0);
    EXPECT_EQ(in[0], 0x42);
    EXPECT_EQ(in[10], 0xEE);
}

TEST_F(LibusbUmockdevTest, AShortBufferIsRefusedWithoutTouchingTheDevice) {
    bed_->plug(chipSpec(5), chip_.handler());
    startMonitor();
    auto transport = onlyDevice();
    ASSERT_NE(transport, nullptr);
    const unsigned before = bed_->counters(1, 5).submitted;
    std::vector<uint8_t> data(10);
    EXPECT_EQ(transport->controlTransfer({0xC1, 0x06, 0x2000, 0xFFFF, 11}, data), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(bed_->counters(1, 5).submitted, before);
}

TEST_F(LibusbUmockdevTest, AfterShutdownTransportsFailInsteadOfCrashing) {
    bed_->plug(chipSpec(5), chip_.handler());
    startMonitor();
    auto transport = onlyDevice();
    ASSERT_NE(transport, nullptr);
    monitor_.reset();
    source_->shutdown();
    std::vector<uint8_t> data(3, 0);
    EXPECT_EQ(transport->controlTransfer({0x41, 0x09, 0, 0, 3}, data), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(source_->registerFilter(kChip, {}), LIBUSB_ERROR_NOT_FOUND);
}

TEST_F(LibusbUmockdevTest, LinkingTheLibusbLibraryMakesItTheDefaultSource) {
    bed_->plug(chipSpec(5), chip_.handler());
    previous_ = installHotplugSource(nullptr);
    auto source = hotplugSource();
    ASSERT_NE(dynamic_cast<LibusbHotplugSource*>(source.get()), nullptr);
    {
        USBDeviceMonitor monitor({kChip});
        monitor.start();
        EXPECT_EQ(announcements_.events().size(), 1u);
    }
    source.reset();
    shutdownDefaultHotplugSource();
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

// The diagnostic names of the statuses, held by value in the library that
// does not link libusb, are libusb's own.
TEST(UsbStatusText, NamesEveryLibusbCodeAsLibusbDoes) {
    for (int code = -1; code >= -12; --code) {
        EXPECT_EQ(usbStatusText(code), std::string(libusb_error_name(code)) + " (" + std::to_string(code) + ")");
    }
    EXPECT_EQ(usbStatusText(LIBUSB_ERROR_OTHER), "LIBUSB_ERROR_OTHER (-99)");
    EXPECT_EQ(usbStatusText(kShortOutTransfer), "SHORT_OUT_TRANSFER (-1001)");
    EXPECT_EQ(usbStatusText(-42), "status -42");
}

}  // namespace
}  // namespace quorvel
