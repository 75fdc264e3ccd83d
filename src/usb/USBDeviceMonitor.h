// Watches the USB bus for devices with given vendor and product IDs and
// announces them through the process-wide notification centre:
// "USBDeviceConnected" with {"device": USBDevice} when one is opened and
// identified, "USBDeviceDisconnected" with {"id": uint64_t} when it goes.
// The monitor keeps no list of devices; subscribers keep their own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "usb/HotplugSource.h"
#include "usb/USBDevice.h"

namespace quorvel {

class USBDeviceMonitor {
public:
    // Stores the filter list; watches nothing yet.
    explicit USBDeviceMonitor(std::vector<USBMonitorData> vp);
    // Stops watching. (A program's monitors live until it ends; tests make
    // short-lived ones.)
    ~USBDeviceMonitor();
    USBDeviceMonitor(const USBDeviceMonitor&) = delete;
    USBDeviceMonitor& operator=(const USBDeviceMonitor&) = delete;

    const std::vector<USBMonitorData>& vp() const { return vp_; }

    // Arms the watch for every entry of vp() in order, with the process's
    // hot-plug source (hotplugSource()), and announces the matching devices
    // already attached on the calling thread before it returns. Later
    // arrivals and removals are announced on the source's event thread, so
    // start() needs no run loop and returns once everything is armed; a
    // caller may still run it as the body of a thread of its own. Handlers
    // of one monitor never run at the same time. A second call does nothing.
    void start();

    // True once start() has armed every entry and announced the devices
    // present. Waiting for this (bounded) replaces a fixed sleep before the
    // first device command: for monitors started on their own threads,
    // call waitUntilStarted(deadline) on each with one common deadline.
    bool isStarted() const;
    bool waitUntilStarted(std::chrono::steady_clock::time_point deadline) const;

    // The handlers the source calls: one arrival or removal each. They post
    // the notifications and write the diagnostic lines to standard output.
    void rawDeviceAdded(const HotplugArrival& arrival);
    void rawDeviceRemoved(const HotplugRemoval& removal);

private:
    const std::vector<USBMonitorData> vp_;
    std::mutex handlerMutex_;  // one handler at a time
    mutable std::mutex stateMutex_;
    mutable std::condition_variable startedChanged_;
    bool starting_ = false;
    bool started_ = false;
    std::shared_ptr<HotplugSource> source_;
    std::vector<HotplugSource::RegistrationId> registrations_;
};

// The line added after "Could not open device (error: N)" when the
// platform refused the open for lack of permission.
inline constexpr const char* kUSBPermissionHint =
    "No permission to open the USB device: install Quorvel's udev rules "
    "(they give the logged-in user access), then replug the device.";

}  // namespace quorvel
