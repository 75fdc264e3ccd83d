// QuorvelCLI: reads or upgrades the firmware of a chip on USB.
#include <algorithm>
#include <chrono>
#include <optional>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Console.h"
#include "cli/Diagnose.h"
#include "cli/JsonOutput.h"
#include "cli/Operations.h"
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

// The outcome as one text: the command's last message without the line
// feeds around it.
std::string trimmed(std::string text) {
    while (!text.empty() && text.front() == '\n') text.erase(text.begin());
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

int run() {
    OperationOptions ops;
    const bool optionsSound = takeOperationOptions(arguments, ops);
    // Before the banner, so that in JSON mode every text line goes to
    // standard error.
    std::optional<JsonOutput> json;
    if (ops.json) json.emplace();
    JsonOutput* events = json ? &*json : nullptr;
    std::optional<std::string> outcome;  // the result's message, when not the last one printed

    const std::string first = optionsSound && arguments.size() > 1 ? lowercased(arguments[1]) : std::string();
    if (first == "--list") {
        // A list for scripts: only its lines on standard output.
        Console consoleIO;
        admitSelectedUsbDevice(ops);
        consoleIO.setNotificationCenter();
        consoleIO.DeviceMonitorStart();
        consoleIO.waitForMonitors(std::chrono::seconds(5));
        std::string message;
        const int status = listDevices(consoleIO, ops, events, message);
        if (events) events->result(status == 0, message);
        return status;
    }

    print(std::string(50, '='));
    print("Quorvel(CLI)");
    print(std::string(50, '-'));

    softwareVersion = QUORVEL_VERSION;

    Console consoleIO;
    if (events)
        consoleIO.milestoneTold = [events](UpgradePhase phase, int64_t percent) { events->progress(phase, percent); };

    // Device watching starts only for the commands that use a device, and
    // the wait ends once the devices present at start are known; five
    // seconds stay the bound.
    const auto waitForDevices = [&consoleIO, &ops] {
        admitSelectedUsbDevice(ops);
        consoleIO.setNotificationCenter();
        consoleIO.DeviceMonitorStart();
        consoleIO.waitForMonitors(std::chrono::seconds(5));
    };

    int status = 0;
    const std::string option = arguments.size() > 1 ? lowercased(arguments[1]) : std::string();
    if (!optionsSound) {
        outcome = "Usage： QuorvelCLI --device <device> [--json] <command>";
        Console::writeMessage(*outcome, OutputType::standard);
        status = 1;
    } else if (option == "--version" || option == "-v") {
        print("\nSoftware Version: " + softwareVersion + "\n");
        outcome = "Software Version: " + softwareVersion;
    } else if (option == "--product" || option == "-p") {
        waitForDevices();
        status = chooseUsbDevice(consoleIO, ops, events) && consoleIO.GetStatus() ? 0 : 1;
    } else if ((option == "--firmware" || option == "-f") && arguments.size() == 3) {
        waitForDevices();
        status = chooseUsbDevice(consoleIO, ops, events) && consoleIO.USBUpdateProductFirmware(arguments[2]) ? 0 : 1;
    } else if (option == "--aux-product") {
        chooseDisplay(consoleIO, ops, events);
        status = consoleIO.AUXGetStatus() ? 0 : 1;
    } else if (option == "--aux-firmware" && arguments.size() == 3) {
        chooseDisplay(consoleIO, ops, events);
        status = consoleIO.AUXUpdateProductFirmware(arguments[2]) ? 0 : 1;
    } else if (option == "--diagnose") {
        std::string message;
        status = runDiagnosis(events, message);
        outcome = message;
    } else if (option == "--aux-firmware") {
        outcome = "Usage： QuorvelCLI --aux-firmware <firmware bin file>";
        Console::writeMessage(*outcome, OutputType::standard);
    } else if (option == "--firmware" || option == "-f") {
        outcome = "Usage： QuorvelCLI --firmware <firmware bin file>";
        Console::writeMessage(*outcome, OutputType::standard);
    } else if (option == "--help" || option == "-h") {
        consoleIO.helpCommand();
        outcome = "";
    } else {
        print("\nFor more information: QuorvelCLI --help\n");
        outcome = "For more information: QuorvelCLI --help";
    }

    // A signal deferred during the upgrade: the program ends now that the
    // outcome is out, through the ordinary way out so that the monitors are
    // stopped, the preferences written and a script still gets its result.
    if (DeferredSignals::received() != 0) {
        if (events) events->result(status == 0, outcome.value_or(trimmed(Console::lastMessage())));
        return status;
    }

    print(std::string(50, '-'));
    print("Quorvel firmware upgrade tool - (c) 2026 the Quorvel developers");
    print(std::string(50, '='));
    if (events) events->result(status == 0, outcome.value_or(trimmed(Console::lastMessage())));
    return status;
}
}  // namespace

int main(int argc, char** argv) {
    ignoreClosedPipes();
    arguments.assign(argv, argv + argc);
    const int status = run();
    // The monitors are gone with the driver; now USB can be released.
    shutdownDefaultHotplugSource();
    return status;
}
