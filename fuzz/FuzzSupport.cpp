#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include "model/Alert.h"
#include "model/Preferences.h"
#include "model/Sleeper.h"

namespace quorvel::fuzz {

namespace {

class DroppedAlerts : public AlertSink {
public:
    void alert(const std::string&, const std::string&, AlertStyle) override {}
};

class NoSleep : public Sleeper {
public:
    void sleep(std::chrono::microseconds) override {}
};

class InMemory : public Preferences {
public:
    std::optional<std::string> string(const std::string& key) const override {
        auto it = values_.find(key);
        if (it == values_.end()) return std::nullopt;
        return it->second;
    }
    void setString(const std::string& key, const std::string& value) override { values_[key] = value; }
    void remove(const std::string& key) override { values_.erase(key); }
    void sync() override {}

private:
    std::map<std::string, std::string> values_;
};

}  // namespace

void fail(const char* file, int line, const char* condition, const std::string& detail) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n  %s\n", file, line, condition, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string escaped(std::string_view bytes) {
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(ch);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string escaped(std::span<const uint8_t> bytes) {
    return escaped(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void quietSeams() {
    setAlertSink(std::make_shared<DroppedAlerts>());
    setSleeper(std::make_shared<NoSleep>());
    setPreferences(std::make_shared<InMemory>());
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

}  // namespace quorvel::fuzz
