// Every connection and disconnection the device monitors post, in order,
// with the thread that posted it.
#pragma once

#include <any>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "usb/NotificationCenter.h"
#include "usb/USBDevice.h"

namespace quorvel::test {

class AnnouncementRecorder {
public:
    struct Event {
        bool connected;
        USBDevice device;  // connected
        uint64_t id;       // both
        std::thread::id thread;
    };

    AnnouncementRecorder() {
        auto& center = NotificationCenter::defaultCenter();
        tokens_.push_back(center.addObserver(USBDeviceConnected, [this](const Notification& n) { onEvent(true, n); }));
        tokens_.push_back(
            center.addObserver(USBDeviceDisconnected, [this](const Notification& n) { onEvent(false, n); }));
    }
    ~AnnouncementRecorder() {
        for (auto token : tokens_) NotificationCenter::defaultCenter().removeObserver(token);
    }

    std::vector<Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    bool waitForCount(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
    }

    // Called inside every observer call; lets a test slow the handler down.
    std::function<void()> inHandler;

private:
    void onEvent(bool connected, const Notification& n) {
        Event event{connected, {}, 0, std::this_thread::get_id()};
        if (connected) {
            event.device = std::any_cast<USBDevice>(n.object.at("device"));
            event.id = event.device.id;
        } else {
            event.id = std::any_cast<uint64_t>(n.object.at("id"));
        }
        if (inHandler) inHandler();
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        changed_.notify_all();
    }

    std::vector<NotificationCenter::Token> tokens_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

}  // namespace quorvel::test
