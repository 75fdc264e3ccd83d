// The programs' two outputs for lines: the writer, through which every line
// on standard output or standard error goes, so that lines of the engines
// and of the programs keep their order; and the levelled diagnostic log
// (syslog), which tests may read through a sink of their own.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace quorvel {

// Writes `text` and a line feed, and flushes.
void writeLine(const std::string& text, std::FILE* stream = stdout);

enum class LogLevel { info, error };

using LogSink = std::function<void(LogLevel, const std::string&)>;

void logLine(LogLevel level, const std::string& text);
// printf-style for the "%u" texts.
void logLinef(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Installs a sink (empty restores syslog) and returns the previous one.
LogSink setLogSink(LogSink sink);

}  // namespace quorvel
