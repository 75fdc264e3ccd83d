// Online displays from DRM sysfs: the connected /sys/class/drm/card*-*
// connectors.
#pragma once

#include <string>

#include "display/DisplaySource.h"

namespace quorvel {

class SysfsDisplaySource : public DisplaySource {
public:
    explicit SysfsDisplaySource(std::string root = "/sys/class/drm") : root_(std::move(root)) {}
    std::optional<std::vector<ConnectorInfo>> onlineConnectors(size_t limit) override;

private:
    std::string root_;
};

}  // namespace quorvel
