#include "display/IntelDDC.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "display/AuxPacket.h"
#include "model/Log.h"
#include "display/Edid.h"
#include "model/FileAccess.h"
#include "model/Sentinels.h"
#include "model/Settings.h"
#include "model/Sleeper.h"

namespace quorvel {

namespace {

constexpr uint8_t kEdidAddress = 0x50;
const std::string& kReplug = sentinel::replugDevice;
constexpr size_t kMaxConnectors = 16;

std::optional<EdidInfo> edidOfBus(I2CBus& bus) {
    std::vector<uint8_t> edid(128);
    const uint8_t offset = 0;
    if (!bus.writeRead(kEdidAddress, {&offset, 1}, std::chrono::microseconds{0}, edid)) return std::nullopt;
    return parseEdid(edid);
}

class IntelCommands : public AuxCommands {
public:
    explicit IntelCommands(IntelDDC& ddc) : ddc_(ddc) {}
    TransferResult debugOn() override { return ddc_.DebugOnIntel(); }
    TransferResult reset() override { return ddc_.ResetIntel(); }
    TransferResult write(uint16_t a, uint16_t v) override { return ddc_.WriteIntel(a, v); }
    TransferResult ramWrite(uint16_t s, std::span<const uint8_t> d, AuxTransfer& t) override {
        return ddc_.RamWriteIntel(s, d, t);
    }
    TransferResult sendRamWriteCRC(uint16_t s, uint16_t c) override { return ddc_.SendRamWriteCRCIntel(s, c); }
    TransferResult runCode(uint16_t a) override { return ddc_.RunCodeIntel(a); }
    TransferResult flashErase() override { return ddc_.FlashEraseIntel(); }
    TransferResult beforeUpgrade() override { return ddc_.BeforeUpgradeIntel(); }
    TransferResult flashWrite(std::span<const uint8_t> d, AuxTransfer& t) override {
        return ddc_.FlashWriteIntel(d, t);
    }
    TransferResult sendFlashWriteCRC(uint16_t c) override { return ddc_.SendFlashWriteCRCIntel(c); }

private:
    IntelDDC& ddc_;
};

}  // namespace

IntelDDC::IntelDDC(uint32_t id, uint32_t fb, uint32_t type, DisplayPlatform platform)
    : displayId(id), framebuffer(fb), replyTransactionType(type), platform_(std::move(platform)) {}

std::unique_ptr<IntelDDC> IntelDDC::create(uint32_t displayId, std::optional<uint32_t> withReplyTransactionType) {
    return create(displayId, withReplyTransactionType, displayPlatform());
}

std::unique_ptr<IntelDDC> IntelDDC::create(uint32_t displayId, std::optional<uint32_t> withReplyTransactionType,
                                           const DisplayPlatform& platform) {
    if (!platform.displays) return nullptr;
    const auto connectors = platform.displays->onlineConnectors(kMaxConnectors);
    if (!connectors) return nullptr;
    for (const auto& c : *connectors)
        if (c.displayID == displayId) return create(c, *connectors, withReplyTransactionType, platform);
    return nullptr;
}

std::unique_ptr<IntelDDC> IntelDDC::create(const ConnectorInfo& connector, std::span<const ConnectorInfo> connected,
                                           std::optional<uint32_t> withReplyTransactionType,
                                           const DisplayPlatform& platform, BusReport* report) {
    const uint32_t displayId = connector.displayID;
    const auto framebuffer = ioFramebufferPortFromDisplayId(connector, connected, platform, report);
    if (!framebuffer) return nullptr;
    // A kernel driver on the chip's address (ddcci, say) sends traffic of
    // its own that would interleave with the upgrade's packets.
    if (const auto driver = platform.buses->clientDriver(*framebuffer, aux::kChipAddress)) {
        logLinef(LogLevel::error,
                 "Bus i2c-%u of display %u is left out: the kernel driver %s is bound to its address 0x37.",
                 *framebuffer, displayId, driver->c_str());
        if (report) report->drivers[*framebuffer] = *driver;
        return nullptr;
    }
    auto type = withReplyTransactionType ? withReplyTransactionType
                                         : supportedTransactionType(*framebuffer, platform, report);
    if (!type) {
        logLinef(LogLevel::error, "No supported reply transaction type found for display with ID %u.", displayId);
        return nullptr;
    }
    return std::unique_ptr<IntelDDC>(new IntelDDC(displayId, *framebuffer, *type, platform));
}

std::optional<uint32_t> IntelDDC::ioFramebufferPortFromDisplayId(uint32_t displayId, const DisplayPlatform& platform) {
    if (!platform.displays) return std::nullopt;
    const auto connectors = platform.displays->onlineConnectors(kMaxConnectors);
    if (!connectors) return std::nullopt;
    for (const auto& c : *connectors)
        if (c.displayID == displayId) return ioFramebufferPortFromDisplayId(c, *connectors, platform);
    return std::nullopt;
}

std::optional<uint32_t> IntelDDC::ioFramebufferPortFromDisplayId(const ConnectorInfo& connector,
                                                                 std::span<const ConnectorInfo> connected,
                                                                 const DisplayPlatform& platform, BusReport* report) {
    if (!platform.buses || isBuiltinConnector(connector)) return std::nullopt;
    const uint32_t displayId = connector.displayID;
    std::optional<uint32_t> port;
    // The connector's own `ddc` link names its bus directly.
    if (connector.ddcBus) {
        logLinef(LogLevel::info, "Using CGSServiceForDisplayNumber to acquire framebuffer port for %u.", displayId);
        port = connector.ddcBus;
    } else {
        port = servicePortUsingDisplayPropertiesMatching(connector, connected, platform, report);
        if (!port) return std::nullopt;
    }
    if (platform.buses->exists(*port)) return port;
    if (report) report->missingNodes.insert(*port);
    logLinef(LogLevel::error, "No framebuffer port found for display with ID %u.", displayId);
    return std::nullopt;
}

std::optional<uint32_t> IntelDDC::servicePortUsingDisplayPropertiesMatching(uint32_t displayId,
                                                                            const DisplayPlatform& platform) {
    if (!platform.displays) return std::nullopt;
    const auto connectors = platform.displays->onlineConnectors(kMaxConnectors);
    if (!connectors) return std::nullopt;
    for (const auto& c : *connectors)
        if (c.displayID == displayId) return servicePortUsingDisplayPropertiesMatching(c, *connectors, platform);
    logLinef(LogLevel::error, "No service port found for display with ID %u.", displayId);
    return std::nullopt;
}

std::optional<uint32_t> IntelDDC::servicePortUsingDisplayPropertiesMatching(const ConnectorInfo& connector,
                                                                            std::span<const ConnectorInfo> connected,
                                                                            const DisplayPlatform& platform,
                                                                            BusReport* report) {
    const uint32_t displayId = connector.displayID;
    if (!platform.buses) return std::nullopt;
    const auto buses = platform.buses->buses();
    if (!buses) {
        logLinef(LogLevel::error, "No matching services found for display with ID %u.", displayId);
        return std::nullopt;
    }
    const auto contains = [](const std::vector<uint32_t>& list, uint32_t n) {
        return std::find(list.begin(), list.end(), n) != list.end();
    };
    const auto agrees = [&](uint32_t number, const EdidInfo& display) {
        int error = 0;
        auto bus = platform.buses->openChecked(number, error);
        if (!bus && (error == EACCES || error == EPERM) && report) report->denied.insert(number);
        // A bus without a readable EDID drives no display.
        const auto found = bus ? edidOfBus(*bus) : std::nullopt;
        if (!found) return false;
        if (found->vendor != display.vendor) {
            logLinef(LogLevel::info, "Service port vendor ID %u differs from display vendor ID %u.", found->vendor,
                     display.vendor);
            return false;
        }
        if (found->product != display.product) {
            logLinef(LogLevel::info, "Service port product ID %u differs from display product ID %u.", found->product,
                     display.product);
            return false;
        }
        if (found->serial != display.serial) {
            logLinef(LogLevel::info, "Service port serial number %u differs from display serial number %u.",
                     found->serial, display.serial);
            return false;
        }
        return true;
    };
    const auto take = [&](uint32_t number, const EdidInfo& display) {
        logLinef(LogLevel::info, "Vendor ID: %u, Product ID: %u, Serial Number: %u", display.vendor, display.product,
                 display.serial);
        logLinef(LogLevel::info, "Unit Number: %u", displayId);
        logLinef(LogLevel::info, "Service Port: %u", number);
        return number;
    };

    // Without an EDID of its own the display has nothing to be matched by.
    if (const auto display = parseEdid(connector.edid)) {
        for (uint32_t number : connector.auxBuses)
            if (contains(*buses, number) && agrees(number, *display)) return take(number, *display);
        // Buses other connectors name are theirs, whatever EDID they carry.
        std::set<uint32_t> claimed;
        for (const auto& other : connected) {
            if (other.name == connector.name) continue;
            if (other.ddcBus) claimed.insert(*other.ddcBus);
            claimed.insert(other.auxBuses.begin(), other.auxBuses.end());
        }
        std::vector<uint32_t> matches;
        for (uint32_t number : *buses) {
            if (contains(connector.auxBuses, number) || claimed.count(number)) continue;
            // SMBus, memory SPD and sensor buses are never written to.
            if (!platform.buses->isDisplayAdapter(number)) continue;
            if (agrees(number, *display)) matches.push_back(number);
        }
        if (matches.size() == 1) return take(matches.front(), *display);
        if (matches.size() > 1) {
            std::string names;
            for (uint32_t number : matches) names += (names.empty() ? "i2c-" : ", i2c-") + std::to_string(number);
            logLinef(LogLevel::error, "Display %u is left out: its EDID is found on more than one bus (%s).", displayId,
                     names.c_str());
            return std::nullopt;
        }
    }
    logLinef(LogLevel::error, "No service port found for display with ID %u.", displayId);
    return std::nullopt;
}

std::optional<uint32_t> IntelDDC::supportedTransactionType(uint32_t framebuffer, const DisplayPlatform& platform,
                                                           BusReport* report) {
    if (!platform.buses) return std::nullopt;
    int error = 0;
    auto bus = platform.buses->openChecked(framebuffer, error);
    if (!bus && (error == EACCES || error == EPERM) && report) report->denied.insert(framebuffer);
    const auto functions = bus ? bus->functionality() : std::nullopt;
    // Write, pause and read back as separate plain messages is what the
    // DDC/ci reply transaction does.
    if (functions && (*functions & kI2CFuncI2C)) {
        logLine(LogLevel::info, "kIOI2CDDCciReplyTransactionType is supported.");
        return kIOI2CDDCciReplyTransactionType;
    }
    return std::nullopt;
}

namespace {

// A transport failure's line, followed by why.
template <typename... Numbers>
void logFailure(const FailureCause& cause, const char* format, Numbers... numbers) {
    char line[256];
    std::snprintf(line, sizeof line, format, numbers...);
    logLine(LogLevel::error, std::string(line) + " Cause: " + cause.describe());
}

}  // namespace

TransferResult IntelDDC::send(I2CRequest& request, uint32_t framebuffer, std::optional<uint32_t> errorRecoveryWaitTime,
                              const DisplayPlatform& platform) {
    if (errorRecoveryWaitTime) sleeper().sleep(std::chrono::microseconds{*errorRecoveryWaitTime});
    if (!platform.buses || !platform.buses->exists(framebuffer)) {
        const auto gone = TransferResult::failed("i2c-" + std::to_string(framebuffer), "the bus is not present");
        logFailure(gone.cause(), "Failed to get interface count for framebuffer with ID %u.", framebuffer);
        return gone;
    }
    // An i2c-dev node is exactly one bus.
    const uint32_t busIndex = 0;
    int error = 0;
    auto bus = platform.buses->openChecked(framebuffer, error);
    if (!bus) {
        const auto refused =
            TransferResult::failed("open of i2c-" + std::to_string(framebuffer), FailureCause::errnoCode(error));
        logFailure(refused.cause(), "Failed to connect to interface %u for framebuffer with ID %u.", busIndex,
                   framebuffer);
        return refused;
    }
    const auto address = static_cast<uint8_t>(request.sendAddress >> 1);
    TransferResult result;
    if (request.replyTransactionType == kIOI2CNoTransactionType || request.replyBytes == 0) {
        result = bus->write(address, request.sendBuffer);
    } else {
        const size_t length = std::min<size_t>(request.replyBytes, request.replyBuffer.size());
        result = bus->writeRead(address, request.sendBuffer, request.minReplyDelay, request.replyBuffer.first(length));
    }
    if (!result)
        logFailure(result.cause(), "Failed to send request to interface %u for framebuffer with ID %u.", busIndex,
                   framebuffer);
    return result;
}

TransferResult IntelDDC::sendPacket(const char* command, const std::vector<uint8_t>& packet) {
    I2CRequest request;
    request.sendTransactionType = kIOI2CSimpleTransactionType;
    request.sendAddress = aux::kChipWriteAddress;
    request.sendBuffer = packet;
    return send(request, framebuffer, std::nullopt, platform_).within(command);
}

std::string IntelDDC::GetVersionIntel() {
    std::vector<uint8_t> reply(aux::kVersionReplyLength, 0);
    std::vector<uint8_t> collected;
    for (int pass = 1; pass <= 8; ++pass) {
        // Without a reply transaction type the query cannot be asked.
        const auto type = supportedTransactionType(framebuffer, platform_);
        if (!type) return kReplug;
        I2CRequest request;
        request.sendTransactionType = kIOI2CSimpleTransactionType;
        request.sendAddress = aux::kChipWriteAddress;
        request.sendBuffer = aux::GetVersion();
        request.replyTransactionType = *type;
        request.replyAddress = aux::kChipReadAddress;
        request.replySubAddress = aux::kDataAddress;
        request.minReplyDelay = replyDelay_;
        request.replyBuffer = reply;
        request.replyBytes = static_cast<uint32_t>(reply.size());
        if (!send(request, framebuffer, std::nullopt, platform_)) return kReplug;
        if (pass <= 5) collected.insert(collected.end(), reply.begin(), reply.end());
    }
    const std::string text = SourceModel::BackData(collected);
    const auto models = FileAccess::Matches(R"(ZK\d{4}.*[\x{00}])", text);
    const auto shortModels = FileAccess::Matches(R"(ZK\d{2}x\d{1}.*[\x{00}])", text);
    serviceMatchDisplayIDIntel = models.empty() && shortModels.empty() ? 0 : 1;
    std::string version;
    if (!models.empty()) version = models.front();
    else if (!shortModels.empty()) version = shortModels.front();
    return version.substr(0, version.find('\0'));
}

TransferResult IntelDDC::DebugOnIntel() { return sendPacket("DebugOn", aux::DebugOn()); }
TransferResult IntelDDC::ResetIntel() { return sendPacket("Reset", aux::Reset()); }
TransferResult IntelDDC::WriteIntel(uint16_t address, uint16_t inputValue) {
    return sendPacket("Write", aux::Write(address, inputValue));
}
TransferResult IntelDDC::SendRamWriteCRCIntel(uint16_t serialNo, uint16_t crc) {
    return sendPacket("SendRamWriteCRC", aux::SendRamWriteCRC(serialNo, crc));
}
TransferResult IntelDDC::RamWriteIntel(uint16_t serialNo, std::span<const uint8_t> ISPData, AuxTransfer& transfer) {
    const auto packet = aux::RamWrite(serialNo, ISPData, transfer);
    if (!packet) return TransferResult::failed("RamWrite", aux::chunkOutside(transfer.ISPBufferCount, ISPData.size()));
    return sendPacket("RamWrite", *packet);
}
TransferResult IntelDDC::RunCodeIntel(uint16_t address) { return sendPacket("RunCode", aux::RunCode(address)); }
TransferResult IntelDDC::FlashEraseIntel() { return sendPacket("FlashErase", aux::FlashErase()); }
TransferResult IntelDDC::BeforeUpgradeIntel() { return sendPacket("BeforeUpgrade", aux::BeforeUpgrade()); }
TransferResult IntelDDC::FlashWriteIntel(std::span<const uint8_t> firmwareData, AuxTransfer& transfer) {
    const auto packet = aux::FlashWrite(firmwareData, transfer);
    if (!packet)
        return TransferResult::failed("FlashWrite",
                                      aux::chunkOutside(transfer.firmwareBufferCount, firmwareData.size()));
    return sendPacket("FlashWrite", *packet);
}
TransferResult IntelDDC::SendFlashWriteCRCIntel(uint16_t crc) {
    return sendPacket("SendFlashWriteCRC", aux::SendFlashWriteCRC(crc));
}

void IntelDDC::AUXFirmwareUpgradeIntel(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                                       uint64_t ramWriteSize, uint64_t flashWriteSize,
                                       const ProgressObserver& observer) {
    IntelCommands commands(*this);
    runAuxUpgrade(commands, AuxTiming::intel(), ISPData, firmwareData, ramWriteSize, flashWriteSize, observer);
}

}  // namespace quorvel
