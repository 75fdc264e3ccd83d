#include "emu/EmulatedHotplugSource.h"

#include <vector>

namespace quorvel {

namespace {
constexpr int64_t kSourceShutDown = -1;
}

EmulatedHotplugSource::EmulatedHotplugSource() : thread_([this] { run(); }) {}

EmulatedHotplugSource::~EmulatedHotplugSource() { shutdown(); }

bool EmulatedHotplugSource::add(EmulatedUSBDevice device) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || plugged_.count(device.id)) return false;
        plugged_[device.id] = device;
        queue_.push_back({true, std::move(device)});
        ++queued_;
    }
    changed_.notify_all();
    return true;
}

bool EmulatedHotplugSource::remove(uint64_t id) {
    {
        std::lock_guard lock(mutex_);
        auto it = plugged_.find(id);
        if (stopping_ || it == plugged_.end()) return false;
        queue_.push_back({false, std::move(it->second)});
        plugged_.erase(it);
        ++queued_;
    }
    changed_.notify_all();
    return true;
}

void EmulatedHotplugSource::waitIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return delivered_ == queued_ || stopping_; });
}

int64_t EmulatedHotplugSource::registerFilter(const USBMonitorData& filter, Handlers handlers) {
    auto registration = std::make_shared<Registration>();
    registration->filter = filter;
    registration->handlers = std::move(handlers);
    // Held from before the registration becomes visible, so that the event
    // thread cannot announce a removal ahead of the arrival announced here.
    std::lock_guard handlerLock(registration->mutex);
    std::vector<EmulatedUSBDevice> present;
    RegistrationId id = 0;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return kSourceShutDown;
        id = registrations_.add(registration);
        for (const auto& [key, device] : present_)
            if (device.vendorId == filter.vendorId && device.productId == filter.productId) present.push_back(device);
    }
    if (registration->handlers.arrived)
        for (const auto& device : present)
            if (admits(device.location())) registration->handlers.arrived(arrivalOf(device));
    return static_cast<int64_t>(id);
}

void EmulatedHotplugSource::deregister(RegistrationId id) {
    std::shared_ptr<Registration> registration;
    {
        std::lock_guard lock(mutex_);
        registration = registrations_.take(id);
    }
    if (registration) registration->retire();
}

void EmulatedHotplugSource::shutdown() {
    HotplugRegistrations<Registration>::Map registrations;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        registrations = registrations_.takeAll();
    }
    changed_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    for (auto& [id, registration] : registrations) registration->retire();
}

void EmulatedHotplugSource::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        Event event = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        deliver(event);
        lock.lock();
        ++delivered_;
        changed_.notify_all();
    }
}

void EmulatedHotplugSource::deliver(const Event& event) {
    std::vector<std::shared_ptr<Registration>> targets;
    {
        std::lock_guard lock(mutex_);
        if (event.arrival) present_[event.device.id] = event.device;
        else present_.erase(event.device.id);
        targets = registrations_.matching(event.device.vendorId, event.device.productId);
    }
    for (const auto& registration : targets) {
        std::lock_guard handlerLock(registration->mutex);
        if (!registration->active) continue;
        if (event.arrival && registration->handlers.arrived && admits(event.device.location()))
            registration->handlers.arrived(arrivalOf(event.device));
        if (!event.arrival && registration->handlers.removed) registration->handlers.removed(removalOf(event.device));
    }
}

HotplugArrival EmulatedHotplugSource::arrivalOf(const EmulatedUSBDevice& device) {
    HotplugArrival arrival;
    if (!device.idUnreadable) arrival.id = device.id;
    if (!device.nameUnreadable) arrival.name = device.name;
    arrival.vendorId = device.vendorId;
    arrival.productId = device.productId;
    arrival.node = device.node;
    arrival.address = device.address;
    arrival.openError = device.openError;
    arrival.accessDenied = device.openError != 0 && device.accessDenied;
    if (device.openError == 0) arrival.transport = device.transport;
    arrival.busNumber = device.busNumber;
    arrival.portNumbers = device.portNumbers;
    return arrival;
}

HotplugRemoval EmulatedHotplugSource::removalOf(const EmulatedUSBDevice& device) {
    HotplugRemoval removal;
    if (!device.idUnreadable) removal.id = device.id;
    return removal;
}

}  // namespace quorvel
