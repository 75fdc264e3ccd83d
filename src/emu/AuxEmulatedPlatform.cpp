#include "emu/AuxEmulatedPlatform.h"


#include "model/Sleeper.h"

namespace quorvel::emu {

bool AuxEmulatedBus::write(uint8_t address, std::span<const uint8_t> data) {
    auto it = targets_.find(address);
    return it != targets_.end() && it->second->write(data) == I2CStatus::ok;
}

bool AuxEmulatedBus::writeRead(uint8_t address, std::span<const uint8_t> data, std::chrono::microseconds delay,
                               std::span<uint8_t> reply) {
    auto it = targets_.find(address);
    if (it == targets_.end() || it->second->write(data) != I2CStatus::ok) return false;
    if (delay.count() > 0) sleeper().sleep(delay);
    return it->second->read(reply) == I2CStatus::ok;
}

int AuxEmulatedAVService::writeI2C(uint32_t chipAddress, uint32_t, std::span<const uint8_t> buffer) {
    if (chipAddress != 0x37 || !chip_) return -1;
    return chip_->write(buffer) == I2CStatus::ok ? 0 : -1;
}

int AuxEmulatedAVService::readI2C(uint32_t chipAddress, uint32_t, std::span<uint8_t> buffer) {
    if (chipAddress != 0x37 || !chip_) return -1;
    return chip_->read(buffer) == I2CStatus::ok ? 0 : -1;
}

class AuxEmulatedHost::Source : public DisplaySource {
public:
    std::optional<std::vector<ConnectorInfo>> onlineConnectors(size_t limit) override {
        std::lock_guard lock(mutex);
        if (fails) return std::nullopt;
        std::vector<ConnectorInfo> out;
        for (const auto& d : displays) {
            if (out.size() >= limit) break;
            if (!d.connected) continue;
            ConnectorInfo c;
            c.displayID = d.connectorId != 0 ? d.connectorId : static_cast<uint32_t>(out.size() + 1);
            c.name = d.connectorName();
            c.type = d.type;
            c.edid = d.edid;
            if (d.ddcLink) c.ddcBus = d.bus;
            c.hasBacklight = d.backlight;
            out.push_back(std::move(c));
        }
        return out;
    }

    std::mutex mutex;
    std::vector<AuxEmulatedDisplay> displays;
    bool fails = false;
};

class AuxEmulatedHost::Provider : public I2CBusProvider {
public:
    struct Bus {
        std::map<uint8_t, std::shared_ptr<I2CTarget>> targets;
        unsigned long functionality = kI2CFuncI2C;
        bool unopenable = false;
    };

    std::optional<std::vector<uint32_t>> buses() override {
        std::lock_guard lock(mutex);
        std::vector<uint32_t> numbers;
        for (const auto& [n, bus] : map) numbers.push_back(n);
        return numbers;
    }
    bool exists(uint32_t number) override {
        std::lock_guard lock(mutex);
        return map.count(number) != 0;
    }
    std::unique_ptr<I2CBus> open(uint32_t number) override {
        std::lock_guard lock(mutex);
        auto it = map.find(number);
        if (it == map.end() || it->second.unopenable) return nullptr;
        return std::make_unique<AuxEmulatedBus>(it->second.targets, it->second.functionality);
    }

    std::mutex mutex;
    std::map<uint32_t, Bus> map;
};

AuxEmulatedHost::AuxEmulatedHost()
    : source_(std::make_shared<Source>()),
      provider_(std::make_shared<Provider>()),
      registry_(std::make_shared<StaticRegistry>()) {}

void AuxEmulatedHost::addDisplay(const AuxEmulatedDisplay& display) {
    {
        std::lock_guard lock(source_->mutex);
        source_->displays.push_back(display);
    }
    if (!display.bus) return;
    std::map<uint8_t, std::shared_ptr<I2CTarget>> targets;
    if (!display.edid.empty()) targets[0x50] = std::make_shared<AuxEdidEeprom>(display.edid);
    if (display.chip) targets[0x37] = display.chip;
    addBus(*display.bus, std::move(targets), display.functionality);
}

void AuxEmulatedHost::addBus(uint32_t number, std::map<uint8_t, std::shared_ptr<I2CTarget>> targets,
                             unsigned long functionality) {
    std::lock_guard lock(provider_->mutex);
    provider_->map[number] = {std::move(targets), functionality, false};
}

void AuxEmulatedHost::setDisplayListFails(bool fails) {
    std::lock_guard lock(source_->mutex);
    source_->fails = fails;
}

void AuxEmulatedHost::setBusUnopenable(uint32_t number, bool unopenable) {
    std::lock_guard lock(provider_->mutex);
    provider_->map[number].unopenable = unopenable;
}

DisplayPlatform AuxEmulatedHost::platform() const { return {source_, provider_, registry_}; }

}  // namespace quorvel::emu
