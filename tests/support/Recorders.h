// The test doubles of the process-wide seams that record what reached them:
// pauses, alerts and log lines; and the scope that installs one and puts
// the previous one back.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "model/Alert.h"
#include "model/Log.h"
#include "model/Sleeper.h"

namespace quorvel::test {

// Installs a replacement into a seam for the scope of the object.
template <class T, T (*Install)(T)>
class ScopedSeam {
public:
    explicit ScopedSeam(T replacement) : previous_(Install(std::move(replacement))) {}
    ~ScopedSeam() { Install(std::move(previous_)); }
    ScopedSeam(const ScopedSeam&) = delete;
    ScopedSeam& operator=(const ScopedSeam&) = delete;

private:
    T previous_;
};

class NoWaitSleeper : public Sleeper {
public:
    void sleep(std::chrono::microseconds) override {}
};

// Records the pauses instead of spending them, each with what `probe` (when
// set) read as it began, and keeps a clock that only the pauses move on.
class RecordingSleeper : public Sleeper {
public:
    struct Pause {
        std::chrono::microseconds duration;
        int64_t probe;
    };
    std::function<int64_t()> probe;

    void sleep(std::chrono::microseconds duration) override {
        const int64_t seen = probe ? probe() : 0;
        std::lock_guard lock(mutex_);
        pauses_.push_back({duration, seen});
        elapsed_ += duration;
    }
    std::vector<Pause> pauses() const {
        std::lock_guard lock(mutex_);
        return pauses_;
    }
    std::vector<std::chrono::microseconds> waits() const {
        std::vector<std::chrono::microseconds> out;
        for (const auto& p : pauses()) out.push_back(p.duration);
        return out;
    }
    std::vector<int64_t> probes() const {
        std::vector<int64_t> out;
        for (const auto& p : pauses()) out.push_back(p.probe);
        return out;
    }
    std::chrono::nanoseconds elapsed() const {
        std::lock_guard lock(mutex_);
        return elapsed_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        pauses_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<Pause> pauses_;
    std::chrono::nanoseconds elapsed_{0};
};

struct RecordedAlert {
    std::string title, text;
    AlertStyle style = AlertStyle::warning;
    bool operator==(const RecordedAlert&) const = default;
};

class RecordingAlertSink : public AlertSink {
public:
    void alert(const std::string& title, const std::string& text, AlertStyle style) override {
        std::lock_guard lock(mutex_);
        alerts_.push_back({title, text, style});
    }
    std::vector<RecordedAlert> alerts() const {
        std::lock_guard lock(mutex_);
        return alerts_;
    }
    // Each as "title|text".
    std::vector<std::string> joined() const {
        std::vector<std::string> out;
        for (const auto& a : alerts()) out.push_back(a.title + "|" + a.text);
        return out;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        alerts_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<RecordedAlert> alerts_;
};

// Installs a recorder for the scope of the object.
template <class Recorder, class Seam, std::shared_ptr<Seam> (*Install)(std::shared_ptr<Seam>)>
class ScopedRecorder {
public:
    ScopedRecorder() : recorder_(std::make_shared<Recorder>()), scope_(recorder_) {}
    Recorder& operator*() { return *recorder_; }
    Recorder* operator->() { return recorder_.get(); }
    std::shared_ptr<Recorder> get() const { return recorder_; }

private:
    std::shared_ptr<Recorder> recorder_;
    ScopedSeam<std::shared_ptr<Seam>, Install> scope_;
};

using ScopedAlertRecorder = ScopedRecorder<RecordingAlertSink, AlertSink, setAlertSink>;

// The log lines written during the scope.
class ScopedLogCapture {
public:
    ScopedLogCapture()
        : previous_(setLogSink([this](LogLevel level, const std::string& text) {
              std::lock_guard lock(mutex_);
              lines_.push_back({level, text});
          })) {}
    ~ScopedLogCapture() { setLogSink(std::move(previous_)); }
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

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

}  // namespace quorvel::test
