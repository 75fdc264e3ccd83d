// The direct I2C road to a display's chip: the display's DDC bus found
// through its connector (or by matching EDIDs over the buses), one
// transaction per request, and the AUX commands and upgrade over it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "display/AuxSequence.h"
#include "display/DisplayPlatform.h"
#include "model/SourceModel.h"

namespace quorvel {

inline constexpr uint32_t kIOI2CNoTransactionType = 0;
inline constexpr uint32_t kIOI2CSimpleTransactionType = 1;
inline constexpr uint32_t kIOI2CDDCciReplyTransactionType = 2;

// One I2C request: a send part and an optional reply part.
struct I2CRequest {
    uint32_t sendTransactionType = kIOI2CNoTransactionType;
    uint32_t sendAddress = 0;  // 8-bit form
    std::vector<uint8_t> sendBuffer;
    uint32_t replyTransactionType = kIOI2CNoTransactionType;
    uint32_t replyAddress = 0;
    uint32_t replySubAddress = 0;
    std::chrono::microseconds minReplyDelay{0};
    std::span<uint8_t> replyBuffer;
    uint32_t replyBytes = 0;
};

// Why displays could not be given their bus, gathered while the list is
// built so that the user can be told what to change.
struct BusReport {
    std::set<uint32_t> denied;                // the open was refused for lack of permission
    std::map<uint32_t, std::string> drivers;  // a kernel driver is bound to the chip address
    std::set<uint32_t> missingNodes;          // the bus has no /dev/i2c-N node
};

class IntelDDC {
public:
    // The transport of one display, or nothing for a built-in panel, a
    // display without a DDC bus, or a bus without plain I2C.
    static std::unique_ptr<IntelDDC> create(uint32_t displayId,
                                            std::optional<uint32_t> withReplyTransactionType = std::nullopt);
    static std::unique_ptr<IntelDDC> create(uint32_t displayId, std::optional<uint32_t> withReplyTransactionType,
                                            const DisplayPlatform& platform);
    // The same for a connector already read, among the connected ones
    // (`connected`, which may include it): their buses are never taken by
    // the EDID search.
    static std::unique_ptr<IntelDDC> create(const ConnectorInfo& connector, std::span<const ConnectorInfo> connected,
                                            std::optional<uint32_t> withReplyTransactionType,
                                            const DisplayPlatform& platform, BusReport* report = nullptr);

    const uint32_t displayId;
    const uint32_t framebuffer;  // the i2c-dev bus number
    const uint32_t replyTransactionType;
    bool enabled = false;
    SourceModel sourceModels;

    // The bus's place for ChipHold.
    std::string place() const { return platform_.buses ? platform_.buses->place(framebuffer) : std::string(); }

    // Pause between the version query's write and its read.
    std::chrono::microseconds versionReplyDelay() const { return replyDelay_; }
    void setVersionReplyDelay(std::chrono::microseconds delay) { replyDelay_ = delay; }
    static constexpr std::chrono::microseconds kDefaultVersionReplyDelay{10000};

    std::string GetVersionIntel();
    // Each command answers whether its packet was delivered, and if not why
    // ("RamWrite: write to 0x37: NAK of 6e 51 0b ...").
    TransferResult DebugOnIntel();
    TransferResult ResetIntel();
    TransferResult WriteIntel(uint16_t address, uint16_t inputValue);
    TransferResult SendRamWriteCRCIntel(uint16_t serialNo, uint16_t WCRC);
    // The chunk at the transfer's ISPBufferCount, fed to its WCRC.
    TransferResult RamWriteIntel(uint16_t serialNo, std::span<const uint8_t> ISPData, AuxTransfer& transfer);
    TransferResult RunCodeIntel(uint16_t address);
    TransferResult FlashEraseIntel();
    TransferResult BeforeUpgradeIntel();
    // The chunk at the transfer's firmwareBufferCount, its startLength in byte 1.
    TransferResult FlashWriteIntel(std::span<const uint8_t> firmwareData, AuxTransfer& transfer);
    TransferResult SendFlashWriteCRCIntel(uint16_t WCRC);
    // Throws Errors::customErrors::AUXUpgradeError, with the cause of the
    // first failing command, at that command.
    void AUXFirmwareUpgradeIntel(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                                 uint64_t ramWriteSize, uint64_t flashWriteSize, const ProgressObserver& observer = {});

    static std::optional<uint32_t> ioFramebufferPortFromDisplayId(uint32_t displayId, const DisplayPlatform& platform);
    static std::optional<uint32_t> ioFramebufferPortFromDisplayId(const ConnectorInfo& connector,
                                                                  std::span<const ConnectorInfo> connected,
                                                                  const DisplayPlatform& platform,
                                                                  BusReport* report = nullptr);
    static std::optional<uint32_t> servicePortUsingDisplayPropertiesMatching(uint32_t displayId,
                                                                             const DisplayPlatform& platform);
    // The connector's own DP-AUX adapter first; otherwise the one display
    // adapter bus, not named by another connected connector, whose EDID at
    // 0x50 agrees. A display whose EDID is found on two buses gets none.
    static std::optional<uint32_t> servicePortUsingDisplayPropertiesMatching(const ConnectorInfo& connector,
                                                                             std::span<const ConnectorInfo> connected,
                                                                             const DisplayPlatform& platform,
                                                                             BusReport* report = nullptr);
    // One request; a failure is logged with its cause and returned.
    static TransferResult send(I2CRequest& request, uint32_t framebuffer, std::optional<uint32_t> errorRecoveryWaitTime,
                               const DisplayPlatform& platform);

private:
    IntelDDC(uint32_t displayId, uint32_t framebuffer, uint32_t replyTransactionType, DisplayPlatform platform);
    static std::optional<uint32_t> supportedTransactionType(uint32_t framebuffer, const DisplayPlatform& platform,
                                                            BusReport* report = nullptr);
    TransferResult sendPacket(const char* command, const std::vector<uint8_t>& packet);

    DisplayPlatform platform_;
    std::chrono::microseconds replyDelay_ = kDefaultVersionReplyDelay;
};

}  // namespace quorvel
