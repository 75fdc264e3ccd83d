// QuorvelCLI: reads or upgrades the firmware of a chip on USB.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Console.h"

using namespace quorvel;

namespace {

std::string softwareVersion;
std::vector<std::string> arguments;

void print(const std::string& text) {
    const std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    print(std::string(50, '='));
    print("Quorvel(CLI)");
    print(std::string(50, '-'));

    softwareVersion = "1.3.1";
    arguments.assign(argv, argv + argc);
    Console consoleIO;

    const int status = 0;
    const std::string option = arguments.size() > 1 ? lowercased(arguments[1]) : std::string();
    if (option == "--version" || option == "-v") {
        print("\nSoftware Version: " + softwareVersion + "\n");
    } else if ((option == "--firmware" || option == "-f") && arguments.size() != 3) {
        Console::writeMessage("Usage： QuorvelCLI --firmware <firmware bin file>", OutputType::standard);
    } else if (option == "--help" || option == "-h") {
        consoleIO.helpCommand();
    } else {
        print("\nFor more information: QuorvelCLI --help\n");
    }

    print(std::string(50, '-'));
    print("Quorvel firmware upgrade tool - (c) 2026 the Quorvel developers");
    print(std::string(50, '='));
    return status;
}
