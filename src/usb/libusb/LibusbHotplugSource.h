// The platform hot-plug source: libusb hot-plug callbacks filtered by
// vendor and product ID, one libusb context and one event thread of ours.
//
// Identity of a device: (bus << 40) | (address << 32) | attachment serial.
// The serial (32 bits, from 1) is taken when this source first sees a
// libusb device object, so the identity is unique per attachment even when
// the kernel hands a later device the same address, the same on arrival
// and removal, and the same for every registration that matches the device.
//
// Threads: arrivals found inside registration are opened and announced on
// the registering thread before registerFilter() returns; later hot-plug
// events are queued by libusb's callback and handled on our event thread,
// between two rounds of libusb_handle_events, so handlers there may perform
// synchronous transfers. An idle source sleeps in poll(): no CPU.
//
// Device handles stay open until shutdown(), which also deregisters every
// callback, stops the event thread and ends the libusb context; transports
// handed out earlier then fail with LIBUSB_ERROR_NO_DEVICE.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "usb/HotplugRegistrations.h"
#include "usb/HotplugSource.h"
#include "usb/libusb/LibusbControlTransport.h"

struct libusb_context;
struct libusb_device;

namespace quorvel {

class LibusbHotplugSource : public HotplugSource {
public:
    struct Options {
        // Time-out of every control transfer of the transports handed out.
        std::chrono::milliseconds transferTimeout = LibusbControlTransport::kDefaultTimeout;
    };

    LibusbHotplugSource();
    explicit LibusbHotplugSource(Options options);
    ~LibusbHotplugSource() override;  // shutdown()

    // 0 when libusb is up, else the code of libusb_init (or of the missing
    // hot-plug capability); registerFilter() then returns it.
    int initError() const { return initError_; }

    int64_t registerFilter(const USBMonitorData& filter, Handlers handlers) override;
    void deregister(RegistrationId registration) override;
    void shutdown() override;

private:
    struct Registration;
    struct CallbackTag;
    struct Pending;
    struct Enumeration;

    static int hotplugCallback(libusb_context* ctx, libusb_device* device, int event, void* userData);
    void onHotplug(RegistrationId registration, libusb_device* device, bool arrived);
    uint64_t identityOf(libusb_device* device);
    void eventLoop();
    void drainPending();
    void process(const std::shared_ptr<Registration>& registration, const Pending& item);
    HotplugArrival open(libusb_device* device, uint64_t id, bool* usable);
    static USBLocation locationOf(libusb_device* device);
    std::shared_ptr<Registration> find(RegistrationId registration);

    const Options options_;
    libusb_context* ctx_ = nullptr;
    int initError_ = 0;

    std::mutex mutex_;  // registrations, tags, handles, identities, shut-down state
    HotplugRegistrations<Registration> registrations_;
    std::vector<std::unique_ptr<CallbackTag>> tags_;  // freed after libusb_exit
    std::vector<std::shared_ptr<LibusbDeviceHandle>> handles_;
    struct Identity {
        uint64_t id;
        uint8_t bus;
        uint8_t address;
    };
    std::map<libusb_device*, Identity> identities_;  // each holds a device reference
    uint32_t nextSerial_ = 1;
    bool shutDown_ = false;

    std::mutex pendingMutex_;
    std::deque<Pending> pending_;

    int stop_ = 0;  // libusb's completion flag of the event loop (through std::atomic_ref)
    std::mutex exitMutex_;
    std::condition_variable exited_;
    bool loopEnded_ = false;
    std::thread thread_;
};

}  // namespace quorvel
