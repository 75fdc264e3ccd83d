#include "display/AUXDisplayManager.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>

#include "model/Log.h"
#include "display/Edid.h"
#include "model/Errors.h"
#include "model/Settings.h"

namespace quorvel {

namespace {

constexpr size_t kMaxDisplays = 16;
constexpr uint32_t kDummyVendor = 0xF0F0;

std::optional<EdidInfo> edidOf(const std::optional<ConnectorInfo>& connector) {
    return connector ? parseEdid(connector->edid) : std::nullopt;
}

// "card0-DP-1" is shown as "DP-1", as the window system names its screens.
std::string screenName(const ConnectorInfo& connector) {
    const size_t dash = connector.name.find('-');
    return dash == std::string::npos ? connector.name : connector.name.substr(dash + 1);
}

}  // namespace

AUXDisplayManager& AUXDisplayManager::shared() {
    static AUXDisplayManager instance;
    return instance;
}

std::vector<std::shared_ptr<Display>> AUXDisplayManager::displays() const {
    std::lock_guard lock(mutex_);
    return displays_;
}

void AUXDisplayManager::configureDisplays() { configureDisplays(displayPlatform()); }

void AUXDisplayManager::configureDisplays(const DisplayPlatform& platform) {
    clearDisplays();
    {
        std::lock_guard lock(mutex_);
        hints_.clear();
    }
    const auto connectors = platform.displays ? platform.displays->onlineConnectors(kMaxDisplays) : std::nullopt;
    if (!connectors) {
        logLine(LogLevel::error, "Unable to get display list.");
        return;
    }
    BusReport report;
    size_t externals = 0;
    for (const ConnectorInfo& c : *connectors) {
        if (c.displayID == 0) continue;
        const std::optional<ConnectorInfo> connector = c;
        const std::string name = displayName(connector);
        const auto edid = edidOf(connector);
        std::optional<uint32_t> vendor, model, serial;
        if (edid) {
            vendor = edid->vendor;
            model = edid->product;
            serial = edid->serial;
        }
        const bool isDummyDisplay = dummy(connector);
        const bool isVirtualDisplay = virtualDisplay(connector);
        const std::string text = "ID: " + std::to_string(c.displayID) + ", Name: " + name +
                                 " (Vendor: " + std::to_string(vendor.value_or(0)) +
                                 ", Model: " + std::to_string(model.value_or(0)) + ")";
        std::shared_ptr<Display> record;
        if (!DEBUG_SW && appleDisplay(connector)) {
            record = std::make_shared<AppleDisplay>(c.displayID, name, vendor, model, serial, isVirtualDisplay,
                                                    isDummyDisplay);
            record->connector = c;
            logLine(LogLevel::info, "Apple display found - " + text);
        } else {
            record = std::make_shared<OtherDisplay>(c, *connectors, name, vendor, model, serial, isVirtualDisplay,
                                                    isDummyDisplay, platform, &report);
            if (!isVirtualDisplay) ++externals;
            logLine(LogLevel::info, "Other display found - " + text);
        }
        addDisplay(std::move(record));
    }
    std::map<uint32_t, uint32_t> firstOnBus;
    for (const auto& d : getOtherDisplays()) {
        const auto bus = d->bus();
        if (!bus) continue;
        const auto [first, isFirst] = firstOnBus.emplace(*bus, d->identifier);
        if (!isFirst)
            logLinef(LogLevel::info, "Display %u shares bus i2c-%u with display %u, which alone uses it.",
                     d->identifier, *bus, first->second);
    }
    auto hints = hintsFor(report, externals, platform);
    std::lock_guard lock(mutex_);
    hints_ = std::move(hints);
}

std::vector<std::string> AUXDisplayManager::hintsFor(const BusReport& report, size_t externals,
                                                     const DisplayPlatform& platform) {
    std::vector<std::string> hints;
    if (externals > 0 && platform.buses) {
        const auto buses = platform.buses->buses();
        const bool anyNode = buses && std::any_of(buses->begin(), buses->end(),
                                                  [&](uint32_t n) { return platform.buses->isDisplayAdapter(n); });
        if (!anyNode) hints.push_back(kI2CDevHint);
    }
    if (!report.denied.empty()) {
        std::string nodes;
        for (uint32_t n : report.denied) nodes += (nodes.empty() ? "/dev/i2c-" : ", /dev/i2c-") + std::to_string(n);
        hints.push_back("Hint: no permission to open " + nodes +
                        ": install Quorvel's udev rules (they give the logged-in user access to the I2C buses of "
                        "displays), then run \"udevadm trigger\" as root or restart.");
    }
    for (const auto& [bus, driver] : report.drivers) {
        char client[32];
        std::snprintf(client, sizeof client, "%u-0037", bus);
        hints.push_back("Hint: the kernel driver " + driver + " is bound to address 0x37 on i2c-" +
                        std::to_string(bus) +
                        " and would send traffic of its own during an upgrade: unbind it (as root: echo " + client +
                        " > /sys/bus/i2c/drivers/" + driver + "/unbind) or blacklist it.");
    }
    return hints;
}

std::vector<std::string> AUXDisplayManager::reachHints() const {
    std::lock_guard lock(mutex_);
    return hints_;
}

std::vector<std::shared_ptr<OtherDisplay>> AUXDisplayManager::getOtherDisplays() const {
    std::vector<std::shared_ptr<OtherDisplay>> others;
    for (const auto& d : displays())
        if (auto other = std::dynamic_pointer_cast<OtherDisplay>(d)) others.push_back(std::move(other));
    return others;
}

void AUXDisplayManager::addDisplay(std::shared_ptr<Display> display) {
    std::lock_guard lock(mutex_);
    displays_.push_back(std::move(display));
}

void AUXDisplayManager::clearDisplays() {
    std::lock_guard lock(mutex_);
    displays_.clear();
}

std::string AUXDisplayManager::readVersionM1() {
    std::string version;
    for (const auto& d : getOtherDisplays()) version = d->setupCurrentICVersionM1();
    return version;
}

std::string AUXDisplayManager::readVersionIntel() {
    std::optional<std::string> firstAnswer;
    std::string lastAnswer;
    std::set<uint32_t> asked;
    for (const auto& d : getOtherDisplays()) {
        d->chipAnswered = false;
        // Connectors that share a bus reach one chip: it is asked once, for
        // the first of them.
        if (const auto bus = d->bus(); bus && !asked.insert(*bus).second) continue;
        // A query that fails part way leaves the flag alone; each display
        // must be judged by its own reply.
        serviceMatchDisplayIDIntel = 0;
        lastAnswer = d->setupCurrentICVersionIntel();
        d->chipAnswered = d->ddc && serviceMatchDisplayIDIntel == 1;
        if (d->chipAnswered && !firstAnswer) firstAnswer = lastAnswer;
    }
    // A chip that answered an earlier read must not count when none answers
    // this one; one that answered counts whatever displays follow it.
    serviceMatchDisplayIDIntel = firstAnswer ? 1 : 0;
    return firstAnswer ? *firstAnswer : lastAnswer;
}

std::vector<std::string> AUXDisplayManager::chipPlacesIntel() const {
    std::vector<std::string> places;
    for (const auto& d : getOtherDisplays())
        if (d->ddc) places.push_back(d->ddc->place());
    return places;
}

void AUXDisplayManager::AUXFirmwareUpgradeM1(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                                             uint64_t ramWriteSize, uint64_t flashWriteSize,
                                             const ProgressObserver& observer) {
    for (const auto& d : getOtherDisplays())
        d->setupUpgradeM1(ISPData, firmwareData, ramWriteSize, flashWriteSize, observer);
}

void AUXDisplayManager::AUXFirmwareUpgradeIntel(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                                                uint64_t ramWriteSize, uint64_t flashWriteSize,
                                                const ProgressObserver& observer) {
    for (const auto& d : upgradeTargetsIntel())
        d->setupUpgradeIntel(ISPData, firmwareData, ramWriteSize, flashWriteSize, observer);
}

std::vector<std::shared_ptr<OtherDisplay>> AUXDisplayManager::upgradeTargetsIntel() const {
    // Only where the last version read found a chip, and each bus once: a
    // monitor without the chip acknowledges 0x37 as well, and a second run
    // on a shared bus would write the same chip again.
    std::vector<std::shared_ptr<OtherDisplay>> targets;
    std::set<uint32_t> written;
    for (const auto& d : getOtherDisplays()) {
        if (!d->chipAnswered || !d->ddc) continue;
        if (const auto bus = d->bus(); bus && !written.insert(*bus).second) continue;
        targets.push_back(d);
    }
    return targets;
}

void AUXDisplayManager::updateArm64AVServices() {
    if (!Arm64DDC::isArm64) return;
    logLine(LogLevel::info, "arm64 AVService update requested");
    std::vector<uint32_t> ids;
    for (const auto& d : getOtherDisplays()) ids.push_back(d->identifier);
    attachArm64AVServices(Arm64DDC::getServiceMatches(ids));
    logLine(LogLevel::info, "AVService update done");
}

void AUXDisplayManager::attachArm64AVServices(const std::vector<DisplayService>& matches) {
    const auto others = getOtherDisplays();
    for (const DisplayService& match : matches) {
        if (!match.service) continue;
        for (const auto& d : others) {
            if (d->identifier != match.displayID) continue;
            const std::string id = std::to_string(d->identifier);
            d->arm64avService = match.service;
            logLine(LogLevel::info, "Display service match successful for display " + id);
            if (match.isDiscouraged) {
                logLine(LogLevel::info, "Display " + id + " is flagged as discouraged by Arm64DDC.");
                d->isDiscouraged = true;
            } else if (match.isDummy) {
                logLine(LogLevel::info, "Display " + id + " is flagged as dummy by Arm64DDC.");
                d->isDiscouraged = true;
                d->isDummy = true;
            } else {
                d->arm64ddc = !DEBUG_SW;
            }
        }
    }
}

std::optional<ConnectorInfo> AUXDisplayManager::getByDisplayID(uint32_t displayID) {
    auto source = displayPlatform().displays;
    if (!source) return std::nullopt;
    return findConnector(*source, displayID);
}

std::string AUXDisplayManager::displayName(const std::optional<ConnectorInfo>& connector) {
    if (const auto edid = edidOf(connector); edid && !edid->name.empty()) return edid->name;
    if (connector) return screenName(*connector);
    return "Unknown";
}

std::string AUXDisplayManager::rawName(const std::optional<ConnectorInfo>& connector) {
    if (const auto edid = edidOf(connector)) return edid->name;
    return {};
}

bool AUXDisplayManager::virtualDisplay(const std::optional<ConnectorInfo>& connector) {
    return connector && isVirtualConnector(*connector);
}

bool AUXDisplayManager::dummy(const std::optional<ConnectorInfo>& connector) {
    std::string name = rawName(connector);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    const auto edid = edidOf(connector);
    const bool isDummyDisplay = name.find("dummy") != std::string::npos ||
                                (virtualDisplay(connector) && edid && edid->vendor == kDummyVendor);
    if (isDummyDisplay) logLine(LogLevel::info, "NOTE: Display is a dummy!");
    return isDummyDisplay;
}

bool AUXDisplayManager::appleDisplay(const std::optional<ConnectorInfo>& connector) {
    return connector && isBuiltinConnector(*connector);
}

std::string AUXDisplayManager::getDisplayNameByID(uint32_t displayID) { return displayName(getByDisplayID(displayID)); }
std::string AUXDisplayManager::getDisplayRawNameByID(uint32_t displayID) { return rawName(getByDisplayID(displayID)); }
bool AUXDisplayManager::isDummy(uint32_t displayID) { return dummy(getByDisplayID(displayID)); }
bool AUXDisplayManager::isVirtual(uint32_t displayID) { return virtualDisplay(getByDisplayID(displayID)); }
bool AUXDisplayManager::isAppleDisplay(uint32_t displayID) { return appleDisplay(getByDisplayID(displayID)); }

}  // namespace quorvel
