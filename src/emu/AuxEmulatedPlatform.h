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

#include <atomic>
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
    AuxEmulatedBus(std::map<uint8_t, std::shared_ptr<I2CTarget>> targets, unsigned long functionality,
                   std::shared_ptr<std::atomic<size_t>> transfers = nullptr)
        : targets_(std::move(targets)), functionality_(functionality), transfers_(std::move(transfers)) {}
    std::optional<unsigned long> functionality() override { return functionality_; }
    TransferResult write(uint8_t address, std::span<const uint8_t> data) override;
    TransferResult writeRead(uint8_t address, std::span<const uint8_t> data, std::chrono::microseconds delay,
                             std::span<uint8_t> reply) override;

private:
    void count() {
        if (transfers_) ++*transfers_;
    }
    std::map<uint8_t, std::shared_ptr<I2CTarget>> targets_;
    unsigned long functionality_;
    std::shared_ptr<std::atomic<size_t>> transfers_;
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
    std::string type = "DP";   // connector type: DP, HDMI-A, eDP, Virtual, ...
    unsigned index = 1;        // connector name card<card>-<type>-<index>
    uint32_t connectorId = 0;  // 0: none, the ordinal is used
    bool connected = true;
    std::vector<uint8_t> edid;
    std::optional<uint32_t> bus;  // the bus with the EEPROM and the chip
    bool ddcLink = true;          // the connector names its bus
    bool backlight = false;
    std::shared_ptr<AuxChip> chip;
    unsigned long functionality = kI2CFuncI2C;
    uint32_t card = 0;      // the graphics card
    bool auxChild = false;  // the bus is the connector's own DP-AUX adapter
    // What sits at 0x37 instead of `chip` (say, an ordinary DDC/CI monitor).
    std::shared_ptr<I2CTarget> target37;
    bool busNode = true;                   // the bus has an i2c-dev node
    std::optional<std::string> busDriver;  // a kernel driver bound to the bus's 0x37

    std::string connectorName() const {
        return "card" + std::to_string(card) + "-" + type + "-" + std::to_string(index);
    }
};

class AuxEmulatedHost {
public:
    AuxEmulatedHost();
    void addDisplay(const AuxEmulatedDisplay& display);
    // A bus no connector names: of a display adapter, or not (an SMBus, a
    // sensor bus). Displays naming a bus that exists share it.
    void addBus(uint32_t number, std::map<uint8_t, std::shared_ptr<I2CTarget>> targets,
                unsigned long functionality = kI2CFuncI2C, bool displayAdapter = true);
    void setDisplayListFails(bool fails);
    // Bus `number` exists but cannot be opened.
    void setBusUnopenable(uint32_t number, bool unopenable);
    // Opening bus `number` is refused for lack of permission.
    void setBusDenied(uint32_t number);
    // Bus `number` has no i2c-dev node (the module is not loaded).
    void setBusWithoutNode(uint32_t number);
    // A kernel driver is bound to the client at 0x37 of bus `number`.
    void setBusDriver(uint32_t number, std::string driver);
    // Transfers made on bus `number` so far, EDID reads included.
    size_t transfers(uint32_t number) const;
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
