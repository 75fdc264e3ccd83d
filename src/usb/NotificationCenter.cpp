#include "usb/NotificationCenter.h"

namespace quorvel {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, Observer observer) {
    std::lock_guard lock(mutex_);
    const Token token = next_++;
    entries_.push_back({token, name, std::make_shared<Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(const std::string& name, const NotificationObject& object) {
    // Observers are called without the lock, so that they may register or
    // post themselves.
    std::vector<std::shared_ptr<Observer>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_)
            if (e.name == name) targets.push_back(e.observer);
    }
    const Notification notification{name, object};
    for (const auto& observer : targets) (*observer)(notification);
}

}  // namespace quorvel
