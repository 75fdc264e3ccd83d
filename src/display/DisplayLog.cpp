#include "display/DisplayLog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace quorvel {

namespace {
std::mutex sinkMutex;
DisplayLogSink& currentSink() {
    static DisplayLogSink sink;
    return sink;
}
}  // namespace

void displayLog(LogLevel level, const std::string& text) {
    DisplayLogSink sink;
    {
        std::lock_guard lock(sinkMutex);
        sink = currentSink();
    }
    if (sink) {
        sink(level, text);
        return;
    }
    syslog(level == LogLevel::error ? LOG_ERR : LOG_INFO, "%s", text.c_str());
}

void displayLogf(LogLevel level, const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    displayLog(level, buffer);
}

DisplayLogSink setDisplayLogSink(DisplayLogSink sink) {
    std::lock_guard lock(sinkMutex);
    auto previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

void stdoutLine(const std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace quorvel
