// quorvel-emulate's command line: what to emulate and what to run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "emu/AuxChip.h"
#include "emu/UsbChip.h"

namespace quorvel::emu::emulate {

constexpr int kUsageError = 2;  // the exit status for a bad command line

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct UsbDeviceConfig {
    UsbChipOptions chip;
    bool presentAtStart = true;
    std::optional<uint8_t> bus;                 // default 1
    std::optional<std::vector<uint8_t>> ports;  // default: port <n> of the root hub
    std::optional<std::string> expect;          // the file this chip's flash must equal
};

struct DisplayConfig {
    std::string type = "DP";
    std::string name = "Quorvel Display";
    std::string version = "ZK6121 V1.00.0";
    bool ddcLink = true;
    uint32_t card = 0;
    std::optional<uint32_t> id, bus, product, serial;
    bool aux = false;                   // the bus is the connector's own DP-AUX adapter
    std::string chip = "yes";           // yes, ddcci (an ordinary monitor), none
    std::optional<std::string> driver;  // kernel driver bound to the bus's 0x37
    bool node = true;                   // the bus has /dev/i2c-N
    bool denied = false;                // opening /dev/i2c-N is refused (EACCES)
    uint8_t extensions = 0;             // EDID extension blocks
};

struct Failure {
    enum class At { Request, Kind, Page } at;
    size_t number = 0;
    RequestKind kind = RequestKind::Unknown;
    Fault fault = Fault::TransferError;
};

struct AuxFailure {
    AuxPacketKind kind = AuxPacketKind::Unknown;
    size_t occurrence = 1;
    I2CStatus status = I2CStatus::Nak;
};

struct Config {
    std::vector<UsbDeviceConfig> usb;
    std::vector<DisplayConfig> displays;
    std::vector<Failure> failures;
    std::vector<AuxFailure> auxFailures;
    std::optional<int> unplugAfterMs;
    std::optional<int> plugAfterMs;
    std::optional<std::string> dataDir;
    bool ownDataDir = false;  // leave QUORVEL_DATA_DIR to the program
    bool report = true;
    bool fastWaits = false;  // pauses of a second or more in PROGRAM last 1/100
    bool i2cDev = true;      // false: as if the i2c-dev module were not loaded
    std::vector<std::string> program;
    // A second program against the same chips, started while the first runs.
    struct Also {
        std::optional<int> afterMs;       // after MS milliseconds
        std::optional<size_t> afterPage;  // once the first USB chip has N pages written
        std::vector<std::string> program;
    };
    std::optional<Also> also;
};

struct MakeLoaders {
    std::string dir;
};

struct MakeFirmware {
    std::string file;
    int64_t chip = 0xA3;
    size_t kib = 64;
    std::string version = "ZK6121 Sample v2.00";
};

// What the command line asks for; an int is an exit status (after --help).
using Command = std::variant<Config, MakeFirmware, MakeLoaders, int>;

// Throws UsageError for a command line it cannot take.
Command parseCommandLine(const std::vector<std::string>& args);

}  // namespace quorvel::emu::emulate
