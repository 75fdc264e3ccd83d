// Fixtures of the display-road tests: a recording sleeper, a log capture,
// an alert capture and one emulated external display with its chip.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "model/Log.h"
#include "display/DisplayPlatform.h"
#include "display/Edid.h"
#include "emu/EdidBuilder.h"
#include "display/IntelDDC.h"
#include "emu/AuxEmulatedPlatform.h"
#include "model/Alert.h"
#include "model/Settings.h"
#include "model/Sleeper.h"

namespace quorvel::test {

// Puts the display road's process-wide state back to its initial values,
// so that no test sees what an earlier one left behind.
inline void resetDisplayState() {
    WCRC = 0x1021;
    ISPBufferCount = 0;
    firmwareBufferCount = 0;
    startLength = 0;
    serviceMatchDisplayIDIntel = 0;
    AUXpercentCompleted = 0;
}

// Records the requested pauses, and what the progress read at each, without waiting.
class RecordingSleeper : public Sleeper {
public:
    void sleep(std::chrono::microseconds duration) override {
        std::lock_guard lock(mutex_);
        waits_.push_back(duration);
        progressAtWait_.push_back(AUXpercentCompleted.load());
    }
    std::vector<std::chrono::microseconds> waits() const {
        std::lock_guard lock(mutex_);
        return waits_;
    }
    std::vector<int64_t> progressAtWait() const {
        std::lock_guard lock(mutex_);
        return progressAtWait_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::chrono::microseconds> waits_;
    std::vector<int64_t> progressAtWait_;
};

class ScopedSleeper {
public:
    ScopedSleeper() : sleeper_(std::make_shared<RecordingSleeper>()), previous_(setSleeper(sleeper_)) {}
    ~ScopedSleeper() { setSleeper(previous_); }
    RecordingSleeper& operator*() { return *sleeper_; }
    RecordingSleeper* operator->() { return sleeper_.get(); }

private:
    std::shared_ptr<RecordingSleeper> sleeper_;
    std::shared_ptr<Sleeper> previous_;
};

class ScopedLogCapture {
public:
    ScopedLogCapture()
        : previous_(setLogSink([this](LogLevel level, const std::string& text) {
              std::lock_guard lock(mutex_);
              lines_.push_back({level, text});
          })) {}
    ~ScopedLogCapture() { setLogSink(previous_); }
    std::vector<std::pair<LogLevel, std::string>> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool contains(LogLevel level, const std::string& text) const {
        for (const auto& [l, t] : lines())
            if (l == level && t == text) return true;
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<LogLevel, std::string>> lines_;
    LogSink previous_;
};

class RecordingAlertSink : public AlertSink {
public:
    void alert(const std::string& title, const std::string& text, AlertStyle) override {
        std::lock_guard lock(mutex_);
        alerts.push_back(title + "|" + text);
    }
    std::mutex mutex_;
    std::vector<std::string> alerts;
};

class ScopedAlerts {
public:
    ScopedAlerts() : sink_(std::make_shared<RecordingAlertSink>()), previous_(setAlertSink(sink_)) {}
    ~ScopedAlerts() { setAlertSink(previous_); }
    std::vector<std::string> alerts() {
        std::lock_guard lock(sink_->mutex_);
        return sink_->alerts;
    }

private:
    std::shared_ptr<RecordingAlertSink> sink_;
    std::shared_ptr<AlertSink> previous_;
};

class ScopedDisplayPlatform {
public:
    explicit ScopedDisplayPlatform(DisplayPlatform platform) : previous_(setDisplayPlatform(std::move(platform))) {}
    ~ScopedDisplayPlatform() { setDisplayPlatform(previous_); }

private:
    DisplayPlatform previous_;
};

inline std::vector<uint8_t> patternImage(size_t size, uint32_t seed) {
    std::vector<uint8_t> image(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return image;
}

// Packets the chip saw of one kind, in order.
inline std::vector<emu::AuxTranscriptEntry> packetsOf(const emu::AuxChip& chip, emu::AuxPacketKind kind) {
    std::vector<emu::AuxTranscriptEntry> out;
    for (const auto& e : chip.transcript())
        if (e.kind == kind) out.push_back(e);
    return out;
}

// One external DisplayPort display on bus 3 with a chip behind it.
struct OneDisplay {
    explicit OneDisplay(emu::AuxChip::Options options = {}) : chip(std::make_shared<emu::AuxChip>(options)) {
        host.addDisplay({.type = "DP", .edid = buildEdid({.manufacturer = "QRV", .product = 0x1234, .serial = 77,
                                                         .name = "Office 27"}),
                         .bus = 3, .chip = chip});
    }
    std::unique_ptr<IntelDDC> ddc() { return IntelDDC::create(1, std::nullopt, host.platform()); }

    emu::AuxEmulatedHost host;
    std::shared_ptr<emu::AuxChip> chip;
};

}  // namespace quorvel::test
