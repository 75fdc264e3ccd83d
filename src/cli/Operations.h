// The command line's own options beside the original ones: --device picks
// the chip a command works on, --list shows every chip on both roads,
// --json turns the output into events for scripts.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/DeviceSelector.h"

namespace quorvel {

class Console;
class JsonOutput;

struct OperationOptions {
    std::optional<DeviceSelector> device;
    bool json = false;
};

// Takes "--device SELECTOR" and "--json" out of the arguments wherever they
// stand (after the program's name), so that the rest reads as before.
// False when --device has no value.
bool takeOperationOptions(std::vector<std::string>& arguments, OperationOptions& options);

// The line that says a selector matched nothing.
std::string noMatchMessage(const DeviceSelector& selector);

// Before the USB monitors start: with a selector, only the chosen chip is
// opened at all.
void admitSelectedUsbDevice(const OperationOptions& options);

// Before a USB command runs: false (after printing why) when the selector
// matched no chip. Says on standard error which chip is used when several
// are connected and none was chosen; announces the chip in JSON.
bool chooseUsbDevice(Console& console, const OperationOptions& options, JsonOutput* json);

// Before a display command runs: once the command has its display list,
// a selector limits it to that display (the command ends, after saying so,
// when no external display has that connector); without one, a line on
// standard error says when several displays will be used.
void chooseDisplay(Console& console, const OperationOptions& options, JsonOutput* json);

// --list: every chip, each asked for its version once. Returns the exit
// status; `outcome` is the result's message.
int listDevices(Console& console, const OperationOptions& options, JsonOutput* json, std::string& outcome);

// A version text as one printable, quoted token.
std::string quotedText(const std::string& text);

}  // namespace quorvel
