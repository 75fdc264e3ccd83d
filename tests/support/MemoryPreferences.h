// Preferences kept in memory, so that tests never read or write the
// user's own.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "model/Preferences.h"

namespace quorvel {

class MemoryPreferences : public Preferences {
public:
    std::optional<std::string> string(const std::string& key) const override;
    void setString(const std::string& key, const std::string& value) override;
    void remove(const std::string& key) override;
    void sync() override {}

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> values_;
};

inline std::optional<std::string> MemoryPreferences::string(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

inline void MemoryPreferences::setString(const std::string& key, const std::string& value) {
    std::lock_guard lock(mutex_);
    values_[key] = value;
}

inline void MemoryPreferences::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    values_.erase(key);
}

}  // namespace quorvel
