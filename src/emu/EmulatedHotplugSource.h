// An in-process hot-plug source: a test or program plugs emulated devices
// in and out, and the source announces them to the registrations whose
// filter matches, exactly as the platform source does (present devices
// inside registration, later ones on its own event thread).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usb/HotplugRegistrations.h"
#include "usb/HotplugSource.h"

namespace quorvel {

struct EmulatedUSBDevice {
    uint64_t id = 0;  // key of add/remove, and the identity announced
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string name;
    std::shared_ptr<ControlTransport> transport;
    uint8_t busNumber = 0;
    std::vector<uint8_t> portNumbers = {};
    uint8_t address = 0;
    USBLocation location() const { return {busNumber, portNumbers, address}; }
    // Failures to act out.
    int32_t openError = 0;      // non-zero: opening fails with this code
    bool accessDenied = false;  // ...for lack of permission
    bool idUnreadable = false;
    bool nameUnreadable = false;
    std::string node = {};  // the place announced; empty: an in-process chip
};

class EmulatedHotplugSource : public HotplugSource {
public:
    EmulatedHotplugSource();
    ~EmulatedHotplugSource() override;

    // Plugs a device in; false when one with this id is already plugged.
    bool add(EmulatedUSBDevice device);
    // Pulls a device out; false when none with this id is plugged.
    bool remove(uint64_t id);
    // Returns once every add and remove so far has been announced.
    void waitIdle();

    int64_t registerFilter(const USBMonitorData& filter, Handlers handlers) override;
    void deregister(RegistrationId registration) override;
    void shutdown() override;

private:
    using Registration = HotplugRegistration;
    struct Event {
        bool arrival = true;
        EmulatedUSBDevice device;
    };

    void run();
    void deliver(const Event& event);
    static HotplugArrival arrivalOf(const EmulatedUSBDevice& device);
    static HotplugRemoval removalOf(const EmulatedUSBDevice& device);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<uint64_t, EmulatedUSBDevice> plugged_;  // after every queued event
    std::map<uint64_t, EmulatedUSBDevice> present_;  // as announced so far
    HotplugRegistrations<Registration> registrations_;
    std::deque<Event> queue_;
    uint64_t queued_ = 0;
    uint64_t delivered_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace quorvel
