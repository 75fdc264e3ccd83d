// Diagnostics of the display road: syslog at info and error priority.
// Tests may install a sink to read the lines.
#pragma once

#include <functional>
#include <string>

namespace quorvel {

enum class LogLevel { info, error };

using DisplayLogSink = std::function<void(LogLevel, const std::string&)>;

void displayLog(LogLevel level, const std::string& text);
// printf-style for the "%u" texts.
void displayLogf(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Installs a sink (empty restores syslog) and returns the previous one.
DisplayLogSink setDisplayLogSink(DisplayLogSink sink);

// A line on standard output, written as the other diagnostic lines are.
void stdoutLine(const std::string& line);

}  // namespace quorvel
