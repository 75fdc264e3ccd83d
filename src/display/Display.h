// Records of the host's online displays. An OtherDisplay is an external
// display behind which a converter chip may sit; it owns its transport.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "display/AVService.h"
#include "display/AuxSequence.h"
#include "display/DisplayPlatform.h"
#include "display/IntelDDC.h"

namespace quorvel {

class Display {
public:
    Display(uint32_t identifier, std::string name, std::optional<uint32_t> vendorNumber,
            std::optional<uint32_t> modelNumber, std::optional<uint32_t> serialNumber, bool isVirtual, bool isDummy);
    virtual ~Display() = default;

    const uint32_t identifier;
    const std::string prefsId;
    std::string name;
    std::optional<uint32_t> vendorNumber;
    std::optional<uint32_t> modelNumber;
    std::optional<uint32_t> serialNumber;
    bool isVirtual;
    bool isDummy;
    // The connector the record was built from (none for a record made by hand).
    std::optional<ConnectorInfo> connector;
    // Its sysfs name ("card0-DP-1"), empty without a connector.
    std::string connectorName() const { return connector ? connector->name : std::string(); }

    bool operator==(const Display& other) const { return identifier == other.identifier; }

    // "(" name without blanks, vendor, model "@" ID, or serial for a virtual display ")".
    static std::string makePrefsId(uint32_t identifier, const std::string& name, std::optional<uint32_t> vendor,
                                   std::optional<uint32_t> model, std::optional<uint32_t> serial, bool isVirtual);
};

// A built-in panel: listed, never upgraded.
class AppleDisplay : public Display {
public:
    using Display::Display;
};

class OtherDisplay : public Display {
public:
    OtherDisplay(uint32_t identifier, std::string name, std::optional<uint32_t> vendorNumber,
                 std::optional<uint32_t> modelNumber, std::optional<uint32_t> serialNumber, bool isVirtual,
                 bool isDummy, const DisplayPlatform& platform);
    // The record of `connector`, whose bus is sought among the `connected`
    // ones (see IntelDDC::create).
    OtherDisplay(const ConnectorInfo& connector, std::span<const ConnectorInfo> connected, std::string name,
                 std::optional<uint32_t> vendorNumber, std::optional<uint32_t> modelNumber,
                 std::optional<uint32_t> serialNumber, bool isVirtual, bool isDummy, const DisplayPlatform& platform,
                 BusReport* report = nullptr);

    std::shared_ptr<IntelDDC> ddc;
    // Whether the last version read of this display found a chip model text
    // in its own reply; only such a display is upgraded.
    std::atomic<bool> chipAnswered{false};
    // The i2c-dev bus the transport talks to, if it has one.
    std::optional<uint32_t> bus() const { return ddc ? std::optional<uint32_t>(ddc->framebuffer) : std::nullopt; }
    bool arm64ddc = false;
    std::shared_ptr<AVService> arm64avService;
    bool isDiscouraged = false;

    std::string setupCurrentICVersionM1();
    std::string setupCurrentICVersionIntel();
    // Both throw Errors::customErrors::AUXUpgradeError on failure, carrying
    // the failing command's cause with this display named, after logging it.
    void setupUpgradeM1(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData, uint64_t ramWriteSize,
                        uint64_t flashWriteSize, const ProgressObserver& observer = {});
    void setupUpgradeIntel(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                           uint64_t ramWriteSize, uint64_t flashWriteSize, const ProgressObserver& observer = {});
};

}  // namespace quorvel
