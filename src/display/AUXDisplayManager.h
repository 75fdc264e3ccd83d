// The list of the host's online displays and the forwarding of version
// reads and upgrades to every external one. One shared object.
//
// Typical use (the AUX tab and the command line):
//   auto& m = AUXDisplayManager::shared();
//   m.configureDisplays();
//   std::string v = m.readVersionIntel();  // serviceMatchDisplayIDIntel says whether a chip answered
//   m.AUXFirmwareUpgradeIntel(isp, fw, aux::stepCount(isp.size()), aux::stepCount(fw.size()), observer);
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "display/Arm64DDC.h"
#include "display/AuxSequence.h"
#include "display/Display.h"
#include "display/DisplaySource.h"

namespace quorvel {

class AUXDisplayManager {
public:
    static AUXDisplayManager& shared();

    // A snapshot of the list, in connector order.
    std::vector<std::shared_ptr<Display>> displays() const;

    // Rebuilds the list from the process's display platform (or the given one).
    void configureDisplays();
    void configureDisplays(const DisplayPlatform& platform);

    std::string readVersionM1();
    std::string readVersionIntel();
    // Upgrade every external display in list order; the first failure stops
    // the loop and reaches the caller as Errors::customErrors::AUXUpgradeError.
    void AUXFirmwareUpgradeM1(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                              uint64_t ramWriteSize, uint64_t flashWriteSize, const AuxProgressObserver& observer = {});
    void AUXFirmwareUpgradeIntel(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                                 uint64_t ramWriteSize, uint64_t flashWriteSize,
                                 const AuxProgressObserver& observer = {});

    std::vector<std::shared_ptr<OtherDisplay>> getOtherDisplays() const;
    void addDisplay(std::shared_ptr<Display> display);
    void clearDisplays();
    // Does nothing unless Arm64DDC::isArm64.
    void updateArm64AVServices();
    // Steps of updateArm64AVServices after its guard: match and attach.
    void attachArm64AVServices(const std::vector<DisplayService>& matches);

    // Display tests by display ID, over the process's display platform.
    static std::string getDisplayNameByID(uint32_t displayID);
    static std::string getDisplayRawNameByID(uint32_t displayID);
    static bool isDummy(uint32_t displayID);
    static bool isVirtual(uint32_t displayID);
    static bool isAppleDisplay(uint32_t displayID);
    // The connector ("screen") of a display ID.
    static std::optional<ConnectorInfo> getByDisplayID(uint32_t displayID);

    // The same tests on a connector already read.
    static std::string displayName(const std::optional<ConnectorInfo>& connector);
    static std::string rawName(const std::optional<ConnectorInfo>& connector);
    static bool dummy(const std::optional<ConnectorInfo>& connector);
    static bool virtualDisplay(const std::optional<ConnectorInfo>& connector);
    static bool appleDisplay(const std::optional<ConnectorInfo>& connector);

private:
    AUXDisplayManager() = default;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Display>> displays_;
};

}  // namespace quorvel
