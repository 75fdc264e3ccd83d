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

inline constexpr const char* kI2CDevHint =
    "Hint: load the i2c-dev kernel module (modprobe i2c-dev) so that displays can be reached.";

class AUXDisplayManager {
public:
    static AUXDisplayManager& shared();

    // A snapshot of the list, in connector order.
    std::vector<std::shared_ptr<Display>> displays() const;

    // Rebuilds the list from the process's display platform (or the given one).
    void configureDisplays();
    void configureDisplays(const DisplayPlatform& platform);

    std::string readVersionM1();
    // Asks each external display's chip, one query per bus (the first display
    // naming a bus asks), and remembers per display whether a chip answered.
    // Returns the version of the first display whose chip answered, else the
    // last answer; serviceMatchDisplayIDIntel is 1 when any chip answered.
    std::string readVersionIntel();
    // Upgrade every external display in list order; the first failure stops
    // the loop and reaches the caller as Errors::customErrors::AUXUpgradeError.
    // The Intel road writes only to displays whose chip answered the last
    // version read, each bus once.
    void AUXFirmwareUpgradeM1(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                              uint64_t ramWriteSize, uint64_t flashWriteSize, const ProgressObserver& observer = {});
    void AUXFirmwareUpgradeIntel(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                                 uint64_t ramWriteSize, uint64_t flashWriteSize, const ProgressObserver& observer = {});

    std::vector<std::shared_ptr<OtherDisplay>> getOtherDisplays() const;
    // The displays AUXFirmwareUpgradeIntel writes, in its order.
    std::vector<std::shared_ptr<OtherDisplay>> upgradeTargetsIntel() const;
    // What the user can change so that displays the last configureDisplays
    // could not reach become reachable: one "Hint: ..." line each.
    std::vector<std::string> reachHints() const;
    // The places (for ChipHold) of the buses the framebuffer road talks to.
    std::vector<std::string> chipPlacesIntel() const;
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
    static std::vector<std::string> hintsFor(const BusReport& report, size_t externals,
                                             const DisplayPlatform& platform);
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Display>> displays_;
    std::vector<std::string> hints_;
};

}  // namespace quorvel
