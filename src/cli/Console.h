// The command-line driver: console output and the two device commands.
#pragma once

#include <string>

namespace quorvel {

enum class OutputType { error, standard };

class Console {
public:
    // The message and a line feed, on standard output or standard error.
    static void writeMessage(const std::string& message, OutputType to);
    void helpCommand();
};

}  // namespace quorvel
