// A model of a converter chip as seen on a display's DDC bus at address
// 0x37: it decodes every AUX packet, checks its length, bytes, serial
// number and each block's CRC, keeps RAM and flash, answers the version
// query with 16-byte replies, records a timed transcript and can be told to
// fail. Beside it, the EDID EEPROM that answers at 0x50 on the same bus.
//
// Built from the wire protocol alone (its own CRC, its own decoding), so
// that tests of the host engine check it against an independent reading.
// Thread-safe: an emulator serves it from umockdev's thread while a test
// or a launcher inspects it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emu/FaultRules.h"

namespace quorvel::emu {

enum class I2CStatus {
    Ok,
    Nak,       // no acknowledge from the target
    BusError,  // the transfer broke down on the wire
};

// One device on an I2C bus.
class I2CTarget {
public:
    virtual ~I2CTarget() = default;
    virtual I2CStatus write(std::span<const uint8_t> data) = 0;
    virtual I2CStatus read(std::span<uint8_t> out) = 0;
};

// An EDID EEPROM: a write sets the offset, a read returns from it.
class AuxEdidEeprom : public I2CTarget {
public:
    explicit AuxEdidEeprom(std::vector<uint8_t> contents) : contents_(std::move(contents)) {}
    I2CStatus write(std::span<const uint8_t> data) override;
    I2CStatus read(std::span<uint8_t> out) override;

private:
    std::mutex mutex_;
    std::vector<uint8_t> contents_;
    size_t offset_ = 0;
};

// Named as the protocol names its commands; VersionRead is the read of the
// version query's reply, the one transfer that is not a packet.
enum class AuxPacketKind {
    GetVersion,
    DebugOn,
    Reset,
    Write,
    RamWrite,
    SendRamWriteCRC,
    RunCode,
    FlashErase,
    FlashWrite,
    SendFlashWriteCRC,
    BeforeUpgrade,
    VersionRead,
    Unknown,
};
const char* toString(AuxPacketKind kind);
// Which command a packet is, from its code and length/flag bytes.
AuxPacketKind classifyAuxPacket(std::span<const uint8_t> packet);

struct AuxTranscriptEntry {
    std::chrono::steady_clock::time_point time;
    AuxPacketKind kind = AuxPacketKind::Unknown;  // versionRead for reads
    std::vector<uint8_t> bytes;                   // written, or answered for reads
    I2CStatus status = I2CStatus::Ok;
};

// An ordinary monitor's DDC/CI endpoint at 0x37, without the converter
// chip: it acknowledges every write and answers every read with the DDC/CI
// null message (6E 80 BE) and padding, never a version text.
class AuxDdcMonitor : public I2CTarget {
public:
    I2CStatus write(std::span<const uint8_t> data) override;
    I2CStatus read(std::span<uint8_t> out) override;
    std::vector<AuxTranscriptEntry> transcript() const;
    size_t packetCount() const;  // writes received

private:
    mutable std::mutex mutex_;
    std::vector<AuxTranscriptEntry> transcript_;
};

struct AuxChipOptions {
    // Reported until a flashed image carries a version text of its own.
    std::string version = "ZK6121 V1.00.0";
    size_t flashSize = 128 * 1024;
    size_t ramSize = 64 * 1024;
};

class AuxChip : public I2CTarget {
public:
    explicit AuxChip(AuxChipOptions options = {});

    I2CStatus write(std::span<const uint8_t> data) override;
    I2CStatus read(std::span<uint8_t> out) override;

    // Failure injection, counted as FaultRules counts: every transfer at
    // 0x37, packets and version reads alike. A failed transfer has no
    // effect on the chip.
    void failAt(AuxPacketKind kind, size_t occurrence,
                I2CStatus status = I2CStatus::Nak);                             // 1 = the next one of `kind`
    void failAtTransfer(size_t occurrence, I2CStatus status = I2CStatus::Nak);  // 1 = the next transfer
    void clearFaults();

    std::vector<AuxTranscriptEntry> transcript() const;
    void clearTranscript();
    size_t packetCount() const;
    // Protocol faults seen: wrong lengths, bytes, serial numbers, CRCs, order.
    std::vector<std::string> violations() const;
    std::vector<uint8_t> ram() const;    // what the RAM phase loaded, from address 0
    std::vector<uint8_t> flash() const;  // the whole flash
    size_t flashBytesWritten() const;    // since the last erase
    size_t flashBlocksVerified() const;  // blocks whose CRC packet matched, since the last erase
    size_t ramBlocksVerified() const;
    bool loaderRunning() const;
    std::map<uint16_t, uint16_t> registers() const;
    std::string version() const;

    // The reply cycle of the version query: a 64-byte record of two header
    // bytes, the version text and NUL padding, 16 bytes per query.
    static std::vector<uint8_t> versionRecord(const std::string& text);
    // CRC-16, polynomial 0x1021, register started at 0x1021, MSB first.
    static uint16_t crc16(std::span<const uint8_t> bytes, uint16_t start = 0x1021);

private:
    enum class Mode { Normal, Debug, Isp, Loader };

    // Packets whose layout has been checked, one handler per kind.
    void apply(AuxPacketKind kind, std::span<const uint8_t> p);
    void onGetVersion(std::span<const uint8_t> p);
    void onDebugOn(std::span<const uint8_t> p);
    void onReset(std::span<const uint8_t> p);
    void onWrite(std::span<const uint8_t> p);
    void onRamWrite(std::span<const uint8_t> p);
    void onRamCrc(std::span<const uint8_t> p);
    void onRunCode(std::span<const uint8_t> p);
    void onFlashErase(std::span<const uint8_t> p);
    void onFlashWrite(std::span<const uint8_t> p, bool lastOfBlock);
    void onFlashCrc(std::span<const uint8_t> p);
    void answerVersion(std::span<uint8_t> out);
    void violation(const std::string& text);
    std::string currentVersion() const;

    AuxChipOptions options_;
    mutable std::mutex mutex_;
    std::vector<AuxTranscriptEntry> transcript_;
    FaultRules<AuxPacketKind, I2CStatus> faults_;
    size_t packets_ = 0;
    std::vector<std::string> violations_;

    Mode mode_ = Mode::Normal;
    std::map<uint16_t, uint16_t> registers_;
    std::vector<uint8_t> ram_;
    uint16_t expectedSerial_ = 0;
    uint16_t ramCrc_ = 0x1021;
    size_t ramBlockBytes_ = 0;
    size_t ramBlocks_ = 0;
    std::vector<uint8_t> flash_;
    bool erased_ = false;
    size_t flashOffset_ = 0;
    uint16_t flashCrc_ = 0x1021;
    size_t flashBlockBytes_ = 0;
    size_t flashBlocks_ = 0;
    size_t versionQueries_ = 0;
    bool versionPending_ = false;
};

}  // namespace quorvel::emu
