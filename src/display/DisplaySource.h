// The seam that lists the host's online display connections.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

struct ConnectorInfo {
    // Unique across graphics cards: the card index in the top 8 bits, the
    // connector's id (else its ordinal from 1) below. DRM numbers connectors
    // per card, so the id alone repeats on a second card.
    uint32_t displayID = 0;
    std::string name;  // sysfs name, e.g. "card0-DP-1"
    std::string type;  // connector type, e.g. "DP", "HDMI-A", "eDP", "Virtual"
    std::vector<uint8_t> edid;
    std::optional<uint32_t> ddcBus;       // number N of /dev/i2c-N named by the `ddc` link
    bool hasBacklight = false;            // a backlight device belongs to the connector
    uint32_t card = 0;                    // N of cardN
    std::vector<uint32_t> auxBuses = {};  // the connector's own DP-AUX adapters (i2c-N children)
};

// The display ID of a connector on `card`; `connectorId` is taken when it
// fits below the card bits, else the ordinal.
uint32_t displayIdentity(uint32_t card, std::optional<uint32_t> connectorId, uint32_t ordinal);
// Gives any connector whose ID an earlier one already holds (possible only
// when ordinals and ids mix) the lowest free ID of its card, in list order,
// so the result is the same on every run.
void makeDisplayIDsUnique(std::vector<ConnectorInfo>& connectors);

// The built-in panel: an eDP, LVDS or DSI connector, or one with a backlight.
bool isBuiltinConnector(const ConnectorInfo& connector);
// A Virtual or Writeback connector.
bool isVirtualConnector(const ConnectorInfo& connector);

class DisplaySource {
public:
    virtual ~DisplaySource() = default;
    // Connected connectors in a stable order, at most `limit`; nothing when
    // the list cannot be read at all.
    virtual std::optional<std::vector<ConnectorInfo>> onlineConnectors(size_t limit) = 0;
};

// The connected connector with this display ID, if any.
std::optional<ConnectorInfo> findConnector(DisplaySource& source, uint32_t displayID);

}  // namespace quorvel
