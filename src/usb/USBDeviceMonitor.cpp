#include "usb/USBDeviceMonitor.h"

#include <cstdio>
#include <string>

#include "model/Hex.h"
#include "model/Log.h"
#include "usb/NotificationCenter.h"

namespace quorvel {

namespace {

std::string hex4(uint16_t value) { return hexDigits(value, 4, HexCase::lower); }

constexpr size_t kMaxNameLength = 127;

}  // namespace

USBDeviceMonitor::USBDeviceMonitor(std::vector<USBMonitorData> vp) : vp_(std::move(vp)) {}

USBDeviceMonitor::~USBDeviceMonitor() {
    std::shared_ptr<HotplugSource> source;
    std::vector<HotplugSource::RegistrationId> registrations;
    {
        std::lock_guard lock(stateMutex_);
        source = std::move(source_);
        registrations.swap(registrations_);
    }
    if (source)
        for (auto registration : registrations) source->deregister(registration);
}

void USBDeviceMonitor::start() {
    {
        std::lock_guard lock(stateMutex_);
        if (starting_ || started_) return;
        starting_ = true;
    }
    std::shared_ptr<HotplugSource> source = hotplugSource();
    if (!source) writeLine("No USB hot-plug source: USB devices cannot be watched");
    if (source) {
        {
            std::lock_guard lock(stateMutex_);
            source_ = source;
        }
        for (const USBMonitorData& entry : vp_) {
            HotplugSource::Handlers handlers;
            handlers.arrived = [this](const HotplugArrival& arrival) { rawDeviceAdded(arrival); };
            handlers.removed = [this](const HotplugRemoval& removal) { rawDeviceRemoved(removal); };
            const int64_t registration = source->registerFilter(entry, std::move(handlers));
            if (registration <= 0) {
                writeLine("Could not watch USB devices " + hex4(entry.vendorId) + ":" + hex4(entry.productId) +
                          " (error: " + std::to_string(registration) + ")");
                continue;
            }
            std::lock_guard lock(stateMutex_);
            registrations_.push_back(static_cast<HotplugSource::RegistrationId>(registration));
        }
    }
    {
        std::lock_guard lock(stateMutex_);
        started_ = true;
    }
    startedChanged_.notify_all();
}

bool USBDeviceMonitor::isStarted() const {
    std::lock_guard lock(stateMutex_);
    return started_;
}

bool USBDeviceMonitor::waitUntilStarted(std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock lock(stateMutex_);
    return startedChanged_.wait_until(lock, deadline, [this] { return started_; });
}

void USBDeviceMonitor::rawDeviceAdded(const HotplugArrival& arrival) {
    std::lock_guard lock(handlerMutex_);
    uint64_t id = 0;
    if (arrival.id) id = *arrival.id;
    else writeLine("Error getting device id");
    std::string name;
    if (arrival.name) name = arrival.name->substr(0, kMaxNameLength);
    else writeLine("Error getting device name");

    if (!arrival.transport) {
        if (arrival.openError == 0) {
            writeLine("Unable to get Device Interface");
            return;
        }
        writeLine("Could not open device (error: " + std::to_string(arrival.openError) + ")");
        if (arrival.accessDenied) writeLine(kUSBPermissionHint);
        return;
    }

    USBDevice device;
    device.id = id;
    device.vendorId = arrival.vendorId;
    device.productId = arrival.productId;
    device.name = std::move(name);
    device.node = arrival.node;
    device.address = arrival.address;
    device.deviceInterfacePtrPtr = arrival.transport;
    device.plugInInterfacePtrPtr = arrival.platformObject;
    device.busNumber = arrival.busNumber;
    device.portNumbers = arrival.portNumbers;
    NotificationCenter::defaultCenter().post(USBDeviceConnected, {{"device", device}});
}

void USBDeviceMonitor::rawDeviceRemoved(const HotplugRemoval& removal) {
    std::lock_guard lock(handlerMutex_);
    uint64_t id = 0;
    if (removal.id) id = *removal.id;
    else writeLine("Error getting device id");
    NotificationCenter::defaultCenter().post(USBDeviceDisconnected, {{"id", id}});
}

}  // namespace quorvel
