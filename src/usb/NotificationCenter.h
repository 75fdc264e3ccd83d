// A process-wide broadcast of named notifications: observers run on the
// posting thread; registration is thread-safe.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorvel {

using NotificationObject = std::map<std::string, std::any>;

struct Notification {
    std::string name;
    NotificationObject object;
};

class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;
    using Token = uint64_t;

    static NotificationCenter& defaultCenter();

    Token addObserver(const std::string& name, Observer observer);
    void removeObserver(Token token);
    // Calls every observer of `name`, on this thread, in registration order.
    void post(const std::string& name, const NotificationObject& object);

private:
    struct Entry {
        Token token;
        std::string name;
        std::shared_ptr<Observer> observer;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
    Token next_ = 1;
};

inline constexpr const char* USBDeviceConnected = "USBDeviceConnected";
inline constexpr const char* USBDeviceDisconnected = "USBDeviceDisconnected";

}  // namespace quorvel
