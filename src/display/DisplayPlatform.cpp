#include "display/DisplayPlatform.h"

#include <set>

#include "display/Edid.h"
#include "display/IORegistry.h"
#include "display/linux/LinuxI2C.h"
#include "display/linux/SysfsDisplaySource.h"
#include "model/Replaceable.h"

namespace quorvel {

namespace {

constexpr size_t kMaxDisplays = 16;

// Linux has no AV services to walk; the display information comes from
// the connectors' EDIDs.
class LinuxRegistry : public IORegistry {
public:
    explicit LinuxRegistry(std::shared_ptr<DisplaySource> displays) : displays_(std::move(displays)) {}
    std::unique_ptr<IORegistryIterator> servicePlane() override { return nullptr; }
    std::optional<std::vector<uint8_t>> platformModel() override { return std::nullopt; }
    std::optional<DisplayInfo> displayInfo(uint32_t displayID) override {
        const auto connector = findConnector(*displays_, displayID);
        const auto edid = connector ? parseEdid(connector->edid) : std::nullopt;
        if (!edid) return std::nullopt;
        DisplayInfo info;
        info.yearManufacture = edid->year;
        info.weekManufacture = edid->week;
        info.vendorID = edid->vendor;
        info.productID = edid->product;
        info.horizontalImageSize = edid->widthMM;
        info.verticalImageSize = edid->heightMM;
        if (edid->serial != 0) info.serialNumber = edid->serial;
        if (!edid->name.empty()) info.productName = {{"en_US", edid->name}};
        info.isVirtualDevice = isVirtualConnector(*connector);
        return info;
    }

private:
    std::shared_ptr<DisplaySource> displays_;
};

Replaceable<DisplayPlatform>& seam() {
    static Replaceable<DisplayPlatform> s(linuxDisplayPlatform, [](const DisplayPlatform& p) {
        return !p.displays && !p.buses && !p.registry;
    });
    return s;
}

}  // namespace

bool isBuiltinConnector(const ConnectorInfo& c) {
    return c.type == "eDP" || c.type == "LVDS" || c.type == "DSI" || c.hasBacklight;
}

bool isVirtualConnector(const ConnectorInfo& c) { return c.type == "Virtual" || c.type == "Writeback"; }

uint32_t displayIdentity(uint32_t card, std::optional<uint32_t> connectorId, uint32_t ordinal) {
    constexpr uint32_t kLowBits = 0x00FFFFFF;
    const uint32_t low = connectorId && *connectorId != 0 && *connectorId <= kLowBits ? *connectorId : ordinal;
    return ((card & 0xFF) << 24) | (low & kLowBits);
}

void makeDisplayIDsUnique(std::vector<ConnectorInfo>& connectors) {
    std::set<uint32_t> taken;
    for (auto& c : connectors) {
        if (c.displayID != 0 && taken.insert(c.displayID).second) continue;
        const uint32_t cardBits = c.displayID & 0xFF000000;
        uint32_t low = 1;
        while (taken.count(cardBits | low)) ++low;
        c.displayID = cardBits | low;
        taken.insert(c.displayID);
    }
}

std::optional<ConnectorInfo> findConnector(DisplaySource& source, uint32_t displayID) {
    const auto connectors = source.onlineConnectors(kMaxDisplays);
    if (!connectors) return std::nullopt;
    for (const auto& c : *connectors)
        if (c.displayID == displayID) return c;
    return std::nullopt;
}

DisplayPlatform linuxDisplayPlatform() {
    auto displays = std::make_shared<SysfsDisplaySource>();
    return {displays, std::make_shared<LinuxI2CBusProvider>(), std::make_shared<LinuxRegistry>(displays)};
}

DisplayPlatform displayPlatform() { return seam().get(); }

DisplayPlatform setDisplayPlatform(DisplayPlatform replacement) { return seam().replace(std::move(replacement)); }

}  // namespace quorvel
