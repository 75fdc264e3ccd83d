// Machine-readable output: one JSON object per line on standard output.
//
// While it is active, whatever the program and its engines print for people
// goes to standard error instead (file descriptor 1 is a pipe that a thread
// of ours drains), so that standard output carries only the events. Each
// progress milestone printed for people is also told as a progress event.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <QJsonObject>

#include "model/Progress.h"

namespace quorvel {

// Sends what is written to standard output (fd 1) to a handler, line by
// line, on a thread of its own, until stop().
class StdoutDiversion {
public:
    using LineHandler = std::function<void(const std::string& line)>;
    // Returns the descriptor of the real standard output, for the caller's
    // own writes; -1 when the diversion could not be set up.
    int start(LineHandler handler);
    // Restores standard output and returns once every line was handled.
    void stop();
    ~StdoutDiversion() { stop(); }

private:
    int saved_ = -1;
    int reader_ = -1;
    std::thread thread_;
};

// A text of ours (UTF-8, or bytes a chip sent) as a JSON string value.
QString qtext(const std::string& text);

class JsonOutput {
public:
    // Starts diverting standard output; events go to the real one.
    JsonOutput();
    ~JsonOutput();
    JsonOutput(const JsonOutput&) = delete;
    JsonOutput& operator=(const JsonOutput&) = delete;

    // {"event":"device", ...fields}
    void device(QJsonObject fields) { event("device", std::move(fields)); }
    // {"event":name, ...fields}
    void event(const char* name, QJsonObject fields);
    // {"event":"result","ok":..,"message":..}; the last event, written once
    // every line printed before it has passed.
    void result(bool ok, const std::string& message);

    // {"event":"progress","phase":"loader"|"firmware","percent":..}
    void progress(UpgradePhase phase, int64_t percent);

    // Lines printed while the diversion runs: to standard error.
    void line(const std::string& text);

private:
    void write(const QJsonObject& object);

    std::mutex mutex_;
    int out_ = -1;
    StdoutDiversion diversion_;
    bool done_ = false;
};

}  // namespace quorvel
