#include "display/DisplayLog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

#include "model/Replaceable.h"

namespace quorvel {

namespace {
void toSyslog(LogLevel level, const std::string& text) {
    syslog(level == LogLevel::error ? LOG_ERR : LOG_INFO, "%s", text.c_str());
}

Replaceable<DisplayLogSink>& seam() {
    static Replaceable<DisplayLogSink> s([] { return DisplayLogSink(toSyslog); });
    return s;
}
}  // namespace

void displayLog(LogLevel level, const std::string& text) { seam().get()(level, text); }

void displayLogf(LogLevel level, const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    displayLog(level, buffer);
}

DisplayLogSink setDisplayLogSink(DisplayLogSink sink) { return seam().replace(std::move(sink)); }

void stdoutLine(const std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace quorvel
