#include "usb/libusb/LibusbHotplugSource.h"

#include <libusb.h>

#include <cstdio>
#include <string>

namespace quorvel {

// Its mutex is also held while its devices are opened.
struct LibusbHotplugSource::Registration : HotplugRegistration {
    libusb_hotplug_callback_handle callback = 0;  // under the source's mutex_
    bool hasCallback = false;                     // under the source's mutex_
    std::set<uint64_t> seen;                      // identities announced (or tried) and not yet gone
};

struct LibusbHotplugSource::CallbackTag {
    LibusbHotplugSource* source;
    RegistrationId registration;
};

struct LibusbHotplugSource::Pending {
    RegistrationId registration = 0;
    bool arrived = true;
    uint64_t id = 0;
    libusb_device* device = nullptr;  // a reference, for arrivals
};

struct LibusbHotplugSource::Enumeration {
    RegistrationId registration = 0;
    std::vector<Pending> items;
};

namespace {

// Set while this thread is inside libusb_hotplug_register_callback: the
// devices it reports are the ones present at registration.
thread_local void* tlEnumeration = nullptr;

constexpr size_t kNameBuffer = 128;  // at most 127 characters and the NUL

// The usbfs node libusb opens for the device.
std::string nodeOf(libusb_device* device) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", unsigned{libusb_get_bus_number(device)},
                  unsigned{libusb_get_device_address(device)});
    return node;
}

}  // namespace

LibusbHotplugSource::LibusbHotplugSource() : LibusbHotplugSource(Options{}) {}

LibusbHotplugSource::LibusbHotplugSource(Options options) : options_(options) {
    initError_ = libusb_init(&ctx_);
    if (initError_ < 0) {
        ctx_ = nullptr;
        return;
    }
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        initError_ = LIBUSB_ERROR_NOT_SUPPORTED;
        libusb_exit(ctx_);
        ctx_ = nullptr;
        return;
    }
    thread_ = std::thread([this] { eventLoop(); });
}

LibusbHotplugSource::~LibusbHotplugSource() { shutdown(); }

int LibusbHotplugSource::hotplugCallback(libusb_context*, libusb_device* device, int event, void* userData) {
    auto* tag = static_cast<CallbackTag*>(userData);
    tag->source->onHotplug(tag->registration, device, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    return 0;  // stay armed
}

int64_t LibusbHotplugSource::registerFilter(const USBMonitorData& filter, Handlers handlers) {
    if (!ctx_) return initError_;
    auto registration = std::make_shared<Registration>();
    registration->filter = filter;
    registration->handlers = std::move(handlers);
    // Held until the present devices are announced: an event for this
    // registration that the event thread takes meanwhile waits, so a
    // removal never overtakes the arrival it belongs to.
    std::lock_guard handlerLock(registration->mutex);

    CallbackTag* tag = nullptr;
    RegistrationId id = 0;
    {
        std::lock_guard lock(mutex_);
        if (shutDown_) return LIBUSB_ERROR_NOT_FOUND;
        id = registrations_.add(registration);
        tags_.push_back(std::make_unique<CallbackTag>(CallbackTag{this, id}));
        tag = tags_.back().get();
    }

    Enumeration enumeration{id, {}};
    tlEnumeration = &enumeration;
    libusb_hotplug_callback_handle callback = 0;
    const int r = libusb_hotplug_register_callback(
        ctx_, static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, filter.vendorId, filter.productId, LIBUSB_HOTPLUG_MATCH_ANY,
        [](libusb_context* ctx, libusb_device* device, libusb_hotplug_event event, void* userData) {
            return hotplugCallback(ctx, device, event, userData);
        },
        tag, &callback);
    tlEnumeration = nullptr;

    if (r != LIBUSB_SUCCESS) {
        {
            std::lock_guard lock(mutex_);
            registrations_.take(id);
        }
        for (auto& item : enumeration.items)
            if (item.device) libusb_unref_device(item.device);
        return r;
    }
    {
        std::lock_guard lock(mutex_);
        registration->callback = callback;
        registration->hasCallback = true;
    }
    for (auto& item : enumeration.items) {
        process(registration, item);
        if (item.device) libusb_unref_device(item.device);
    }
    return static_cast<int64_t>(id);
}

void LibusbHotplugSource::deregister(RegistrationId id) {
    std::shared_ptr<Registration> registration;
    {
        std::lock_guard lock(mutex_);
        registration = registrations_.take(id);
        if (!registration) return;
        // Under mutex_, so that shutdown() cannot end libusb meanwhile.
        if (registration->hasCallback) libusb_hotplug_deregister_callback(ctx_, registration->callback);
    }
    registration->retire();
}

void LibusbHotplugSource::shutdown() {
    HotplugRegistrations<Registration>::Map registrations;
    std::vector<std::shared_ptr<LibusbDeviceHandle>> handles;
    {
        std::lock_guard lock(mutex_);
        if (shutDown_ || !ctx_) {
            shutDown_ = true;
            return;
        }
        shutDown_ = true;
        registrations = registrations_.takeAll();
        handles.swap(handles_);
        for (auto& [id, registration] : registrations)
            if (registration->hasCallback) libusb_hotplug_deregister_callback(ctx_, registration->callback);
    }

    std::atomic_ref(stop_).store(1);
    if (thread_.joinable()) {
        // Another thread's event handling may swallow one interrupt, so it
        // is repeated until the loop has seen the flag.
        std::unique_lock lock(exitMutex_);
        while (!loopEnded_) {
            libusb_interrupt_event_handler(ctx_);
            exited_.wait_for(lock, std::chrono::milliseconds(10));
        }
        lock.unlock();
        thread_.join();
    }

    for (auto& [id, registration] : registrations) registration->retire();
    std::deque<Pending> pending;
    {
        std::lock_guard lock(pendingMutex_);
        pending.swap(pending_);
    }
    for (auto& item : pending)
        if (item.device) libusb_unref_device(item.device);
    for (auto& handle : handles) handle->close();
    std::map<libusb_device*, Identity> identities;
    {
        std::lock_guard lock(mutex_);
        identities.swap(identities_);
    }
    for (auto& [device, identity] : identities) libusb_unref_device(device);
    libusb_exit(ctx_);
    std::lock_guard lock(mutex_);
    tags_.clear();
}

void LibusbHotplugSource::onHotplug(RegistrationId registration, libusb_device* device, bool arrived) {
    Pending item;
    item.registration = registration;
    item.arrived = arrived;
    item.id = identityOf(device);
    if (arrived) item.device = libusb_ref_device(device);

    auto* enumeration = static_cast<Enumeration*>(tlEnumeration);
    if (enumeration && enumeration->registration == registration) {
        enumeration->items.push_back(item);
        return;
    }
    {
        std::lock_guard lock(pendingMutex_);
        pending_.push_back(item);
    }
    // This may run inside another thread's event handling: make sure our
    // event thread comes round to the queue.
    libusb_interrupt_event_handler(ctx_);
}

uint64_t LibusbHotplugSource::identityOf(libusb_device* device) {
    std::lock_guard lock(mutex_);
    auto it = identities_.find(device);
    if (it != identities_.end()) return it->second.id;
    const uint8_t bus = libusb_get_bus_number(device);
    const uint8_t address = libusb_get_device_address(device);
    // A new device object at a known bus and address: the earlier one has
    // gone and its removal was announced, so its entry can go.
    for (auto stale = identities_.begin(); stale != identities_.end();) {
        if (stale->second.bus == bus && stale->second.address == address) {
            libusb_unref_device(stale->first);
            stale = identities_.erase(stale);
        } else {
            ++stale;
        }
    }
    const uint32_t serial = nextSerial_++;
    if (nextSerial_ == 0) nextSerial_ = 1;
    const uint64_t id = (uint64_t{bus} << 40) | (uint64_t{address} << 32) | serial;
    identities_[libusb_ref_device(device)] = Identity{id, bus, address};
    return id;
}

void LibusbHotplugSource::eventLoop() {
    while (!std::atomic_ref(stop_).load()) {
        const int r = libusb_handle_events_completed(ctx_, &stop_);
        drainPending();
        if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED && r != LIBUSB_ERROR_TIMEOUT) {
            // A persistent failure of poll() must not turn into a busy loop.
            std::unique_lock lock(exitMutex_);
            exited_.wait_for(lock, std::chrono::milliseconds(100));
        }
    }
    {
        std::lock_guard lock(exitMutex_);
        loopEnded_ = true;
    }
    exited_.notify_all();
}

void LibusbHotplugSource::drainPending() {
    for (;;) {
        Pending item;
        {
            std::lock_guard lock(pendingMutex_);
            if (pending_.empty()) return;
            item = pending_.front();
            pending_.pop_front();
        }
        if (auto registration = find(item.registration)) {
            std::lock_guard handlerLock(registration->mutex);
            process(registration, item);
        }
        if (item.device) libusb_unref_device(item.device);
    }
}

std::shared_ptr<LibusbHotplugSource::Registration> LibusbHotplugSource::find(RegistrationId id) {
    std::lock_guard lock(mutex_);
    return registrations_.find(id);
}

// The caller holds the registration's mutex.
void LibusbHotplugSource::process(const std::shared_ptr<Registration>& registration, const Pending& item) {
    if (!registration->active) return;
    if (item.arrived) {
        // libusb may report a device present at registration a second time
        // from its event queue.
        if (!registration->seen.insert(item.id).second) return;
        const USBLocation location = locationOf(item.device);
        if (!admits(location)) return;
        bool usable = false;
        HotplugArrival arrival = open(item.device, item.id, &usable);
        arrival.address = location.address;
        if (usable && registration->handlers.arrived) registration->handlers.arrived(arrival);
    } else {
        registration->seen.erase(item.id);
        if (registration->handlers.removed) registration->handlers.removed(HotplugRemoval{item.id});
    }
}

// From libusb's own records: no request reaches the device.
USBLocation LibusbHotplugSource::locationOf(libusb_device* device) {
    USBLocation location;
    location.bus = libusb_get_bus_number(device);
    location.address = libusb_get_device_address(device);
    uint8_t ports[8];  // USB 3 allows at most 7 tiers below the root
    const int n = libusb_get_port_numbers(device, ports, sizeof ports);
    if (n > 0) location.ports.assign(ports, ports + n);
    return location;
}

HotplugArrival LibusbHotplugSource::open(libusb_device* device, uint64_t id, bool* usable) {
    HotplugArrival arrival;
    libusb_device_descriptor descriptor{};
    *usable = libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS;
    if (!*usable) return arrival;
    arrival.id = id;
    arrival.vendorId = descriptor.idVendor;
    arrival.productId = descriptor.idProduct;
    arrival.busNumber = libusb_get_bus_number(device);
    uint8_t ports[8] = {};  // USB 3 allows at most 7 tiers below the root
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    if (depth > 0) arrival.portNumbers.assign(ports, ports + depth);
    arrival.node = nodeOf(device);

    libusb_device_handle* raw = nullptr;
    const int r = libusb_open(device, &raw);
    if (r != LIBUSB_SUCCESS) {
        arrival.openError = r;
        arrival.accessDenied = r == LIBUSB_ERROR_ACCESS;
        arrival.name = std::string();  // not read: the device is not open
        return arrival;
    }
    auto handle = std::make_shared<LibusbDeviceHandle>(raw);
    if (descriptor.iProduct == 0) {
        arrival.name = std::string();
    } else {
        unsigned char name[kNameBuffer] = {};
        const int n = libusb_get_string_descriptor_ascii(raw, descriptor.iProduct, name, sizeof name);
        if (n >= 0) arrival.name = std::string(reinterpret_cast<const char*>(name), static_cast<size_t>(n));
    }
    bool kept = false;
    {
        std::lock_guard lock(mutex_);
        if (!shutDown_) {
            handles_.push_back(handle);
            kept = true;
        }
    }
    if (!kept) {  // shut down meanwhile
        handle->close();
        *usable = false;
        return arrival;
    }
    arrival.transport = std::make_shared<LibusbControlTransport>(handle, options_.transferTimeout);
    arrival.platformObject = handle;
    return arrival;
}

}  // namespace quorvel

// The process's default hot-plug source. quorvel_usb_libusb makes every
// program that links it pull this in (see its CMakeLists.txt).
extern "C" quorvel::HotplugSource* quorvel_new_platform_hotplug_source() { return new quorvel::LibusbHotplugSource(); }
