// The record of one connected USB chip and the control-transfer seam
// through which every request reaches it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace quorvel {

// The five setup values of one control transfer on endpoint 0.
struct ControlSetup {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    bool operator==(const ControlSetup&) const = default;
};

// One device's default control endpoint. Implemented over libusb and over
// the chip model.
class ControlTransport {
public:
    virtual ~ControlTransport() = default;
    // Performs one transfer with `data` (wLength bytes) as its data stage:
    // sent for host-to-device, overwritten from byte 0 for device-to-host.
    // Returns 0 on success, otherwise a negative platform code.
    virtual int32_t controlTransfer(const ControlSetup& setup, std::span<uint8_t> data) = 0;
};

// The code of a host-to-device transfer that moved fewer bytes than asked:
// the chip did not take the whole frame, so the request failed. It lies
// outside libusb's own codes. A short device-to-host reply is no failure:
// its buffer was pre-filled.
inline constexpr int32_t kShortOutTransfer = -1001;

struct USBMonitorData {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    bool operator==(const USBMonitorData&) const = default;
};

// Where a device sits: its bus, the hub ports from the root hub down (the
// kernel's "1-3.2" is bus 1, ports {3, 2}) and its address on the bus. The
// port path stays while the device stays in the same port; the address
// changes at every attachment.
struct USBLocation {
    uint8_t bus = 0;
    std::vector<uint8_t> ports;
    uint8_t address = 0;
    bool operator==(const USBLocation&) const = default;
    // "1-3.2", or empty when the ports are unknown.
    std::string portPath() const;
};

struct USBDevice {
    uint64_t id = 0;  // same on arrival and removal; 0 when unknown
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string name;  // at most 127 characters, empty when unreadable
    // The opened device; copies of the record share it.
    std::shared_ptr<ControlTransport> deviceInterfacePtrPtr;
    // What keeps the platform's device object alive, if anything.
    std::shared_ptr<void> plugInInterfacePtrPtr;
    // Where it is plugged in, for telling the user which chip was meant:
    // the bus (0 when unknown) and the hub ports from the root ({4}, or
    // {2, 3} behind a hub; empty when unknown).
    uint8_t busNumber = 0;
    std::vector<uint8_t> portNumbers = {};
    // The device's place for ChipHold: its device node, empty for a chip
    // that lives in this process.
    std::string node = {};
    uint8_t address = 0;  // on the bus; 0 when unknown
    USBLocation location() const { return {busNumber, portNumbers, address}; }
    // The product and, when known, the node: "ZK6121 (/dev/bus/usb/001/002)".
    std::string chipName() const;
};

}  // namespace quorvel
