// Emulated USB devices for libusb, through umockdev: a testbed whose usbfs
// nodes answer libusb's ioctls. The standard string-descriptor requests are
// answered from the device's description; every other control request goes
// to the device's handler, so a chip model can sit behind it.
//
// Order of use (libusb's udev monitor is process-wide): create the bed, plug
// the devices present at start, create the libusb context; ...; end the
// libusb context, then destroy the bed. The process must run under the
// umockdev preload library (link it first, or LD_PRELOAD it).
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <set>
#include <utility>
#include <vector>

#include "usb/USBDevice.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace quorvel::emu {

// The answer to one control URB: the number of data bytes transferred
// (IN: written into `data`; OUT: usually data.size()), or a negative errno
// as the URB's status (-EPIPE: a stall), or -ENODEV to fail the submission
// as a vanished device does, or kUrbNoReply to leave the URB pending until
// libusb discards it (a time-out).
using UsbControlHandler = std::function<int32_t(const ControlSetup& setup, std::span<uint8_t> data)>;
inline constexpr int32_t kUrbNoReply = INT32_MIN;

struct UsbDeviceSpec {
    uint8_t bus = 1;
    uint8_t address = 2;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string product;  // the product string; none when empty
    // Hub ports from the root hub down ({3, 2}: sysfs name "1-3.2"); the
    // hubs on the way are added too. Empty: a device without a port path.
    std::vector<uint8_t> ports;
};

struct UsbNodeCounters {
    unsigned submitted = 0;  // control URBs submitted
    unsigned discarded = 0;  // URBs libusb discarded (cancelled)
};

class UmockdevUsbBed {
public:
    UmockdevUsbBed();  // throws std::runtime_error outside the umockdev preload
    ~UmockdevUsbBed();
    UmockdevUsbBed(const UmockdevUsbBed&) = delete;
    UmockdevUsbBed& operator=(const UmockdevUsbBed&) = delete;

    static bool inMockEnvironment();
    std::string rootDir() const;
    UMockdevTestbed* testbed() const { return testbed_; }

    // Adds the device; after libusb has started it arrives as a hot-plug
    // event. A bus/address pair may be plugged again after an unplug: file
    // handles of the earlier attachment stay dead.
    void plug(const UsbDeviceSpec& spec, UsbControlHandler handler);
    // Pulls the device out: "remove" uevent, then ENODEV, then removal.
    void unplug(uint8_t bus, uint8_t address);
    // The device stops answering (ENODEV) without leaving the bus.
    void vanish(uint8_t bus, uint8_t address);
    UsbNodeCounters counters(uint8_t bus, uint8_t address);

    struct Node;
    class ReapPacing;

private:
    Node& node(uint8_t bus, uint8_t address);
    void addHubs(uint8_t bus, const std::vector<uint8_t>& ports);

    UMockdevTestbed* testbed_ = nullptr;
    std::shared_ptr<ReapPacing> pacing_;  // shared by the nodes
    std::mutex mutex_;
    std::map<std::pair<uint8_t, uint8_t>, std::unique_ptr<Node>> nodes_;
    std::set<std::string> hubs_;  // sysfs paths of the hubs added
    uint8_t nextHubAddress_ = 100;
};

// Device, configuration and interface descriptors of a vendor-class device,
// as usbfs shows them in the "descriptors" attribute.
std::string usbDescriptorsHex(const UsbDeviceSpec& spec);

}  // namespace quorvel::emu
