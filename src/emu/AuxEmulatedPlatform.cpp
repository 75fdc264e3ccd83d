#include "emu/AuxEmulatedPlatform.h"

#include <cerrno>

#include "model/Sleeper.h"

namespace quorvel::emu {

namespace {

// What i2c-dev would answer: a NAK with the refused bytes (nobody at the
// address is a NAK too), EIO for a transfer broken on the wire.
TransferResult answered(I2CStatus status, I2CMessage message, uint8_t address, std::span<const uint8_t> written,
                        size_t readLength = 0) {
    if (status == I2CStatus::Ok) return {};
    const std::string detail = status == I2CStatus::Nak ? i2cRefused(address, message == I2CMessage::read, written)
                                                        : FailureCause::errnoCode(EIO);
    return TransferResult::failed(i2cStep(message, address, readLength), detail);
}

}  // namespace

TransferResult AuxEmulatedBus::write(uint8_t address, std::span<const uint8_t> data) {
    count();
    auto it = targets_.find(address);
    return answered(it == targets_.end() ? I2CStatus::Nak : it->second->write(data), I2CMessage::write, address, data);
}

TransferResult AuxEmulatedBus::writeRead(uint8_t address, std::span<const uint8_t> data,
                                         std::chrono::microseconds delay, std::span<uint8_t> reply) {
    count();
    auto it = targets_.find(address);
    if (auto written =
            answered(it == targets_.end() ? I2CStatus::Nak : it->second->write(data), I2CMessage::write, address, data);
        !written)
        return written;
    if (delay.count() > 0) sleeper().sleep(delay);
    return answered(it->second->read(reply), I2CMessage::read, address, {}, reply.size());
}

int AuxEmulatedAVService::writeI2C(uint32_t chipAddress, uint32_t, std::span<const uint8_t> buffer) {
    if (chipAddress != 0x37 || !chip_) return -1;
    return chip_->write(buffer) == I2CStatus::Ok ? 0 : -1;
}

int AuxEmulatedAVService::readI2C(uint32_t chipAddress, uint32_t, std::span<uint8_t> buffer) {
    if (chipAddress != 0x37 || !chip_) return -1;
    return chip_->read(buffer) == I2CStatus::Ok ? 0 : -1;
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
            const auto id = d.connectorId != 0 ? std::optional<uint32_t>(d.connectorId) : std::nullopt;
            c.displayID = displayIdentity(d.card, id, static_cast<uint32_t>(out.size() + 1));
            c.name = d.connectorName();
            c.type = d.type;
            c.card = d.card;
            c.edid = d.edid;
            if (d.ddcLink) c.ddcBus = d.bus;
            if (d.auxChild && d.bus) c.auxBuses = {*d.bus};
            c.hasBacklight = d.backlight;
            out.push_back(std::move(c));
        }
        makeDisplayIDsUnique(out);
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
        bool displayAdapter = true;
        bool unopenable = false;
        bool denied = false;
        bool noNode = false;
        std::optional<std::string> driver;
        std::shared_ptr<std::atomic<size_t>> transfers = std::make_shared<std::atomic<size_t>>(0);
    };

    std::optional<std::vector<uint32_t>> buses() override {
        std::lock_guard lock(mutex);
        std::vector<uint32_t> numbers;
        for (const auto& [n, bus] : map)
            if (!bus.noNode) numbers.push_back(n);
        return numbers;
    }
    bool exists(uint32_t number) override {
        std::lock_guard lock(mutex);
        auto it = map.find(number);
        return it != map.end() && !it->second.noNode;
    }
    std::unique_ptr<I2CBus> open(uint32_t number) override {
        int error = 0;
        return openChecked(number, error);
    }
    std::unique_ptr<I2CBus> openChecked(uint32_t number, int& error) override {
        std::lock_guard lock(mutex);
        auto it = map.find(number);
        if (it == map.end() || it->second.noNode) error = ENOENT;
        else if (it->second.denied) error = EACCES;
        else if (it->second.unopenable) error = EIO;
        else error = 0;
        if (error) return nullptr;
        return std::make_unique<AuxEmulatedBus>(it->second.targets, it->second.functionality, it->second.transfers);
    }
    bool isDisplayAdapter(uint32_t number) override {
        std::lock_guard lock(mutex);
        auto it = map.find(number);
        return it != map.end() && it->second.displayAdapter;
    }
    std::optional<std::string> clientDriver(uint32_t number, uint8_t address) override {
        std::lock_guard lock(mutex);
        auto it = map.find(number);
        if (it == map.end() || address != 0x37) return std::nullopt;
        return it->second.driver;
    }

    mutable std::mutex mutex;
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
    {
        std::lock_guard lock(provider_->mutex);
        if (provider_->map.count(*display.bus)) return;  // a shared bus: the first display's devices
    }
    std::map<uint8_t, std::shared_ptr<I2CTarget>> targets;
    if (!display.edid.empty()) targets[0x50] = std::make_shared<AuxEdidEeprom>(display.edid);
    if (display.chip) targets[0x37] = display.chip;
    else if (display.target37) targets[0x37] = display.target37;
    addBus(*display.bus, std::move(targets), display.functionality);
    if (!display.busNode) setBusWithoutNode(*display.bus);
    if (display.busDriver) setBusDriver(*display.bus, *display.busDriver);
}

void AuxEmulatedHost::addBus(uint32_t number, std::map<uint8_t, std::shared_ptr<I2CTarget>> targets,
                             unsigned long functionality, bool displayAdapter) {
    std::lock_guard lock(provider_->mutex);
    Provider::Bus bus;
    bus.targets = std::move(targets);
    bus.functionality = functionality;
    bus.displayAdapter = displayAdapter;
    provider_->map[number] = std::move(bus);
}

void AuxEmulatedHost::setDisplayListFails(bool fails) {
    std::lock_guard lock(source_->mutex);
    source_->fails = fails;
}

void AuxEmulatedHost::setBusUnopenable(uint32_t number, bool unopenable) {
    std::lock_guard lock(provider_->mutex);
    provider_->map[number].unopenable = unopenable;
}

void AuxEmulatedHost::setBusDenied(uint32_t number) {
    std::lock_guard lock(provider_->mutex);
    provider_->map[number].denied = true;
}

void AuxEmulatedHost::setBusWithoutNode(uint32_t number) {
    std::lock_guard lock(provider_->mutex);
    provider_->map[number].noNode = true;
}

void AuxEmulatedHost::setBusDriver(uint32_t number, std::string driver) {
    std::lock_guard lock(provider_->mutex);
    provider_->map[number].driver = std::move(driver);
}

size_t AuxEmulatedHost::transfers(uint32_t number) const {
    std::lock_guard lock(provider_->mutex);
    auto it = provider_->map.find(number);
    return it == provider_->map.end() ? 0 : it->second.transfers->load();
}

DisplayPlatform AuxEmulatedHost::platform() const { return {source_, provider_, registry_}; }

}  // namespace quorvel::emu
