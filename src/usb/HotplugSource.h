// The hot-plug seam: where USB devices of given vendor and product IDs come
// from. The platform source is libusb (src/usb/libusb); tests and the
// emulator install an in-process one (src/emu/EmulatedHotplugSource).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "usb/USBDevice.h"

namespace quorvel {

// One matching device that appeared, as far as the source could open and
// identify it.
struct HotplugArrival {
    // Identity, the same on arrival and removal and for every registration
    // that sees the device; empty when it could not be read.
    std::optional<uint64_t> id;
    // Product string (at most 127 characters; empty when the device has
    // none); empty optional when reading it failed.
    std::optional<std::string> name;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    // The device node (/dev/bus/usb/BBB/DDD); empty when there is none.
    std::string node;
    // The opened device; null when opening failed (see openError).
    std::shared_ptr<ControlTransport> transport;
    // Whatever keeps the platform's device object alive, if anything.
    std::shared_ptr<void> platformObject;
    // The platform's code when opening failed (negative), else 0.
    int32_t openError = 0;
    // Opening failed because the user may not access the device.
    bool accessDenied = false;
    // Bus number (0 when unknown) and hub ports from the root.
    uint8_t busNumber = 0;
    std::vector<uint8_t> portNumbers = {};
    uint8_t address = 0;
};

struct HotplugRemoval {
    std::optional<uint64_t> id;  // empty when it could not be read
};

class HotplugSource {
public:
    struct Handlers {
        std::function<void(const HotplugArrival&)> arrived;
        std::function<void(const HotplugRemoval&)> removed;
    };
    using RegistrationId = uint64_t;

    virtual ~HotplugSource() = default;

    // Watches for devices with exactly this vendor and product ID.
    // Devices already present are reported through `arrived` before this
    // returns, on the calling thread; later arrivals and removals come on
    // the source's own event thread. Handlers of one registration never run
    // at the same time. Returns the registration (> 0), or a negative
    // platform code when the source cannot watch.
    virtual int64_t registerFilter(const USBMonitorData& filter, Handlers handlers) = 0;

    // Stops a registration. When this returns, none of its handlers runs or
    // will run. Must not be called from one of its own handlers.
    virtual void deregister(RegistrationId registration) = 0;

    // Ends every registration and releases the platform (device handles,
    // threads). Transports handed out earlier fail from then on. Used at the
    // end of a program and by tests; the source is unusable afterwards.
    virtual void shutdown() {}

    // Only devices at a location this accepts are opened and announced;
    // the others are left alone entirely (no request reaches them). Set it
    // before registering; null admits every device.
    using Admission = std::function<bool(const USBLocation&)>;
    virtual void setAdmission(Admission admission) { admission_ = std::move(admission); }

protected:
    bool admits(const USBLocation& location) const { return !admission_ || admission_(location); }

private:
    Admission admission_;
};

// The source that monitors use: the one installed last, or else the
// platform's default (libusb, created on first use, when the program links
// quorvel_usb_libusb); null when there is neither.
std::shared_ptr<HotplugSource> hotplugSource();

// Installs `source` for the whole process (null: back to the default) and
// returns the one installed before. Monitors started earlier keep theirs.
std::shared_ptr<HotplugSource> installHotplugSource(std::shared_ptr<HotplugSource> source);

// Shuts the default platform source down if it was created (releases
// libusb), so that a program or test can end cleanly; a later
// hotplugSource() creates a fresh one.
void shutdownDefaultHotplugSource();

}  // namespace quorvel

// Provided by the platform library (quorvel_usb_libusb) a program links;
// absent otherwise.
extern "C" quorvel::HotplugSource* quorvel_new_platform_hotplug_source() __attribute__((weak));
