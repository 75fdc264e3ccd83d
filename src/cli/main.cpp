// QuorvelCLI: reads or upgrades the firmware of a chip on USB.
#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include <csignal>

#include "cli/Console.h"
#include "model/UpgradeGuard.h"
#include "model/Log.h"
#include "usb/HotplugSource.h"

using namespace quorvel;

namespace {

std::string softwareVersion;
std::vector<std::string> arguments;

void print(const std::string& text) { writeLine(text); }

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

namespace {
int run() {
    print(std::string(50, '='));
    print("Quorvel(CLI)");
    print(std::string(50, '-'));

    softwareVersion = QUORVEL_VERSION;

    Console consoleIO;

    // Device watching starts only for the commands that use a device, and
    // the wait ends once the devices present at start are known; five
    // seconds stay the bound.
    const auto waitForDevices = [&consoleIO] {
        consoleIO.setNotificationCenter();
        consoleIO.DeviceMonitorStart();
        consoleIO.waitForMonitors(std::chrono::seconds(5));
    };

    int status = 0;
    const std::string option = arguments.size() > 1 ? lowercased(arguments[1]) : std::string();
    if (option == "--version" || option == "-v") {
        print("\nSoftware Version: " + softwareVersion + "\n");
    } else if (option == "--product" || option == "-p") {
        waitForDevices();
        status = consoleIO.GetStatus() ? 0 : 1;
    } else if ((option == "--firmware" || option == "-f") && arguments.size() == 3) {
        waitForDevices();
        status = consoleIO.USBUpdateProductFirmware(arguments[2]) ? 0 : 1;
    } else if (option == "--aux-product") {
        status = consoleIO.AUXGetStatus() ? 0 : 1;
    } else if (option == "--aux-firmware" && arguments.size() == 3) {
        status = consoleIO.AUXUpdateProductFirmware(arguments[2]) ? 0 : 1;
    } else if (option == "--aux-firmware") {
        Console::writeMessage("Usage： QuorvelCLI --aux-firmware <firmware bin file>", OutputType::standard);
    } else if (option == "--firmware" || option == "-f") {
        Console::writeMessage("Usage： QuorvelCLI --firmware <firmware bin file>", OutputType::standard);
    } else if (option == "--help" || option == "-h") {
        consoleIO.helpCommand();
    } else {
        print("\nFor more information: QuorvelCLI --help\n");
    }

    // A signal deferred during the upgrade: the program ends now that the
    // outcome is out.
    if (DeferredSignals::received() != 0) endAfterDeferredSignal(status);

    print(std::string(50, '-'));
    print("Quorvel firmware upgrade tool - (c) 2026 the Quorvel developers");
    print(std::string(50, '='));
    return status;
}
}  // namespace

int main(int argc, char** argv) {
    // A closed pipe on standard output ends nothing: the write fails, the
    // upgrade goes on.
    std::signal(SIGPIPE, SIG_IGN);
    arguments.assign(argv, argv + argc);
    const int status = run();
    // The monitors are gone with the driver; now USB can be released.
    shutdownDefaultHotplugSource();
    return status;
}
