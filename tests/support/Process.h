// Runs a program as a child with its output captured, bounded in time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quorvel::test {

struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or 128 + signal
    bool timedOut = false;
};

// Runs `argv` with the extra environment `env` (added to this process's),
// killing it after `limit`.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(60));

// Called with the child's pid and all of its standard output so far, each
// time more arrives. Returning false closes our end of the pipe: the child's
// later writes to standard output fail.
using StdoutWatch = std::function<bool(pid_t child, const std::string& out)>;
ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         std::chrono::milliseconds limit, const StdoutWatch& watch);

}  // namespace quorvel::test
