// The bookkeeping both hot-plug sources keep for their registrations: the
// filter and handlers of each, the lock a running handler holds, and the
// table of registrations by id.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "usb/HotplugSource.h"

namespace quorvel {

struct HotplugRegistration {
    USBMonitorData filter;
    HotplugSource::Handlers handlers;
    std::mutex mutex;  // held while a handler runs
    bool active = true;

    bool matches(uint16_t vendorId, uint16_t productId) const {
        return filter.vendorId == vendorId && filter.productId == productId;
    }
    // Ends the registration once a handler running now has returned; no
    // handler of it runs afterwards.
    void retire() {
        std::lock_guard lock(mutex);
        active = false;
    }
};

// Registrations by id, ids from 1. Not locked itself: the owning source
// guards it with its own mutex.
template <class Registration>
class HotplugRegistrations {
public:
    using Id = HotplugSource::RegistrationId;
    using Map = std::map<Id, std::shared_ptr<Registration>>;

    Id add(std::shared_ptr<Registration> registration) {
        const Id id = next_++;
        table_[id] = std::move(registration);
        return id;
    }
    // Removes and returns it; null when there is none.
    std::shared_ptr<Registration> take(Id id) {
        auto it = table_.find(id);
        if (it == table_.end()) return nullptr;
        auto registration = std::move(it->second);
        table_.erase(it);
        return registration;
    }
    Map takeAll() { return std::exchange(table_, {}); }
    std::shared_ptr<Registration> find(Id id) const {
        auto it = table_.find(id);
        return it == table_.end() ? nullptr : it->second;
    }
    std::vector<std::shared_ptr<Registration>> matching(uint16_t vendorId, uint16_t productId) const {
        std::vector<std::shared_ptr<Registration>> out;
        for (const auto& [id, registration] : table_)
            if (registration->matches(vendorId, productId)) out.push_back(registration);
        return out;
    }

private:
    Map table_;
    Id next_ = 1;
};

}  // namespace quorvel
