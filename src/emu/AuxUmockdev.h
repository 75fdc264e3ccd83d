// Emulated display hardware for the unmodified DRM-sysfs and i2c-dev code,
// through umockdev: i2c-dev adapters whose I2C_RDWR, I2C_FUNCS, I2C_SLAVE,
// read and write are served by I2C targets (the chip model, an EDID
// EEPROM), and DRM connectors with status, EDID, connector id, `ddc` link
// and backlight.
//
// The process (or the child it serves, started with LD_PRELOAD and
// UMOCKDEV_DIR) must run under the umockdev preload library. umockdev
// serves the nodes from its own thread; the targets must be thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "emu/AuxChip.h"
#include "emu/AuxEmulatedPlatform.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace quorvel::emu {

struct AuxUmockdevConnector {
    uint32_t card = 0;
    std::string type = "DP";
    unsigned index = 1;
    bool connected = true;
    std::vector<uint8_t> edid;
    std::optional<uint32_t> connectorId;
    std::optional<uint32_t> ddcBus;  // the `ddc` link to i2c-N
    bool ddcInOwnFolder = false;     // i2c-N is the connector's own DP-AUX adapter
    bool backlight = false;
};

// One I2C adapter and where it hangs in sysfs.
struct AuxUmockdevBus {
    enum class Owner {
        Card,       // a DDC bus of the graphics card's PCI device (class 0x030000)
        Connector,  // a connector's own DP-AUX adapter
        Smbus,      // the chipset's SMBus (class 0x0c0500): not a display adapter
    };
    uint32_t number = 0;
    std::map<uint8_t, std::shared_ptr<I2CTarget>> targets;
    unsigned long functionality = kI2CFuncI2C;
    Owner owner = Owner::Card;
    uint32_t card = 0;                    // Owner::Card and Owner::Connector
    std::string connector;                // Owner::Connector: its name, added before
    bool node = true;                     // an i2c-dev child and /dev/i2c-N
    std::optional<std::string> driver37;  // kernel driver bound to the client at 0x37
};

class AuxUmockdevDisplays {
public:
    // Uses `testbed` (still owned by the caller), or creates and owns one.
    // Throws std::runtime_error outside the umockdev preload.
    explicit AuxUmockdevDisplays(UMockdevTestbed* testbed = nullptr);
    ~AuxUmockdevDisplays();
    AuxUmockdevDisplays(const AuxUmockdevDisplays&) = delete;
    AuxUmockdevDisplays& operator=(const AuxUmockdevDisplays&) = delete;

    static bool inMockEnvironment();
    UMockdevTestbed* testbed() const { return testbed_; }
    std::string rootDir() const;

    // /dev/i2c-N of card0 with the given targets at their 7-bit addresses.
    void addAdapter(uint32_t bus, std::map<uint8_t, std::shared_ptr<I2CTarget>> targets,
                    unsigned long functionality = kI2CFuncI2C);
    void addBus(const AuxUmockdevBus& bus);
    bool hasBus(uint32_t number) const;
    // card<card>-<type>-<index> under that graphics card.
    void addConnector(const AuxUmockdevConnector& connector);
    // A connector and, on its bus (unless an earlier display added that
    // bus), an adapter with the EEPROM and the chip.
    void addDisplay(const AuxEmulatedDisplay& display);

    // I2C transfers (I2C_RDWR calls, reads and writes) made on bus `number`,
    // and the messages per target address.
    size_t transfers(uint32_t number) const;
    std::map<uint8_t, size_t> messages(uint32_t number) const;

private:
    struct Adapter;
    void addRecord(const std::string& record);
    std::string ensureCard(uint32_t card);
    std::string ensureSmbus();

    UMockdevTestbed* testbed_ = nullptr;
    bool owned_ = false;
    std::set<uint32_t> cards_;
    bool smbus_ = false;
    mutable std::mutex mutex_;
    std::map<uint32_t, std::unique_ptr<Adapter>> adapters_;
    std::set<uint32_t> buses_;
};

}  // namespace quorvel::emu
