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
#include <string>
#include <vector>

#include "emu/AuxChip.h"
#include "emu/AuxEmulatedPlatform.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace quorvel::emu {

struct AuxUmockdevConnector {
    std::string type = "DP";
    unsigned index = 1;
    bool connected = true;
    std::vector<uint8_t> edid;
    std::optional<uint32_t> connectorId;
    std::optional<uint32_t> ddcBus;  // the `ddc` link to i2c-N
    bool backlight = false;
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

    // /dev/i2c-N with the given targets at their 7-bit addresses.
    void addAdapter(uint32_t bus, std::map<uint8_t, std::shared_ptr<I2CTarget>> targets,
                    unsigned long functionality = kI2CFuncI2C);
    // card0-<type>-<index> under the one emulated graphics card.
    void addConnector(const AuxUmockdevConnector& connector);
    // A connector and, on its bus, an adapter with the EEPROM and the chip.
    void addDisplay(const AuxEmulatedDisplay& display);

private:
    struct Adapter;
    void addRecord(const std::string& record);
    void ensureParents();

    UMockdevTestbed* testbed_ = nullptr;
    bool owned_ = false;
    bool parents_ = false;
    std::mutex mutex_;
    std::map<uint32_t, std::unique_ptr<Adapter>> adapters_;
};

}  // namespace quorvel::emu
