#include "cli/Operations.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <tuple>

#include <QJsonObject>
#include <QString>

#include "cli/Console.h"
#include "cli/JsonOutput.h"
#include "display/AUXDisplayManager.h"
#include "model/ChipHold.h"
#include "model/DeviceTable.h"
#include "model/Hex.h"
#include "model/Sentinels.h"
#include "model/Settings.h"
#include "usb/HotplugSource.h"

namespace quorvel {

namespace {

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Lower case as lsusb writes IDs; upper case in product and chip names.
std::string hex(unsigned value, int digits, bool upper = false) {
    return hexDigits(value, digits, upper ? HexCase::upper : HexCase::lower);
}

// "1-3.2" where the port path is known, else "1:5".
std::string usbName(const USBLocation& location) {
    const std::string path = location.portPath();
    return path.empty() ? std::to_string(location.bus) + ":" + std::to_string(location.address) : path;
}

// "usb 1-3 ZK6121 7e51:6121": where --list's line for a USB chip starts.
std::string usbLineStart(const USBDevice& device) {
    return "usb " + usbName(device.location()) + " " + devices::productName(device.productId) + " " +
           hex(device.vendorId, 4) + ":" + hex(device.productId, 4);
}

QJsonObject usbFields(const USBDevice& device) {
    return {{"road", "usb"},
            {"location", qtext(usbName(device.location()))},
            {"address", qtext(std::to_string(device.busNumber) + ":" + std::to_string(device.address))},
            {"product", qtext(devices::productName(device.productId))},
            {"vendorId", qtext(hex(device.vendorId, 4))},
            {"productId", qtext(hex(device.productId, 4))}};
}

struct DisplayEntry {
    std::shared_ptr<OtherDisplay> display;
    std::string connector;
    std::string edidName;
    std::optional<uint32_t> bus;
};

std::vector<DisplayEntry> externalDisplays() {
    std::vector<DisplayEntry> entries;
    for (const auto& d : AUXDisplayManager::shared().getOtherDisplays()) {
        DisplayEntry e{d, d->connectorName(), AUXDisplayManager::rawName(d->connector), std::nullopt};
        if (d->ddc) e.bus = d->ddc->framebuffer;
        entries.push_back(std::move(e));
    }
    return entries;
}

QJsonObject displayFields(const DisplayEntry& e) {
    QJsonObject fields{{"road", "aux"}, {"connector", qtext(e.connector)}, {"name", qtext(e.edidName)}};
    if (e.bus) fields.insert("bus", qtext("/dev/i2c-" + std::to_string(*e.bus)));
    return fields;
}

void note(const std::string& text) { Console::writeMessage(text, OutputType::error); }

}  // namespace

bool takeOperationOptions(std::vector<std::string>& arguments, OperationOptions& options) {
    for (size_t i = 1; i < arguments.size();) {
        const std::string option = lowercased(arguments[i]);
        if (option == "--json") {
            options.json = true;
            arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i));
        } else if (option == "--device") {
            if (i + 1 >= arguments.size()) return false;
            options.device.emplace(arguments[i + 1]);
            arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                            arguments.begin() + static_cast<std::ptrdiff_t>(i + 2));
        } else {
            ++i;
        }
    }
    return true;
}

std::string noMatchMessage(const DeviceSelector& selector) {
    return "ERROR：No device matches " + selector.text() + ".";
}

std::string quotedText(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x" + hex(c, 2);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void admitSelectedUsbDevice(const OperationOptions& options) {
    if (!options.device) return;
    if (auto source = hotplugSource())
        source->setAdmission([selector = *options.device](const USBLocation& l) { return selector.matches(l); });
}

bool chooseUsbDevice(Console& console, const OperationOptions& options, JsonOutput* json) {
    const auto devices = console.devices();
    if (options.device && devices.empty()) {
        Console::sayOutcome(noMatchMessage(*options.device));
        return false;
    }
    if (devices.empty()) return true;  // the command says there is none
    const USBDevice& used = devices.front()->deviceInfo;
    if (!options.device && devices.size() > 1)
        note("Using usb " + usbName(used.location()) + " (" + devices::productName(used.productId) +
             "), the first of " + std::to_string(devices.size()) +
             " connected devices; choose one with --device (see QuorvelCLI --list).");
    if (json) json->device(usbFields(used));
    return true;
}

void chooseDisplay(Console& console, const OperationOptions& options, JsonOutput* json) {
    // Made on the list the command builds itself, so that the buses are
    // scanned once.
    console.chooseDisplays = [selector = options.device, json](AUXDisplayManager& manager) {
        auto entries = externalDisplays();
        if (selector) {
            std::erase_if(entries, [&](const DisplayEntry& e) { return !selector->matchesConnector(e.connector); });
            if (entries.empty()) {
                Console::sayOutcome(noMatchMessage(*selector));
                return false;
            }
            const auto all = manager.displays();
            manager.clearDisplays();
            for (const auto& d : all)
                if (selector->matchesConnector(d->connectorName())) manager.addDisplay(d);
        } else if (entries.size() > 1) {
            std::string names;
            for (const auto& e : entries) names += (names.empty() ? "" : ", ") + e.connector;
            note("Every external display is used (" + names + "); choose one with --device (see QuorvelCLI --list).");
        }
        if (json)
            for (const auto& e : entries) json->device(displayFields(e));
        return true;
    };
}

int listDevices(Console& console, const OperationOptions& options, JsonOutput* json, std::string& outcome) {
    std::vector<std::string> lines;
    // What the engines print while the chips are asked goes to standard
    // error, so that standard output is the list alone.
    std::optional<StdoutDiversion> diversion;
    if (!json)
        diversion.emplace().start([](const std::string& line) { Console::writeMessage(line, OutputType::error); });

    auto usb = console.devices();
    std::sort(usb.begin(), usb.end(), [](const auto& a, const auto& b) {
        const USBLocation x = a->deviceInfo.location(), y = b->deviceInfo.location();
        return std::tie(x.bus, x.ports, x.address) < std::tie(y.bus, y.ports, y.address);
    });
    for (const auto& access : usb) {
        const USBDevice& info = access->deviceInfo;
        std::optional<std::string> version;
        std::optional<int64_t> chip;
        // A chip another command is working on is listed, not asked.
        const ChipHold hold = ChipHold::take(info.node);
        if (hold.busy()) {
            lines.push_back(usbLineStart(info) + " chip ? in use");
            if (json) {
                QJsonObject fields = usbFields(info);
                fields.insert("answered", false);
                fields.insert("inUse", true);
                json->device(fields);
            }
            continue;
        }
        try {
            version = access->GetVersion();
            if (*version == sentinel::replugDevice) version.reset();
            else chip = access->GetChipID();
        } catch (const std::exception&) {
        }
        lines.push_back(usbLineStart(info) + " chip " +
                        (chip ? "0x" + hex(static_cast<unsigned>(*chip), 2, true) : std::string("?")) + " " +
                        (version ? quotedText(*version) : "no answer"));
        if (json) {
            QJsonObject fields = usbFields(info);
            fields.insert("answered", version.has_value());
            if (version) fields.insert("version", qtext(*version));
            if (chip) fields.insert("chip", qtext("0x" + hex(static_cast<unsigned>(*chip), 2, true)));
            json->device(fields);
        }
    }

    AUXDisplayManager::shared().configureDisplays();
    // Connectors that share a bus lead to one chip: it is listed, and asked,
    // once, under the first of them.
    std::set<uint32_t> busesListed;
    for (const DisplayEntry& e : externalDisplays()) {
        if (options.device && !options.device->matchesConnector(e.connector)) continue;
        if (e.bus && !busesListed.insert(*e.bus).second) continue;
        // One version read on this display's bus; whether a chip model
        // answered is what the read itself found.
        const ChipHold hold = ChipHold::take(e.bus ? "/dev/i2c-" + std::to_string(*e.bus) : std::string());
        if (hold.busy()) {
            lines.push_back("aux " + e.connector + " " + quotedText(e.edidName) + " /dev/i2c-" +
                            std::to_string(*e.bus) + " in use");
            if (json) {
                QJsonObject fields = displayFields(e);
                fields.insert("answered", false);
                fields.insert("inUse", true);
                json->device(fields);
            }
            continue;
        }
        serviceMatchDisplayIDIntel = 0;
        const std::string version = e.display->setupCurrentICVersionIntel();
        const bool answered = serviceMatchDisplayIDIntel == 1 && !version.empty();
        lines.push_back("aux " + e.connector + " " + quotedText(e.edidName) + " " +
                        (e.bus ? "/dev/i2c-" + std::to_string(*e.bus) : std::string("-")) + " " +
                        (answered ? quotedText(version) : "no answer"));
        if (json) {
            QJsonObject fields = displayFields(e);
            fields.insert("answered", answered);
            if (answered) fields.insert("version", qtext(version));
            json->device(fields);
        }
    }
    serviceMatchDisplayIDIntel = 0;
    diversion.reset();

    if (lines.empty()) {
        outcome = options.device ? noMatchMessage(*options.device) : "No device is connected!";
        if (!json) Console::writeMessage(outcome, OutputType::standard);
        return 1;
    }
    outcome = std::to_string(lines.size()) + (lines.size() == 1 ? " device" : " devices");
    if (!json)
        for (const auto& line : lines) Console::writeMessage(line, OutputType::standard);
    return 0;
}

}  // namespace quorvel
