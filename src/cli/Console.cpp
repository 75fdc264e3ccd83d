#include "cli/Console.h"

#include <cstdio>
#include <filesystem>

#include "cli/Milestones.h"
#include "model/ChipHold.h"
#include "model/DeviceTable.h"
#include "model/Log.h"
#include "model/Preferences.h"
#include "model/UpgradeGuard.h"
#include "model/Sentinels.h"
#include "model/Settings.h"
#include "display/AUXDisplayManager.h"
#include "display/AuxPacket.h"
#include "usb/USBDeviceMonitor.h"

namespace quorvel {

namespace {
std::string lastSaid;

void say(const std::string& message) {
    lastSaid = message;
    Console::writeMessage(message, OutputType::standard);
}

// Takes the command's chips before anything is sent to them; false (after
// the refusal) when another program is using one.
bool holdFor(ChipHold& hold, const std::vector<std::string>& places) {
    hold = ChipHold::take(places);
    if (!hold.busy()) return true;
    say(std::string("ERROR：") + kDeviceInUse);
    return false;
}

// Runs an upgrade and prints its outcome; any failure is the upgrade's. From
// before its first request to the outcome, the system does not sleep and
// the signals that would end the program wait (`device` names the chip).
bool upgradeReported(const std::string& device, const std::function<void()>& upgrade) {
    UpgradeGuard guard(device);
    bool succeeded = true;
    try {
        upgrade();
    } catch (const std::exception&) {
        succeeded = false;
    }
    guard.sequenceEnded();
    if (!succeeded) {
        say("Upgrade process FAILED.\nPlease replug the device and try again!");
        return false;
    }
    say("\nUpgrade Completed!");
    say("\nPlease unplug and replug the device for checking the firmware version.");
    return true;
}

// What would let the displays that could not be reached be reached.
void sayReachHints() {
    for (const auto& hint : AUXDisplayManager::shared().reachHints()) say(hint);
}
}  // namespace

Console::Console() = default;

const std::string& Console::lastMessage() { return lastSaid; }

Console::~Console() {
    for (auto token : observers_) NotificationCenter::defaultCenter().removeObserver(token);
    for (auto& thread : monitorThreads_) thread.join();  // start() returns once armed
    monitors_.clear();
}

std::vector<USBMonitorData> Console::watchedDevices() {
    std::vector<USBMonitorData> pairs;
    for (const auto& ids : devices::supported) pairs.push_back({ids.vendorId, ids.productId});
    return pairs;
}

std::vector<std::shared_ptr<USBAccess>> Console::devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

void Console::USBConnected(const Notification& notification) {
    auto it = notification.object.find("device");
    if (it == notification.object.end()) return;
    const auto* device = std::any_cast<USBDevice>(&it->second);
    if (!device) return;
    auto access = std::make_shared<USBAccess>(*device);
    std::lock_guard lock(mutex_);
    devices_.push_back(std::move(access));
}

void Console::USBDisconnected(const Notification& notification) {
    auto it = notification.object.find("id");
    if (it == notification.object.end()) return;
    const auto* id = std::any_cast<uint64_t>(&it->second);
    if (!id) return;
    std::lock_guard lock(mutex_);
    mainQueue_.push_back([this, removed = *id] {
        auto found = std::find_if(devices_.begin(), devices_.end(),
                                  [removed](const auto& d) { return d->deviceInfo.id == removed; });
        if (found != devices_.end()) devices_.erase(found);
    });
}

void Console::DeviceMonitorStart() {
    for (const auto& pair : watchedDevices()) {
        monitors_.push_back(std::make_unique<USBDeviceMonitor>(std::vector<USBMonitorData>{pair}));
        monitorThreads_.emplace_back([monitor = monitors_.back().get()] { monitor->start(); });
    }
}

void Console::setNotificationCenter() {
    auto& center = NotificationCenter::defaultCenter();
    observers_.push_back(center.addObserver(USBDeviceConnected, [this](const Notification& n) { USBConnected(n); }));
    observers_.push_back(
        center.addObserver(USBDeviceDisconnected, [this](const Notification& n) { USBDisconnected(n); }));
}

bool Console::waitForMonitors(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool all = true;
    for (const auto& monitor : monitors_) all = monitor->waitUntilStarted(deadline) && all;
    std::lock_guard lock(mutex_);
    while (!mainQueue_.empty()) {
        auto task = std::move(mainQueue_.front());
        mainQueue_.pop_front();
        task();
    }
    return all;
}

void Console::writeMessage(const std::string& message, OutputType to) {
    writeLine(message, to == OutputType::standard ? stdout : stderr);
}

void Console::sayOutcome(const std::string& message) { say(message); }

void Console::helpCommand() {
    const std::string usage = "Usage: QuorvelCLI ";
    say(usage + "[-f | --firmware <firmware bin file>]");
    say(std::string(usage.size(), ' ') + "[-h | --help] [-p | --product] [-v | --version]\n");
    say("  help      List abailable options.");
    say("  version   Version of Quorvel.");
    say("  product   Retrieve the firmware version of connected product.");
    say("  firmware  Upgrade the firmware of the product with provided firmware.");
    say("  aux-product   Retrieve the firmware version of the product behind an external display.");
    say("  aux-firmware  Upgrade the firmware of the product behind an external display.");
    say("  list          List every chip on USB and behind displays, with its firmware version.");
    say("  device        --device <bus>-<ports> | <bus>:<address> | <connector>: work on that chip only.");
    say("  json          --json: one JSON object per line on standard output, for scripts.");
    say("  diagnose      Check the set-up: udev rules, access, i2c-dev, loaders, logind, data folder.");
}

bool Console::GetStatus() {
    const auto list = devices();
    if (list.empty()) {
        say("No device is connected!\nPlease connect the device first.");
        return false;
    }
    connectedDevice = list.front();
    ChipHold hold;
    if (!holdFor(hold, {connectedDevice->deviceInfo.node})) return false;
    std::string version;
    try {
        version = connectedDevice->GetVersion();
    } catch (const std::exception& e) {
        logLine(LogLevel::error, "USB version read failed: " + causeOf(e).describe());
        say(sentinel::replugDevice);
        return false;
    }
    if (version.find("ZK") != std::string::npos || version.find('\0') == std::string::npos) {
        say("Firmware Version of Product: ");
        say(version);
    }
    return version != sentinel::replugDevice;
}

std::optional<Console::ImportedFirmware> Console::importFirmware(const std::string& firmwareFile,
                                                                 bool versionRequired) {
    std::error_code ec;
    if (!std::filesystem::exists(firmwareFile, ec)) {
        say("Incorrect firmware file path imported!");
        return std::nullopt;
    }
    if (firmwareFile.find(".bin") == std::string::npos) {
        say("Incorrect firmware file imported!");
        return std::nullopt;
    }
    say("firmware file was imported!");

    // Stored absolute, so that the stored URL text names the file from any
    // working folder (a relative path would read as a host name).
    const std::string url = FileAccess::fileURLText(std::filesystem::absolute(firmwareFile, ec).string());
    Preferences& prefs = preferences();
    prefs.setString("userSelectedPath", url);
    const auto firstRead = FileAccess::GetBinaryFile(FileAccess::fileURL(url));
    if (!firstRead) {
        say("No firmware file found.");
        return std::nullopt;
    }
    const std::string version = connectedFile.GetFwVersion(SourceModel::BackData(*firstRead));
    say("Firmware Version of File：");
    say(version);

    const auto stored = prefs.string("userSelectedPath");
    if (!stored) {
        selectedPath.clear();
        say("Opened firmware file has been removed!");
        return std::nullopt;
    }
    selectedPath = *stored;
    if (versionRequired && version == "NoFwVersion") {
        say("ERROR：Incorrect firmware file imported!");
        return std::nullopt;
    }

    auto firmware = FileAccess::GetBinaryFile(FileAccess::fileURL(selectedPath));
    if (!firmware || firmware->size() == 1) {
        say("ERROR：Firmware file cannot be read!");
        return std::nullopt;
    }
    // The signature of the bytes that will be written, not of a later read.
    const std::string signature = connectedFile.ChipSignatureOf(*firmware);
    if (signature == sentinel::firmwareFileNotCorrect) {
        say("ERROR：Incorrect firmware file imported!");
        return std::nullopt;
    }
    if (signature == sentinel::noFirmwareFile) {
        say("ERROR：The firmware file cannot be accessed!");
        return std::nullopt;
    }
    // Only the image is written, never the bytes past it.
    firmware->resize(FileAccess::FirmwareImageOf(*firmware)->size());
    return ImportedFirmware{std::move(*firmware), signature};
}

bool Console::USBUpdateProductFirmware(const std::string& firmwareFile) {
    const auto list = devices();
    if (list.empty()) {
        say("No device is connected!\nPlease connect the device first.");
        return false;
    }
    connectedDevice = list.front();
    // Held until the outcome is printed, across the checks and the upgrade.
    ChipHold hold;
    if (!holdFor(hold, {connectedDevice->deviceInfo.node})) return false;

    int64_t chipID = 0;
    try {
        if (connectedDevice->GetVersion() == sentinel::replugDevice) return false;
        chipID = connectedDevice->GetChipID();
    } catch (const std::exception& e) {
        logLine(LogLevel::error, "USB chip identification failed: " + causeOf(e).describe());
        say("ERROR, Incorrect chip ID.");
        return false;
    }

    const auto imported = importFirmware(firmwareFile);
    if (!imported) return false;
    const std::vector<uint8_t>& firmware = imported->bytes;
    const std::string& signature = imported->signature;
    if (!connectedDevice->ConsistencyOfDeviceAndFile(chipID, signature)) {
        say("ERROR：Opened firmware file cannot be used for selected device!");
        return false;
    }

    // Without a sound loader the chip would be erased and left without
    // firmware: stop before touching it.
    const auto loader = FileAccess::GetBinaryFile(FileAccess::fileURL(connectedFile.USBGetCLIISPFilePath(chipID)));
    if (!loader || connectedFile.ISPSignatureOf(*loader) != sentinel::loaderSignature) {
        say("ERROR：ISP file cannot be read!");
        return false;
    }

    const uint16_t product = connectedDevice->deviceInfo.productId;
    maxPktSize = devices::maxPacketSize(product);

    say("Firmware Upgrade Start...");
    MilestoneLines lines(MilestoneRule::leaving, say, milestoneTold);
    return upgradeReported(connectedDevice->deviceInfo.chipName(),
                           [&] { connectedDevice->USBFirmware(*loader, firmware, chipID, lines.observer()); });
}

bool Console::externalScreenAnswers(ChipHold& hold) {
    auto& manager = AUXDisplayManager::shared();
    manager.configureDisplays();
    if (chooseDisplays && !chooseDisplays(manager)) return false;
    if (!holdFor(hold, manager.chipPlacesIntel())) return false;
    const std::string version = manager.readVersionIntel();
    if (serviceMatchDisplayIDIntel != 1) {
        say("No External Screen connected!\nPlease connect the screen first.");
        sayReachHints();
        return false;
    }
    sayReachHints();
    // One screen answered, but the last one asked did not.
    if (version.empty() || version == sentinel::replugDevice) {
        say(sentinel::replugDevice);
        return false;
    }
    AUXdeviceVersion = version;
    return true;
}

bool Console::AUXGetStatus() {
    ChipHold hold;
    if (!externalScreenAnswers(hold)) return false;
    say("Firmware Version of Product: ");
    say(AUXdeviceVersion);
    return true;
}

bool Console::AUXUpdateProductFirmware(const std::string& firmwareFile) {
    // The AUX tab's checks, in its order: the screen's chip, the file's
    // version text, its size and signature, then the loader.
    ChipHold hold;
    if (!externalScreenAnswers(hold)) return false;
    const auto imported = importFirmware(firmwareFile, true);
    if (!imported) return false;

    // The signature of the bytes that will be written.
    const auto loader = FileAccess::GetBinaryFile(FileAccess::fileURL(connectedFile.AUXGetISPFilePath()));
    const std::string loaderSignature = loader ? connectedFile.ISPSignatureOf(*loader)
                                               : std::string("The ISP file cannot be accessed!");
    if (loaderSignature != sentinel::loaderSignature) {
        say(loaderSignature);
        return false;
    }

    say("Firmware Upgrade Start...");
    MilestoneLines lines(MilestoneRule::reaching, say, milestoneTold);
    const ProgressObserver observer = lines.observer();
    // The displays the upgrade will write: those whose chip answered, each bus once.
    std::string screens;
    for (const auto& d : AUXDisplayManager::shared().upgradeTargetsIntel())
        screens += (screens.empty() ? "" : " and ") + d->name +
                   (d->ddc && !d->ddc->place().empty() ? " (" + d->ddc->place() + ")" : "");
    return upgradeReported("the chip behind " + screens, [&] {
        AUXDisplayManager::shared().AUXFirmwareUpgradeIntel(*loader, imported->bytes, aux::stepCount(loader->size()),
                                                            aux::stepCount(imported->bytes.size()), observer);
    });
}

}  // namespace quorvel
