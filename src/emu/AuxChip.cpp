#include "emu/AuxChip.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "model/Hex.h"

namespace quorvel::emu {

namespace {

constexpr uint8_t kLead = 0x51;
constexpr uint16_t kLoaderAddress = 0x2000;
constexpr size_t kBlock = 256;

struct Layout {
    size_t length;
    uint8_t byte1;
    uint8_t byte4;
};

Layout layoutOf(AuxPacketKind kind) {
    switch (kind) {
    case AuxPacketKind::GetVersion: return {6, 0x03, 0x03};
    case AuxPacketKind::DebugOn: return {10, 0x07, 0x07};
    case AuxPacketKind::Reset: return {10, 0x07, 0x07};
    case AuxPacketKind::Write: return {10, 0x07, 0x07};
    case AuxPacketKind::RamWrite: return {14, 0x0B, 0x0B};
    case AuxPacketKind::SendRamWriteCRC: return {14, 0x8B, 0x0B};
    case AuxPacketKind::RunCode: return {8, 0x06, 0x05};
    case AuxPacketKind::FlashErase: return {8, 0x06, 0x05};
    case AuxPacketKind::FlashWrite: return {14, 0x0B, 0x0A};
    case AuxPacketKind::SendFlashWriteCRC: return {14, 0x8B, 0x04};
    case AuxPacketKind::BeforeUpgrade: return {6, 0x03, 0x02};
    default: return {0, 0, 0};
    }
}

uint16_t be16(std::span<const uint8_t> p, size_t at) { return static_cast<uint16_t>((p[at] << 8) | p[at + 1]); }

bool zeros(std::span<const uint8_t> p, size_t from, size_t to) {
    for (size_t i = from; i < to && i < p.size(); ++i)
        if (p[i] != 0) return false;
    return true;
}

std::string hex(std::span<const uint8_t> p) { return hexBytes(p, " "); }

}  // namespace

I2CStatus AuxEdidEeprom::write(std::span<const uint8_t> data) {
    std::lock_guard lock(mutex_);
    if (!data.empty()) offset_ = data[0];
    return I2CStatus::Ok;
}

I2CStatus AuxEdidEeprom::read(std::span<uint8_t> out) {
    std::lock_guard lock(mutex_);
    for (auto& b : out) {
        b = offset_ < contents_.size() ? contents_[offset_] : 0xFF;
        offset_ = (offset_ + 1) % 256;
    }
    return I2CStatus::Ok;
}

I2CStatus AuxDdcMonitor::write(std::span<const uint8_t> data) {
    std::lock_guard lock(mutex_);
    transcript_.push_back(
        {std::chrono::steady_clock::now(), classifyAuxPacket(data), {data.begin(), data.end()}, I2CStatus::Ok});
    return I2CStatus::Ok;
}

I2CStatus AuxDdcMonitor::read(std::span<uint8_t> out) {
    static constexpr uint8_t kNullMessage[3] = {0x6E, 0x80, 0xBE};
    for (size_t i = 0; i < out.size(); ++i) out[i] = i < 3 ? kNullMessage[i] : 0x00;
    std::lock_guard lock(mutex_);
    transcript_.push_back(
        {std::chrono::steady_clock::now(), AuxPacketKind::VersionRead, {out.begin(), out.end()}, I2CStatus::Ok});
    return I2CStatus::Ok;
}

std::vector<AuxTranscriptEntry> AuxDdcMonitor::transcript() const {
    std::lock_guard lock(mutex_);
    return transcript_;
}

size_t AuxDdcMonitor::packetCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(transcript_.begin(), transcript_.end(),
                                             [](const auto& e) { return e.kind != AuxPacketKind::VersionRead; }));
}

const char* toString(AuxPacketKind kind) {
    switch (kind) {
    case AuxPacketKind::GetVersion: return "GetVersion";
    case AuxPacketKind::DebugOn: return "DebugOn";
    case AuxPacketKind::Reset: return "Reset";
    case AuxPacketKind::Write: return "Write";
    case AuxPacketKind::RamWrite: return "RamWrite";
    case AuxPacketKind::SendRamWriteCRC: return "SendRamWriteCRC";
    case AuxPacketKind::RunCode: return "RunCode";
    case AuxPacketKind::FlashErase: return "FlashErase";
    case AuxPacketKind::FlashWrite: return "FlashWrite";
    case AuxPacketKind::SendFlashWriteCRC: return "SendFlashWriteCRC";
    case AuxPacketKind::BeforeUpgrade: return "BeforeUpgrade";
    case AuxPacketKind::VersionRead: return "VersionRead";
    case AuxPacketKind::Unknown: return "Unknown";
    }
    return "Unknown";
}

AuxPacketKind classifyAuxPacket(std::span<const uint8_t> p) {
    if (p.size() < 6 || p[0] != kLead) return AuxPacketKind::Unknown;
    switch (p[5]) {
    case 0x08: return AuxPacketKind::GetVersion;
    case 0x09: return AuxPacketKind::DebugOn;
    case 0x20: return AuxPacketKind::Reset;
    case 0x07: return AuxPacketKind::Write;
    case 0x13:
        if (p[1] != 0x8B) return AuxPacketKind::RamWrite;
        return p[4] == 0x04 ? AuxPacketKind::SendFlashWriteCRC : AuxPacketKind::SendRamWriteCRC;
    case 0x1D: return AuxPacketKind::RunCode;
    case 0x19: return AuxPacketKind::FlashErase;
    case 0x10: return AuxPacketKind::FlashWrite;
    case 0x00: return AuxPacketKind::BeforeUpgrade;
    default: return AuxPacketKind::Unknown;
    }
}

uint16_t AuxChip::crc16(std::span<const uint8_t> bytes, uint16_t start) {
    uint16_t crc = start;
    for (uint8_t b : bytes) {
        crc ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i) crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

std::vector<uint8_t> AuxChip::versionRecord(const std::string& text) {
    std::vector<uint8_t> record(64, 0);
    const size_t length = std::min<size_t>(text.size(), 61);
    record[0] = 0x88;
    record[1] = static_cast<uint8_t>(0x80 | length);
    std::copy_n(text.begin(), length, record.begin() + 2);
    return record;
}

AuxChip::AuxChip(AuxChipOptions options) : options_(std::move(options)), flash_(options_.flashSize, 0xFF) {}

void AuxChip::violation(const std::string& text) { violations_.push_back(text); }

I2CStatus AuxChip::write(std::span<const uint8_t> data) {
    std::lock_guard lock(mutex_);
    const AuxPacketKind kind = classifyAuxPacket(data);
    ++packets_;
    const I2CStatus status = faults_.take(kind).value_or(I2CStatus::Ok);
    transcript_.push_back({std::chrono::steady_clock::now(), kind, {data.begin(), data.end()}, status});
    if (status == I2CStatus::Ok) apply(kind, data);
    return status;
}

I2CStatus AuxChip::read(std::span<uint8_t> out) {
    std::lock_guard lock(mutex_);
    const I2CStatus status = faults_.take(AuxPacketKind::VersionRead).value_or(I2CStatus::Ok);
    std::fill(out.begin(), out.end(), 0xFF);
    if (status == I2CStatus::Ok) answerVersion(out);
    transcript_.push_back(
        {std::chrono::steady_clock::now(), AuxPacketKind::VersionRead, {out.begin(), out.end()}, status});
    return status;
}

void AuxChip::answerVersion(std::span<uint8_t> out) {
    if (!versionPending_) {
        violation("read without a version query");
        return;
    }
    const auto record = versionRecord(currentVersion());
    const size_t chunk = (versionQueries_ - 1) % 4;
    for (size_t i = 0; i < out.size(); ++i) out[i] = i < 16 ? record[chunk * 16 + i] : 0xFF;
}

// The checks every packet passes (its layout, no serial number where none
// belongs), then its own handler.
void AuxChip::apply(AuxPacketKind kind, std::span<const uint8_t> p) {
    if (kind != AuxPacketKind::GetVersion) {
        versionPending_ = false;
        versionQueries_ = 0;
    }
    if (kind == AuxPacketKind::Unknown) {
        violation("unknown packet " + hex(p));
        return;
    }
    const Layout layout = layoutOf(kind);
    const std::string name = toString(kind);
    const bool flagged = kind == AuxPacketKind::FlashWrite && p.size() > 1 && p[1] == 0x4B;
    if (p.size() != layout.length || (p[1] != layout.byte1 && !flagged) || p[4] != layout.byte4) {
        violation(name + " with a wrong layout: " + hex(p));
        return;
    }
    const bool serialCarried = kind == AuxPacketKind::RamWrite || kind == AuxPacketKind::SendRamWriteCRC;
    if (!serialCarried && !zeros(p, 2, 4)) violation(name + " with a serial number: " + hex(p));

    switch (kind) {
    case AuxPacketKind::GetVersion: onGetVersion(p); break;
    case AuxPacketKind::DebugOn: onDebugOn(p); break;
    case AuxPacketKind::BeforeUpgrade: break;
    case AuxPacketKind::Reset: onReset(p); break;
    case AuxPacketKind::Write: onWrite(p); break;
    case AuxPacketKind::RamWrite: onRamWrite(p); break;
    case AuxPacketKind::SendRamWriteCRC: onRamCrc(p); break;
    case AuxPacketKind::RunCode: onRunCode(p); break;
    case AuxPacketKind::FlashErase: onFlashErase(p); break;
    case AuxPacketKind::FlashWrite: onFlashWrite(p, flagged); break;
    case AuxPacketKind::SendFlashWriteCRC: onFlashCrc(p); break;
    case AuxPacketKind::VersionRead:
    case AuxPacketKind::Unknown: break;
    }
}

void AuxChip::onGetVersion(std::span<const uint8_t>) {
    versionPending_ = true;
    ++versionQueries_;
}

void AuxChip::onDebugOn(std::span<const uint8_t> p) {
    if (!zeros(p, 6, 10)) violation("DebugOn with operands: " + hex(p));
    mode_ = Mode::Debug;
}

void AuxChip::onReset(std::span<const uint8_t> p) {
    if (p[6] != 0x03 || !zeros(p, 7, 10)) violation("Reset with wrong operands: " + hex(p));
    if (mode_ != Mode::Debug) violation("Reset outside debug mode");
    mode_ = Mode::Isp;
    ram_.clear();
    expectedSerial_ = 0;
    ramCrc_ = 0x1021;
    ramBlockBytes_ = 0;
    ramBlocks_ = 0;
}

void AuxChip::onWrite(std::span<const uint8_t> p) {
    if (mode_ != Mode::Isp) violation("Write outside programming mode");
    registers_[be16(p, 6)] = be16(p, 8);
}

void AuxChip::onRamWrite(std::span<const uint8_t> p) {
    if (mode_ != Mode::Isp) {
        violation("RamWrite outside programming mode");
        return;
    }
    const uint16_t serial = be16(p, 2);
    if (serial != expectedSerial_)
        violation("RamWrite serial " + std::to_string(serial) + ", expected " + std::to_string(expectedSerial_));
    expectedSerial_ = static_cast<uint16_t>(serial + 1);
    if (ramBlockBytes_ >= kBlock) violation("RAM block longer than 256 bytes");
    if (ram_.size() + 8 > options_.ramSize) {
        violation("RAM overflow");
        return;
    }
    ram_.insert(ram_.end(), p.begin() + 6, p.begin() + 14);
    ramCrc_ = crc16(p.subspan(6, 8), ramCrc_);
    ramBlockBytes_ += 8;
}

void AuxChip::onRamCrc(std::span<const uint8_t> p) {
    if (mode_ != Mode::Isp) {
        violation("SendRamWriteCRC outside programming mode");
        return;
    }
    const uint16_t serial = be16(p, 2);
    if (serial != expectedSerial_)
        violation("SendRamWriteCRC serial " + std::to_string(serial) + ", expected " + std::to_string(expectedSerial_));
    expectedSerial_ = static_cast<uint16_t>(serial + 1);
    if (!zeros(p, 8, 14)) violation("SendRamWriteCRC with padding: " + hex(p));
    if (ramBlockBytes_ != kBlock) violation("RAM CRC after " + std::to_string(ramBlockBytes_) + " bytes");
    if (be16(p, 6) != ramCrc_) violation("RAM block CRC mismatch at serial " + std::to_string(serial));
    else if (ramBlockBytes_ == kBlock) ++ramBlocks_;
    ramCrc_ = 0x1021;
    ramBlockBytes_ = 0;
}

void AuxChip::onRunCode(std::span<const uint8_t> p) {
    if (mode_ != Mode::Isp) violation("RunCode outside programming mode");
    if (be16(p, 6) != kLoaderAddress) violation("RunCode at another address: " + hex(p));
    if (ram_.empty()) violation("RunCode with an empty RAM");
    if (mode_ == Mode::Isp && !ram_.empty()) mode_ = Mode::Loader;
}

void AuxChip::onFlashErase(std::span<const uint8_t> p) {
    if (!zeros(p, 6, 8)) violation("FlashErase with operands: " + hex(p));
    if (mode_ != Mode::Loader) {
        violation("FlashErase without a running loader");
        return;
    }
    std::fill(flash_.begin(), flash_.end(), 0xFF);
    erased_ = true;
    flashOffset_ = 0;
    flashCrc_ = 0x1021;
    flashBlockBytes_ = 0;
    flashBlocks_ = 0;
}

void AuxChip::onFlashWrite(std::span<const uint8_t> p, bool lastOfBlock) {
    if (mode_ != Mode::Loader || !erased_) {
        violation("FlashWrite without a running loader and an erased flash");
        return;
    }
    const bool last = flashOffset_ % kBlock == kBlock - 8;
    if (lastOfBlock != last)
        violation("FlashWrite at offset " + std::to_string(flashOffset_) + " has byte 1 " + hex(p.subspan(1, 1)));
    if (flashBlockBytes_ >= kBlock) violation("flash block longer than 256 bytes");
    if (flashOffset_ + 8 > flash_.size()) {
        violation("flash overflow");
        return;
    }
    std::copy(p.begin() + 6, p.begin() + 14, flash_.begin() + static_cast<long>(flashOffset_));
    flashOffset_ += 8;
    flashCrc_ = crc16(p.subspan(6, 8), flashCrc_);
    flashBlockBytes_ += 8;
}

void AuxChip::onFlashCrc(std::span<const uint8_t> p) {
    if (mode_ != Mode::Loader) {
        violation("SendFlashWriteCRC without a running loader");
        return;
    }
    if (!zeros(p, 8, 14)) violation("SendFlashWriteCRC with padding: " + hex(p));
    if (flashBlockBytes_ != kBlock) violation("flash CRC after " + std::to_string(flashBlockBytes_) + " bytes");
    if (be16(p, 6) != flashCrc_) violation("flash block CRC mismatch at offset " + std::to_string(flashOffset_));
    else if (flashBlockBytes_ == kBlock) ++flashBlocks_;
    flashCrc_ = 0x1021;
    flashBlockBytes_ = 0;
}

std::string AuxChip::currentVersion() const {
    // A flashed image reports the version text it carries.
    if (flashOffset_ > 0) {
        const auto begin = flash_.begin();
        const auto end = begin + static_cast<long>(flashOffset_);
        for (auto it = begin; it + 6 <= end; ++it) {
            if (it[0] != 'Z' || it[1] != 'K' || !std::all_of(it + 2, it + 6, [](uint8_t c) { return std::isdigit(c); }))
                continue;
            std::string text;
            for (auto c = it; c != end && *c != 0 && text.size() < 61; ++c) text.push_back(static_cast<char>(*c));
            return text;
        }
    }
    return options_.version;
}

void AuxChip::failAt(AuxPacketKind kind, size_t occurrence, I2CStatus status) {
    std::lock_guard lock(mutex_);
    faults_.atKind(kind, occurrence, status);
}

void AuxChip::failAtTransfer(size_t occurrence, I2CStatus status) {
    std::lock_guard lock(mutex_);
    faults_.atAny(occurrence, status);
}

void AuxChip::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::vector<AuxTranscriptEntry> AuxChip::transcript() const {
    std::lock_guard lock(mutex_);
    return transcript_;
}

void AuxChip::clearTranscript() {
    std::lock_guard lock(mutex_);
    transcript_.clear();
}

size_t AuxChip::packetCount() const {
    std::lock_guard lock(mutex_);
    return packets_;
}

std::vector<std::string> AuxChip::violations() const {
    std::lock_guard lock(mutex_);
    return violations_;
}

std::vector<uint8_t> AuxChip::ram() const {
    std::lock_guard lock(mutex_);
    return ram_;
}

std::vector<uint8_t> AuxChip::flash() const {
    std::lock_guard lock(mutex_);
    return flash_;
}

size_t AuxChip::flashBytesWritten() const {
    std::lock_guard lock(mutex_);
    return flashOffset_;
}

size_t AuxChip::flashBlocksVerified() const {
    std::lock_guard lock(mutex_);
    return flashBlocks_;
}

size_t AuxChip::ramBlocksVerified() const {
    std::lock_guard lock(mutex_);
    return ramBlocks_;
}

bool AuxChip::loaderRunning() const {
    std::lock_guard lock(mutex_);
    return mode_ == Mode::Loader;
}

std::map<uint16_t, uint16_t> AuxChip::registers() const {
    std::lock_guard lock(mutex_);
    return registers_;
}

std::string AuxChip::version() const {
    std::lock_guard lock(mutex_);
    return currentVersion();
}

}  // namespace quorvel::emu
