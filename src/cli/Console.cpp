#include "cli/Console.h"

#include <cstdio>

namespace quorvel {

void Console::writeMessage(const std::string& message, OutputType to) {
    const std::string line = message + "\n";
    std::FILE* stream = to == OutputType::standard ? stdout : stderr;
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

void Console::helpCommand() {
    const std::string usage = "Usage: QuorvelCLI ";
    writeMessage(usage + "[-f | --firmware <firmware bin file>]", OutputType::standard);
    writeMessage(std::string(usage.size(), ' ') + "[-h | --help] [-p | --product] [-v | --version]\n",
                 OutputType::standard);
    writeMessage("  help      List abailable options.", OutputType::standard);
    writeMessage("  version   Version of Quorvel.", OutputType::standard);
    writeMessage("  product   Retrieve the firmware version of connected product.", OutputType::standard);
    writeMessage("  firmware  Upgrade the firmware of the product with provided firmware.",
                 OutputType::standard);
}

}  // namespace quorvel
