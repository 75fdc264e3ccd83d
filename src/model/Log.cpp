#include "model/Log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

#include "model/Replaceable.h"

namespace quorvel {

namespace {
void toSyslog(LogLevel level, const std::string& text) {
    syslog(level == LogLevel::error ? LOG_ERR : LOG_INFO, "%s", text.c_str());
}

Replaceable<LogSink>& seam() {
    static Replaceable<LogSink> s([] { return LogSink(toSyslog); });
    return s;
}
}  // namespace

void logLine(LogLevel level, const std::string& text) { seam().get()(level, text); }

void logLinef(LogLevel level, const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    logLine(level, buffer);
}

LogSink setLogSink(LogSink sink) { return seam().replace(std::move(sink)); }

void writeLine(const std::string& text, std::FILE* stream) {
    const std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

}  // namespace quorvel
