#include "emu/UsbChip.h"

#include <algorithm>
#include <array>

#include "model/Hex.h"

namespace quorvel::emu {

namespace {

constexpr uint8_t kTypeIn = 0xC1;   // vendor, interface, device-to-host
constexpr uint8_t kTypeOut = 0x41;  // vendor, interface, host-to-device

// The chip's own command codes.
constexpr uint8_t kGetVersion = 0x08;
constexpr uint8_t kRead = 0x06;
constexpr uint8_t kDebugOn = 0x09;
constexpr uint8_t kReset = 0x20;
constexpr uint8_t kWrite = 0x07;
constexpr uint8_t kRamWrite = 0x13;
constexpr uint8_t kRunCode = 0x1D;
constexpr uint8_t kFlashErase = 0x19;
constexpr uint8_t kFlashWrite = 0x10;

constexpr uint16_t kLoaderAddress = 0x2000;
constexpr size_t kReadReplyLength = 11;
constexpr uint8_t kPageProgramError = 0x02;

// Chip identifiers whose debug mode is entered through register writes.
constexpr int64_t kTalmore = 0x00;
constexpr int64_t kVirrenA = 0xA1;
constexpr int64_t kVirrenB = 0xA3;

// Registers the host must clear before the loader may run.
constexpr std::array<uint16_t, 7> kPreparedRegisters = {0x80AD, 0x80C0, 0x80C9, 0x80D1, 0x80D9, 0x80E1, 0x80E9};

bool isIn(RequestKind kind) {
    return kind == RequestKind::GetVersion || kind == RequestKind::Read || kind == RequestKind::StatusRead;
}

std::string hex(unsigned value, int digits) { return "0x" + hexDigits(value, digits); }

}  // namespace

const char* toString(Outcome outcome) {
    switch (outcome) {
    case Outcome::Ok: return "ok";
    case Outcome::TransferError: return "transfer error";
    case Outcome::Stall: return "stall";
    case Outcome::Timeout: return "timeout";
    case Outcome::NoDevice: return "no device";
    }
    return "?";
}

const char* toString(RequestKind kind) {
    switch (kind) {
    case RequestKind::GetVersion: return "GetVersion";
    case RequestKind::Read: return "Read";
    case RequestKind::StatusRead: return "StatusRead";
    case RequestKind::DebugOn: return "DebugOn";
    case RequestKind::Reset: return "Reset";
    case RequestKind::Write: return "Write";
    case RequestKind::RamWrite: return "RamWrite";
    case RequestKind::RunCode: return "RunCode";
    case RequestKind::FlashErase: return "FlashErase";
    case RequestKind::FlashWrite: return "FlashWrite";
    case RequestKind::Unknown: return "Unknown";
    }
    return "?";
}

const char* toString(ChipState state) {
    switch (state) {
    case ChipState::Idle: return "idle";
    case ChipState::Debug: return "debug";
    case ChipState::LoaderLoading: return "loader loading";
    case ChipState::LoaderRunning: return "loader running";
    case ChipState::Erased: return "erased";
    case ChipState::Programmed: return "programmed";
    }
    return "?";
}

UsbChip::UsbChip(UsbChipOptions options) : options_(std::move(options)), start_(std::chrono::steady_clock::now()) {
    std::lock_guard lock(mutex_);
    // A chip fresh from the factory holds some old firmware, not erased flash,
    // so that an erase is visible.
    flash_.assign(options_.flashSize, 0x00);
    versionText_ = options_.versionText;
    resetLocked();
}

void UsbChip::resetLocked() {
    regs_.assign(0x10000, 0);
    const auto id = static_cast<uint16_t>(options_.chipId);
    regs_[options_.chipIdInSecondRegister ? kChipIdRegister2 : kChipIdRegister] = id;
    // Debug-enable registers with bit 0 clear, halt registers set, and the
    // clock gate 0x8088 with bit 7 set: the chip runs its firmware.
    regs_[0x0A06] = 0x4A;
    regs_[0x0A74] = 0x10;
    regs_[0x0ED6] = 0x20;
    regs_[0x1304] = 0x30;
    regs_[0x8900] = 0x01;
    regs_[0x8800] = 0x01;
    regs_[0x8088] = 0xC5;
    for (uint16_t r : kPreparedRegisters) regs_[r] = 0xFF;
    for (const auto& [address, value] : options_.registers) regs_[address] = value;

    ram_.assign(kRamSize, 0);
    state_ = ChipState::Idle;
    loadStart_ = loadNext_ = 0;
    loadLength_ = 0;
    flashNext_ = 0;
    lastPacketSize_ = 0;
    imageEnded_ = false;
    pageOpen_ = pageFaulty_ = false;
    lastPageStatus_ = 0;
}

RequestKind UsbChip::classify(const ControlSetup& setup) const {
    if (setup.bmRequestType == kTypeIn) {
        if (setup.bRequest == kGetVersion) return RequestKind::GetVersion;
        if (setup.bRequest == kRead)
            return setup.wValue == kStatusRegister ? RequestKind::StatusRead : RequestKind::Read;
    } else if (setup.bmRequestType == kTypeOut) {
        switch (setup.bRequest) {
        case kDebugOn: return RequestKind::DebugOn;
        case kReset: return RequestKind::Reset;
        case kWrite: return RequestKind::Write;
        case kRamWrite: return RequestKind::RamWrite;
        case kRunCode: return RequestKind::RunCode;
        case kFlashErase: return RequestKind::FlashErase;
        case kFlashWrite: return RequestKind::FlashWrite;
        default: break;
        }
    }
    return RequestKind::Unknown;
}

std::optional<Fault> UsbChip::takeFault(RequestKind kind) {
    if (kind != RequestKind::StatusRead) return faults_.take(kind);
    // A status read concerns the open page, or the last one closed.
    const size_t page = pageOpen_ || pageStatuses_.empty() ? pageStatuses_.size() : pageStatuses_.size() - 1;
    return faults_.take(kind, page);
}

UsbChip::Result UsbChip::handle(const ControlSetup& setup, std::span<uint8_t> data) {
    std::lock_guard lock(mutex_);
    RequestRecord record;
    record.index = requestCount_++;
    record.time = options_.clock
                      ? options_.clock()
                      : std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_);
    record.setup = setup;
    record.kind = classify(setup);
    const size_t length = std::min<size_t>(setup.wLength, data.size());
    if (!isIn(record.kind)) record.out.assign(data.begin(), data.begin() + length);

    Result result;
    const auto fault = takeFault(record.kind);
    if (!plugged_) {
        result.outcome = Outcome::NoDevice;
    } else if (fault == Fault::Short) {
        if (isIn(record.kind)) {
            // Served in full, but only the first half of the reply arrives.
            std::vector<uint8_t> reply(data.begin(), data.begin() + length);
            result = serve({record.index, setup, record.kind, reply, false});
            result.transferred = std::min(result.transferred, length / 2);
            std::copy_n(reply.begin(), result.transferred, data.begin());
        } else {
            result.transferred = length / 2;  // the frame is not taken
        }
    } else if (fault && *fault != Fault::WrongPageStatus) {
        switch (*fault) {
        case Fault::TransferError: result.outcome = Outcome::TransferError; break;
        case Fault::Stall: result.outcome = Outcome::Stall; break;
        case Fault::Timeout: result.outcome = Outcome::Timeout; break;
        case Fault::Unplug:
            plugged_ = false;
            result.outcome = Outcome::NoDevice;
            break;
        case Fault::WrongPageStatus:
        case Fault::Short: break;
        }
    } else if (data.size() < setup.wLength) {
        result = refuse({record.index, setup, record.kind, data, false},
                        "data stage of " + std::to_string(data.size()) + " bytes for wLength " +
                            std::to_string(setup.wLength));
    } else {
        result = serve({record.index, setup, record.kind, data.first(setup.wLength), fault.has_value()});
        if (!isIn(record.kind) && result.outcome == Outcome::Ok) result.transferred = length;
    }

    if (isIn(record.kind)) record.in.assign(data.begin(), data.begin() + result.transferred);
    record.outcome = result.outcome;
    if (options_.recordTranscript) transcript_.push_back(std::move(record));
    return result;
}

UsbChip::Result UsbChip::refuse(const Request& request, const std::string& why) {
    violations_.push_back("request " + std::to_string(request.index) + " (" + toString(request.kind) + "): " + why);
    return {Outcome::Stall, 0};
}

std::optional<std::string> UsbChip::badFrame(const Request& request, size_t length, bool closingZero) {
    const ControlSetup& s = request.setup;
    const std::span<uint8_t> d = request.data;
    const size_t n = d.size();
    if (s.wValue != 0 || s.wIndex != 0) return "wValue/wIndex not 0";
    if (n != length) return "wLength " + std::to_string(n) + ", expected " + std::to_string(length);
    if (d[0] != n) return "length byte " + std::to_string(d[0]) + " for wLength " + std::to_string(n);
    if (d[1] != s.bRequest) return "frame code " + hex(d[1], 2) + " differs from bRequest";
    if (closingZero && d[n - 1] != 0) return "frame not closed by 0";
    return std::nullopt;
}

std::optional<uint16_t> UsbChip::debugEnableRegister() const {
    if (options_.chipId == kTalmore) return regs_[0x0A06] == 0x49 ? 0x0A74 : 0x0A06;
    if (options_.chipId == kVirrenA) return 0x0ED6;
    if (options_.chipId == kVirrenB) return 0x1304;
    return std::nullopt;
}

void UsbChip::writeRegister(uint16_t address, uint16_t value) {
    regs_[address] = value;
    // The manual way into debug mode: enable bit set, core halted, then the
    // clock gate opened by clearing bit 7 of 0x8088.
    if (address == 0x8088 && (value & 0x80) == 0 && state_ == ChipState::Idle) {
        const auto enable = debugEnableRegister();
        const uint16_t halt = options_.chipId == kTalmore ? 0x8900 : 0x8800;
        if (enable && (regs_[*enable] & 1) != 0 && regs_[halt] == 0) state_ = ChipState::Debug;
    }
}

void UsbChip::closePage() {
    const uint8_t status = pageFaulty_ ? kPageProgramError : kPageOk;
    pageStatuses_.push_back(status);
    lastPageStatus_ = status;
    pageOpen_ = false;
    pageFaulty_ = false;
    state_ = ChipState::Programmed;
}

UsbChip::Result UsbChip::serve(const Request& request) {
    switch (request.kind) {
    case RequestKind::GetVersion: return serveGetVersion(request);
    case RequestKind::Read: return serveRead(request);
    case RequestKind::StatusRead: return serveStatusRead(request);
    case RequestKind::DebugOn: return serveDebugOn(request);
    case RequestKind::Reset: return serveReset(request);
    case RequestKind::Write: return serveWrite(request);
    case RequestKind::RamWrite: return serveRamWrite(request);
    case RequestKind::RunCode: return serveRunCode(request);
    case RequestKind::FlashErase: return serveFlashErase(request);
    case RequestKind::FlashWrite: return serveFlashWrite(request);
    case RequestKind::Unknown: break;
    }
    return refuse(request,
                  "unknown request " + hex(request.setup.bmRequestType, 2) + "/" + hex(request.setup.bRequest, 2));
}

UsbChip::Result UsbChip::serveGetVersion(const Request& r) {
    const ControlSetup& s = r.setup;
    if (s.wValue != 0xFFFF || s.wIndex != 0xFFFF) return refuse(r, "wValue/wIndex not 0xFFFF");
    std::vector<uint8_t> reply;
    if (options_.versionReply) {
        reply = *options_.versionReply;
    } else {
        const size_t textLength = std::min<size_t>(versionText_.size(), 255 - 3);
        reply.push_back(static_cast<uint8_t>(textLength + 3));
        reply.push_back(kGetVersion);
        reply.insert(reply.end(), versionText_.begin(), versionText_.begin() + textLength);
        reply.push_back(0);
    }
    const size_t sent = std::min(reply.size(), r.data.size());
    std::copy_n(reply.begin(), sent, r.data.begin());
    return {Outcome::Ok, sent};
}

UsbChip::Result UsbChip::serveRead(const Request& r) {
    const ControlSetup& s = r.setup;
    if (s.wIndex != 0xFFFF) return refuse(r, "wIndex not 0xFFFF");
    if (r.data.size() != kReadReplyLength)
        return refuse(r, "wLength " + std::to_string(r.data.size()) + ", expected 11");
    const uint16_t value = regs_[s.wValue];
    std::array<uint8_t, kReadReplyLength> reply{static_cast<uint8_t>(kReadReplyLength), kRead,
                                                static_cast<uint8_t>(s.wValue >> 8),    static_cast<uint8_t>(s.wValue),
                                                static_cast<uint8_t>(value >> 8),       static_cast<uint8_t>(value)};
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < reply.size(); ++i) sum = static_cast<uint8_t>(sum + reply[i]);
    reply.back() = static_cast<uint8_t>(0 - sum);
    std::copy(reply.begin(), reply.end(), r.data.begin());
    return {Outcome::Ok, reply.size()};
}

UsbChip::Result UsbChip::serveStatusRead(const Request& r) {
    if (r.setup.wIndex != 0xFFFF) return refuse(r, "wIndex not 0xFFFF");
    if (r.data.empty()) return refuse(r, "status read without data stage");
    // A page cut short by the end of the image is committed when its
    // status is asked for.
    if (pageOpen_) closePage();
    uint8_t status = lastPageStatus_;
    if (r.wrongStatus) {
        status = options_.wrongPageStatus;
        if (!pageStatuses_.empty()) pageStatuses_.back() = status;
    }
    r.data[0] = status;
    return {Outcome::Ok, 1};
}

UsbChip::Result UsbChip::serveDebugOn(const Request& r) {
    if (auto why = badFrame(r, 3, true)) return refuse(r, *why);
    state_ = ChipState::Debug;
    loadLength_ = 0;
    return {};
}

UsbChip::Result UsbChip::serveReset(const Request& r) {
    if (auto why = badFrame(r, 4, true)) return refuse(r, *why);
    resets_.push_back(r.data[2]);
    return {};
}

UsbChip::Result UsbChip::serveWrite(const Request& r) {
    if (auto why = badFrame(r, 7, true)) return refuse(r, *why);
    const auto d = r.data;
    writeRegister(static_cast<uint16_t>(d[2] << 8 | d[3]), static_cast<uint16_t>(d[4] << 8 | d[5]));
    return {};
}

UsbChip::Result UsbChip::serveRamWrite(const Request& r) {
    const auto d = r.data;
    const size_t n = d.size();
    if (n < 6) return refuse(r, "RAM frame of " + std::to_string(n) + " bytes carries no data");
    if (auto why = badFrame(r, n, false)) return refuse(r, *why);
    uint8_t sum = 0;
    for (uint8_t b : d) sum = static_cast<uint8_t>(sum + b);
    if (sum != 0) return refuse(r, "RAM frame checksum mismatch");
    if (state_ != ChipState::Debug && state_ != ChipState::LoaderLoading)
        return refuse(r, std::string("RAM frame in state ") + toString(state_));
    const auto address = static_cast<uint16_t>(d[2] << 8 | d[3]);
    if (state_ == ChipState::LoaderLoading && address != loadNext_)
        return refuse(r, "RAM frame at " + hex(address, 4) + ", expected " + hex(loadNext_, 4));
    if (state_ == ChipState::Debug) {
        loadStart_ = loadNext_ = address;
        loadLength_ = 0;
    }
    const size_t count = n - 5;
    for (size_t i = 0; i < count; ++i) ram_[static_cast<uint16_t>(address + i)] = d[4 + i];
    loadNext_ = static_cast<uint16_t>(loadNext_ + count);
    loadLength_ += count;
    state_ = ChipState::LoaderLoading;
    return {};
}

UsbChip::Result UsbChip::serveRunCode(const Request& r) {
    if (auto why = badFrame(r, 5, true)) return refuse(r, *why);
    const auto address = static_cast<uint16_t>(r.data[2] << 8 | r.data[3]);
    if (state_ != ChipState::LoaderLoading) return refuse(r, std::string("run in state ") + toString(state_));
    if (address != kLoaderAddress || loadStart_ != kLoaderAddress)
        return refuse(r, "run at " + hex(address, 4) + " with the loader at " + hex(loadStart_, 4));
    for (uint16_t reg : kPreparedRegisters)
        if (regs_[reg] != 0) return refuse(r, "register " + hex(reg, 4) + " not cleared before run");
    state_ = ChipState::LoaderRunning;
    return {};
}

UsbChip::Result UsbChip::serveFlashErase(const Request& r) {
    const ControlSetup& s = r.setup;
    const auto d = r.data;
    if (s.wValue != 0 || s.wIndex != 0) return refuse(r, "wValue/wIndex not 0");
    if (d.size() != 2 || d[0] != 0 || d[1] != 0) return refuse(r, "erase data is not 00 00");
    if (state_ != ChipState::LoaderRunning && state_ != ChipState::Erased && state_ != ChipState::Programmed)
        return refuse(r, std::string("erase in state ") + toString(state_));
    std::fill(flash_.begin(), flash_.end(), 0xFF);
    flashNext_ = 0;
    lastPacketSize_ = 0;
    imageEnded_ = false;
    pageOpen_ = pageFaulty_ = false;
    lastPageStatus_ = 0;
    pageStatuses_.clear();
    state_ = ChipState::Erased;
    return {};
}

UsbChip::Result UsbChip::serveFlashWrite(const Request& r) {
    const ControlSetup& s = r.setup;
    const auto d = r.data;
    const size_t n = d.size();
    if (state_ != ChipState::Erased && state_ != ChipState::Programmed)
        return refuse(r, std::string("flash packet in state ") + toString(state_));
    const unsigned flag = s.wValue >> 8;
    const size_t address = static_cast<size_t>(s.wValue & 0xFF) << 16 | s.wIndex;
    if (n == 0) return refuse(r, "empty flash packet");
    if (flag > 1) return refuse(r, "last-packet flag " + std::to_string(flag));
    if (address != flashNext_)
        return refuse(r, "flash packet at " + hex(static_cast<unsigned>(address), 6) + ", expected " +
                             hex(static_cast<unsigned>(flashNext_), 6));
    if (address + n > flash_.size()) return refuse(r, "flash packet beyond the end of flash");
    if (!pageOpen_ && address % kPageSize != 0) return refuse(r, "page opened mid-page");
    if (address / kPageSize != (address + n - 1) / kPageSize) return refuse(r, "packet crosses a page");
    if (imageEnded_) return refuse(r, "flash packet after the short last packet");
    // The flag marks the last packet of a page: the one that ends it, or a
    // short packet that ends the image inside its page.
    const bool endsPage = (address + n) % kPageSize == 0;
    const bool shortLast = lastPacketSize_ != 0 && n < lastPacketSize_;
    if (!flag && endsPage) return refuse(r, "page end without last-packet flag");
    if (flag && !endsPage && !shortLast) return refuse(r, "last-packet flag before the page end");
    pageOpen_ = true;
    for (size_t i = 0; i < n; ++i) {
        if (flash_[address + i] != 0xFF) pageFaulty_ = true;
        flash_[address + i] &= d[i];
    }
    flashNext_ = address + n;
    imageEnded_ = shortLast;
    lastPacketSize_ = n;
    if (flag) closePage();
    return {};
}

void UsbChip::failAt(RequestKind kind, size_t occurrence, Fault fault) {
    std::lock_guard lock(mutex_);
    faults_.atKind(kind, occurrence, fault);
}

void UsbChip::failAtRequest(size_t occurrence, Fault fault) {
    std::lock_guard lock(mutex_);
    faults_.atAny(occurrence, fault);
}

void UsbChip::failAtPage(size_t page, Fault fault) {
    std::lock_guard lock(mutex_);
    faults_.atPage(page, fault);
}

void UsbChip::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

void UsbChip::unplug() {
    std::lock_guard lock(mutex_);
    plugged_ = false;
}

void UsbChip::replug() {
    std::lock_guard lock(mutex_);
    plugged_ = true;
    resetLocked();
}

bool UsbChip::plugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

ChipState UsbChip::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

uint16_t UsbChip::reg(uint16_t address) const {
    std::lock_guard lock(mutex_);
    return regs_[address];
}

void UsbChip::setReg(uint16_t address, uint16_t value) {
    std::lock_guard lock(mutex_);
    regs_[address] = value;
}

std::vector<uint8_t> UsbChip::ram(uint16_t address, size_t length) const {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> out(length);
    for (size_t i = 0; i < length; ++i) out[i] = ram_[static_cast<uint16_t>(address + i)];
    return out;
}

std::vector<uint8_t> UsbChip::flash() const {
    std::lock_guard lock(mutex_);
    return flash_;
}

std::vector<uint8_t> UsbChip::loadedImage() const {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> out(loadLength_);
    for (size_t i = 0; i < loadLength_; ++i) out[i] = ram_[static_cast<uint16_t>(loadStart_ + i)];
    return out;
}

size_t UsbChip::pagesWritten() const {
    std::lock_guard lock(mutex_);
    return pageStatuses_.size();
}

std::vector<uint8_t> UsbChip::pageStatuses() const {
    std::lock_guard lock(mutex_);
    return pageStatuses_;
}

std::vector<uint8_t> UsbChip::resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

std::vector<std::string> UsbChip::violations() const {
    std::lock_guard lock(mutex_);
    return violations_;
}

std::vector<RequestRecord> UsbChip::transcript() const {
    std::lock_guard lock(mutex_);
    return transcript_;
}

size_t UsbChip::requestCount() const {
    std::lock_guard lock(mutex_);
    return requestCount_;
}

void UsbChip::clearTranscript() {
    std::lock_guard lock(mutex_);
    transcript_.clear();
}

void UsbChip::setVersionText(std::string text) {
    std::lock_guard lock(mutex_);
    versionText_ = std::move(text);
}

}  // namespace quorvel::emu
