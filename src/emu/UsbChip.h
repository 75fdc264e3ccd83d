// A model of a converter chip as seen from its USB control endpoint: the
// register file, the version reply, debug mode, the RAM loader frames, run,
// erase, the flash packets and their page status. It keeps RAM and flash,
// a timed transcript of every request, and can be told to fail.
//
// Built from the wire protocol alone, independently of the host engine, so
// that tests of the engine check it against an independent reading of the
// protocol. Thread-safe: an emulator serves it from its own thread while a
// test inspects it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emu/FaultRules.h"
#include "usb/USBDevice.h"

namespace quorvel::emu {

// What the chip did with one request, independent of any USB stack.
enum class Outcome {
    Ok,
    TransferError,  // the transfer broke down on the wire
    Stall,          // the chip refused the request (protocol stall)
    Timeout,        // the chip never answered
    NoDevice,       // the chip is gone
};

// A fault the chip can be told to produce.
enum class Fault {
    TransferError,
    Stall,
    Timeout,
    Unplug,           // this request and every later one fail with NoDevice
    WrongPageStatus,  // a page status read answers a failure status
    Short,            // half the data stage moves: an OUT frame is not taken, an IN reply is cut
};

// The request kinds of the ISP protocol, as the chip recognises them.
enum class RequestKind {
    GetVersion,
    Read,
    StatusRead,  // Read of the flash status register 0x860C
    DebugOn,
    Reset,
    Write,
    RamWrite,
    RunCode,
    FlashErase,
    FlashWrite,
    Unknown,
};

enum class ChipState {
    Idle,           // normal firmware running
    Debug,          // halted in debug mode, RAM accepts loader frames
    LoaderLoading,  // some loader frames received
    LoaderRunning,  // loader started at its load address
    Erased,         // flash erased by the loader
    Programmed,     // at least one flash page written since the erase
};

const char* toString(Outcome outcome);
const char* toString(RequestKind kind);
const char* toString(ChipState state);

struct UsbChipOptions {
    uint16_t vendorId = 0x7E51;
    uint16_t productId = 0x6221;
    std::string name = "Quorvel Emulated Converter";
    // The identifier the chip reports: register 0x8910, or 0x89FC with 0x8910
    // reading 0 when `chipIdInSecondRegister` is set (identifier 0 reads 0
    // from both).
    int64_t chipId = 0xA1;
    bool chipIdInSecondRegister = false;
    // Version reply: length byte L = text size + 3, echo of the command code,
    // the text, a closing 0. `versionReply` replaces the whole reply verbatim
    // (for short or malformed replies); it is cut to the request's wLength.
    std::string versionText = "ZK6221 Emulated v1.00";
    std::optional<std::vector<uint8_t>> versionReply{};
    // Register values applied over the defaults at construction and replug.
    std::map<uint16_t, uint16_t> registers{};
    size_t flashSize = 128 * 1024;
    // Status byte answered for a page when a WrongPageStatus fault hits it.
    uint8_t wrongPageStatus = 0x00;
    // Time stamp of transcript entries; steady time since construction when
    // empty.
    std::function<std::chrono::nanoseconds()> clock{};
    // The transcript can be turned off for long runs (benchmarks).
    bool recordTranscript = true;
};

struct RequestRecord {
    size_t index = 0;  // position among all requests since construction
    std::chrono::nanoseconds time{0};
    ControlSetup setup;
    RequestKind kind = RequestKind::Unknown;
    std::vector<uint8_t> out;  // data the host sent (OUT requests)
    std::vector<uint8_t> in;   // data the chip answered (IN requests)
    Outcome outcome = Outcome::Ok;
};

class UsbChip {
public:
    static constexpr uint16_t kChipIdRegister = 0x8910;
    static constexpr uint16_t kChipIdRegister2 = 0x89FC;
    static constexpr uint16_t kStatusRegister = 0x860C;
    static constexpr uint8_t kPageOk = 1;
    static constexpr size_t kPageSize = 256;
    static constexpr size_t kRamSize = 0x10000;

    explicit UsbChip(UsbChipOptions options = {});
    UsbChip(const UsbChip&) = delete;
    UsbChip& operator=(const UsbChip&) = delete;

    struct Result {
        Outcome outcome = Outcome::Ok;
        size_t transferred = 0;  // bytes answered into `data` (IN) or taken from it (OUT)
    };
    // Serves one control transfer. `data` holds wLength bytes: read for
    // host-to-device requests, written from byte 0 for device-to-host ones.
    Result handle(const ControlSetup& setup, std::span<uint8_t> data);

    // Failure injection, counted as FaultRules counts: every request, the
    // chip plugged in or not. A fault fails the request without effect on
    // the chip, except WrongPageStatus, which only changes the answer of a
    // status read (elsewhere it does nothing); Unplug then stays in force
    // until replug().
    void failAt(RequestKind kind, size_t occurrence, Fault fault);  // 1 = the next one of `kind`
    void failAtRequest(size_t occurrence, Fault fault);             // 1 = the next request
    void failAtPage(size_t page, Fault fault);                      // the status read of page `page` (0-based)
    void clearFaults();

    void unplug();
    // Plugs the chip back in: normal firmware, registers at their initial
    // values, RAM cleared; flash is kept.
    void replug();
    bool plugged() const;

    // Inspection; all return copies taken under the lock.
    const UsbChipOptions& options() const { return options_; }  // immutable after construction
    ChipState state() const;
    uint16_t reg(uint16_t address) const;
    void setReg(uint16_t address, uint16_t value);
    std::vector<uint8_t> ram(uint16_t address, size_t length) const;  // wraps at 64 KiB
    std::vector<uint8_t> flash() const;
    std::vector<uint8_t> loadedImage() const;     // RAM bytes of the last loader load
    size_t pagesWritten() const;                  // pages closed since the last erase
    std::vector<uint8_t> pageStatuses() const;    // status of each closed page, in order
    std::vector<uint8_t> resets() const;          // numbers of the Reset requests, in order
    std::vector<std::string> violations() const;  // protocol errors the chip saw
    std::vector<RequestRecord> transcript() const;
    size_t requestCount() const;  // all requests, recorded or not
    void clearTranscript();
    void setVersionText(std::string text);

private:
    // One request being served.
    struct Request {
        size_t index;
        const ControlSetup& setup;
        RequestKind kind;
        std::span<uint8_t> data;  // wLength bytes
        bool wrongStatus;         // a WrongPageStatus fault hit it
    };

    void resetLocked();
    RequestKind classify(const ControlSetup& setup) const;
    std::optional<Fault> takeFault(RequestKind kind);
    Result serve(const Request& request);
    Result serveGetVersion(const Request& request);
    Result serveRead(const Request& request);
    Result serveStatusRead(const Request& request);
    Result serveDebugOn(const Request& request);
    Result serveReset(const Request& request);
    Result serveWrite(const Request& request);
    Result serveRamWrite(const Request& request);
    Result serveRunCode(const Request& request);
    Result serveFlashErase(const Request& request);
    Result serveFlashWrite(const Request& request);
    Result refuse(const Request& request, const std::string& why);
    // What is wrong with a framed OUT command (length, code, parameters,
    // closing 0, both setup words 0) of `length` bytes, if anything.
    static std::optional<std::string> badFrame(const Request& request, size_t length, bool closingZero);
    void closePage();
    void writeRegister(uint16_t address, uint16_t value);
    std::optional<uint16_t> debugEnableRegister() const;

    const UsbChipOptions options_;
    const std::chrono::steady_clock::time_point start_;

    mutable std::mutex mutex_;
    std::vector<uint16_t> regs_;
    std::vector<uint8_t> ram_;
    std::vector<uint8_t> flash_;
    ChipState state_ = ChipState::Idle;
    bool plugged_ = true;
    std::string versionText_;

    // RAM load in progress.
    uint16_t loadStart_ = 0;
    uint16_t loadNext_ = 0;
    size_t loadLength_ = 0;

    // Flash programming in progress.
    size_t flashNext_ = 0;
    size_t lastPacketSize_ = 0;  // size of the previous packet since the erase
    bool imageEnded_ = false;    // a packet shorter than its predecessor came
    bool pageOpen_ = false;
    bool pageFaulty_ = false;
    uint8_t lastPageStatus_ = 0;
    std::vector<uint8_t> pageStatuses_;

    std::vector<uint8_t> resets_;
    std::vector<std::string> violations_;
    std::vector<RequestRecord> transcript_;
    size_t requestCount_ = 0;
    FaultRules<RequestKind, Fault> faults_;
};

}  // namespace quorvel::emu
