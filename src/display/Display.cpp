#include "display/Display.h"

#include <cctype>

#include "display/AUXAccess.h"
#include "display/Arm64DDC.h"
#include "model/Errors.h"
#include "model/Log.h"
#include "model/Settings.h"

namespace quorvel {

Display::Display(uint32_t id, std::string displayName, std::optional<uint32_t> vendor, std::optional<uint32_t> model,
                 std::optional<uint32_t> serial, bool virtualDisplay, bool dummy)
    : identifier(id),
      prefsId(makePrefsId(id, displayName, vendor, model, serial, virtualDisplay || DEBUG_VIRTUAL)),
      name(std::move(displayName)),
      vendorNumber(vendor),
      modelNumber(model),
      serialNumber(serial),
      isVirtual(virtualDisplay || DEBUG_VIRTUAL),
      isDummy(dummy) {}

std::string Display::makePrefsId(uint32_t identifier, const std::string& name, std::optional<uint32_t> vendor,
                                 std::optional<uint32_t> model, std::optional<uint32_t> serial, bool isVirtual) {
    std::string compact;
    for (char c : name)
        if (!std::isspace(static_cast<unsigned char>(c))) compact.push_back(c);
    const std::string at = isVirtual ? std::to_string(serial.value_or(9999)) : std::to_string(identifier);
    return "(" + compact + std::to_string(vendor.value_or(0)) + std::to_string(model.value_or(0)) + "@" + at + ")";
}

OtherDisplay::OtherDisplay(uint32_t id, std::string displayName, std::optional<uint32_t> vendor,
                           std::optional<uint32_t> model, std::optional<uint32_t> serial, bool virtualDisplay,
                           bool dummy, const DisplayPlatform& platform)
    : Display(id, std::move(displayName), vendor, model, serial, virtualDisplay, dummy) {
    if (!virtualDisplay && !Arm64DDC::isArm64) ddc = IntelDDC::create(identifier, std::nullopt, platform);
}

OtherDisplay::OtherDisplay(const ConnectorInfo& c, std::span<const ConnectorInfo> connected, std::string displayName,
                           std::optional<uint32_t> vendor, std::optional<uint32_t> model,
                           std::optional<uint32_t> serial, bool virtualDisplay, bool dummy,
                           const DisplayPlatform& platform, BusReport* report)
    : Display(c.displayID, std::move(displayName), vendor, model, serial, virtualDisplay, dummy) {
    connector = c;
    if (!virtualDisplay && !Arm64DDC::isArm64) ddc = IntelDDC::create(c, connected, std::nullopt, platform, report);
}

std::string OtherDisplay::setupCurrentICVersionM1() { return AUXAccess::GetVersionM1(arm64avService); }

std::string OtherDisplay::setupCurrentICVersionIntel() { return ddc ? ddc->GetVersionIntel() : std::string(); }

namespace {

// The upgrade of one display: its failure, whatever it was, reaches the
// caller as AUXUpgradeError carrying why and where, and is logged.
template <typename Upgrade>
void upgradeOf(const std::string& where, Upgrade&& upgrade) {
    FailureCause cause;
    try {
        upgrade();
        return;
    } catch (const Errors::customErrors& e) {
        cause = e.cause().value_or(FailureCause{{}, e.what()});
    } catch (const std::exception& e) {
        cause = FailureCause{{}, e.what()};
    }
    cause = cause.within(where);
    logLine(LogLevel::error, "AUX Upgrade Error: " + cause.describe());
    throw Errors::customErrors::AUXUpgradeError.because(std::move(cause));
}

}  // namespace

void OtherDisplay::setupUpgradeM1(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                                  uint64_t ramWriteSize, uint64_t flashWriteSize, const ProgressObserver& observer) {
    upgradeOf("display " + name, [&] {
        AUXAccess::AUXFirmwareUpgradeM1(arm64avService, ISPData, firmwareData, ramWriteSize, flashWriteSize, observer);
    });
}

void OtherDisplay::setupUpgradeIntel(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                                     uint64_t ramWriteSize, uint64_t flashWriteSize, const ProgressObserver& observer) {
    if (!ddc) return;
    upgradeOf("display " + name + " (i2c-" + std::to_string(ddc->framebuffer) + ")",
              [&] { ddc->AUXFirmwareUpgradeIntel(ISPData, firmwareData, ramWriteSize, flashWriteSize, observer); });
}

}  // namespace quorvel
