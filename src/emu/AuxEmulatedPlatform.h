// The display platform over the chip model, in process: connectors with
// EDIDs, DDC buses carrying an EDID EEPROM at 0x50 and an AuxChip at 0x37,
// and an AV service onto a chip.
//
//   emu::AuxEmulatedHost host;
//   auto chip = std::make_shared<emu::AuxChip>();
//   host.addDisplay({.type = "DP", .edid = buildEdid({...}), .bus = 3, .chip = chip});
//   setDisplayPlatform(host.platform());
//   AUXDisplayManager::shared().configureDisplays();
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "display/AVService.h"
#include "display/DisplayPlatform.h"
#include "display/I2CBus.h"
#include "emu/StaticRegistry.h"
#include "emu/AuxChip.h"

namespace quorvel::emu {

// One bus: the targets at their 7-bit addresses.
class AuxEmulatedBus : public I2CBus {
public:
    AuxEmulatedBus(std::map<uint8_t, std::shared_ptr<I2CTarget>> targets, unsigned long functionality)
        : targets_(std::move(targets)), functionality_(functionality) {}
    std::optional<unsigned long> functionality() override { return functionality_; }
    bool write(uint8_t address, std::span<const uint8_t> data) override;
    bool writeRead(uint8_t address, std::span<const uint8_t> data, std::chrono::microseconds delay,
                   std::span<uint8_t> reply) override;

private:
    std::map<uint8_t, std::shared_ptr<I2CTarget>> targets_;
    unsigned long functionality_;
};

class AuxEmulatedAVService : public AVService {
public:
    explicit AuxEmulatedAVService(std::shared_ptr<AuxChip> chip) : chip_(std::move(chip)) {}
    int writeI2C(uint32_t chipAddress, uint32_t dataAddress, std::span<const uint8_t> buffer) override;
    int readI2C(uint32_t chipAddress, uint32_t dataAddress, std::span<uint8_t> buffer) override;

private:
    std::shared_ptr<AuxChip> chip_;
};

struct AuxEmulatedDisplay {
    std::string type = "DP";  // connector type: DP, HDMI-A, eDP, Virtual, ...
    unsigned index = 1;       // connector name card0-<type>-<index>
    uint32_t connectorId = 0; // 0: none, the ordinal is used
    bool connected = true;
    std::vector<uint8_t> edid;
    std::optional<uint32_t> bus;  // the bus with the EEPROM and the chip
    bool ddcLink = true;          // the connector names its bus
    bool backlight = false;
    std::shared_ptr<AuxChip> chip;
    unsigned long functionality = kI2CFuncI2C;

    std::string connectorName() const { return "card0-" + type + "-" + std::to_string(index); }
};

class AuxEmulatedHost {
public:
    AuxEmulatedHost();
    void addDisplay(const AuxEmulatedDisplay& display);
    // A bus that drives no display (say, a sensor bus).
    void addBus(uint32_t number, std::map<uint8_t, std::shared_ptr<I2CTarget>> targets,
                unsigned long functionality = kI2CFuncI2C);
    void setDisplayListFails(bool fails);
    // Bus `number` exists but cannot be opened.
    void setBusUnopenable(uint32_t number, bool unopenable);
    // Registry fixture consulted by the AV-service matching.
    std::shared_ptr<StaticRegistry> registry() const { return registry_; }
    DisplayPlatform platform() const;

private:
    class Source;
    class Provider;
    std::shared_ptr<Source> source_;
    std::shared_ptr<Provider> provider_;
    std::shared_ptr<StaticRegistry> registry_;
};

}  // namespace quorvel::emu
