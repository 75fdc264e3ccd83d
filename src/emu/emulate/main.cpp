// quorvel-emulate: runs an unmodified Quorvel program against emulated chips.
// USB chips appear as usbfs devices and displays as DRM connectors with a
// DDC bus, both through umockdev; the program runs as a child under the
// umockdev preload library, its requests are served here, and when it ends
// a report says what the chips received.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <QCommandLineParser>
#include <QStringList>

#include "emu/EdidBuilder.h"
#include "emu/AuxChip.h"
#include "emu/AuxUmockdev.h"
#include "emu/SampleFiles.h"
#include "emu/UmockdevUsb.h"
#include "emu/UsbChip.h"
#include "model/FileAccess.h"
#include "model/Log.h"
#include "model/Preferences.h"

extern char** environ;

using namespace quorvel;
using namespace quorvel::emu;

namespace {

constexpr int kUsageError = 2;

void out(const std::string& line) { writeLine("quorvel-emulate: " + line, stderr); }

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int64_t parseNumber(const std::string& text, const std::string& what) {
    try {
        size_t used = 0;
        const long long value = std::stoll(text, &used, 0);
        if (used == text.size()) return value;
    } catch (const std::exception&) {
    }
    throw UsageError("bad " + what + ": '" + text + "'");
}

// "key=value,key=value" into a map; values may not hold commas.
std::map<std::string, std::string> parseSpec(const std::string& spec) {
    std::map<std::string, std::string> fields;
    std::stringstream stream(spec);
    std::string item;
    while (std::getline(stream, item, ',')) {
        if (item.empty()) continue;
        const auto eq = item.find('=');
        if (eq == std::string::npos) throw UsageError("expected key=value in '" + item + "'");
        fields[item.substr(0, eq)] = item.substr(eq + 1);
    }
    return fields;
}

struct UsbDeviceConfig {
    UsbChipOptions chip;
    bool presentAtStart = true;
    std::optional<uint8_t> bus;               // default 1
    std::optional<std::vector<uint8_t>> ports;  // default: port <n> of the root hub
    std::optional<std::string> expect;        // the file this chip's flash must equal
};

struct DisplayConfig {
    std::string type = "DP";
    std::string name = "Quorvel Display";
    std::string version = "ZK6121 V1.00.0";
    bool ddcLink = true;
    uint32_t card = 0;
    std::optional<uint32_t> id, bus, product, serial;
    bool aux = false;            // the bus is the connector's own DP-AUX adapter
    std::string chip = "yes";    // yes, ddcci (an ordinary monitor), none
    std::optional<std::string> driver;  // kernel driver bound to the bus's 0x37
    bool node = true;            // the bus has /dev/i2c-N
    bool denied = false;         // opening /dev/i2c-N is refused (EACCES)
    uint8_t extensions = 0;      // EDID extension blocks
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
    bool i2cDev = true;  // false: as if the i2c-dev module were not loaded
    std::vector<std::string> program;
    // A second program against the same chips, started while the first runs.
    struct Also {
        std::optional<int> afterMs;       // after MS milliseconds
        std::optional<size_t> afterPage;  // once the first USB chip has N pages written
        std::vector<std::string> program;
    };
    std::optional<Also> also;
};

// "--also-after WHEN": MS or page:N; the second program follows a second "--".
Config::Also parseAlso(const std::string& when, std::vector<std::string>& program) {
    Config::Also also;
    if (when.rfind("page:", 0) == 0) also.afterPage = static_cast<size_t>(parseNumber(when.substr(5), "page"));
    else also.afterMs = static_cast<int>(parseNumber(when, "delay"));
    const auto split = std::find(program.begin(), program.end(), std::string("--"));
    if (split == program.end() || split + 1 == program.end())
        throw UsageError("--also-after needs a second program after a second --");
    also.program.assign(split + 1, program.end());
    program.erase(split, program.end());
    if (program.empty()) throw UsageError("no program to run before the second --");
    return also;
}

Fault parseFault(const std::string& text) {
    static const std::map<std::string, Fault> faults = {
        {"error", Fault::TransferError}, {"stall", Fault::Stall}, {"timeout", Fault::Timeout},
        {"unplug", Fault::Unplug}, {"wrong-status", Fault::WrongPageStatus}, {"short", Fault::Short}};
    auto it = faults.find(text);
    if (it == faults.end()) throw UsageError("unknown fault '" + text + "' (error, stall, timeout, unplug, wrong-status, short)");
    return it->second;
}

RequestKind parseKind(const std::string& text) {
    static const std::map<std::string, RequestKind> kinds = {
        {"getversion", RequestKind::GetVersion}, {"read", RequestKind::Read},
        {"status", RequestKind::StatusRead},     {"debugon", RequestKind::DebugOn},
        {"reset", RequestKind::Reset},           {"write", RequestKind::Write},
        {"ramwrite", RequestKind::RamWrite},     {"runcode", RequestKind::RunCode},
        {"flasherase", RequestKind::FlashErase}, {"flashwrite", RequestKind::FlashWrite}};
    auto it = kinds.find(text);
    if (it == kinds.end())
        throw UsageError("unknown request kind '" + text +
                         "' (getversion, read, status, debugon, reset, write, ramwrite, runcode, "
                         "flasherase, flashwrite)");
    return it->second;
}

// "KIND[@N][:nak|bus-error]", the N-th packet of KIND on the first display's bus.
AuxFailure parseAuxFailure(const std::string& text) {
    static const std::map<std::string, AuxPacketKind> kinds = {
        {"getversion", AuxPacketKind::GetVersion}, {"versionread", AuxPacketKind::VersionRead},
        {"debugon", AuxPacketKind::DebugOn},       {"beforeupgrade", AuxPacketKind::BeforeUpgrade},
        {"reset", AuxPacketKind::Reset},           {"write", AuxPacketKind::Write},
        {"ramwrite", AuxPacketKind::RamWrite},     {"ramcrc", AuxPacketKind::SendRamWriteCRC},
        {"runcode", AuxPacketKind::RunCode},       {"flasherase", AuxPacketKind::FlashErase},
        {"flashwrite", AuxPacketKind::FlashWrite}, {"flashcrc", AuxPacketKind::SendFlashWriteCRC}};
    AuxFailure failure;
    std::string what = text;
    if (const auto colon = what.find(':'); colon != std::string::npos) {
        const std::string status = what.substr(colon + 1);
        if (status == "nak") failure.status = I2CStatus::Nak;
        else if (status == "bus-error") failure.status = I2CStatus::BusError;
        else throw UsageError("unknown display fault '" + status + "' (nak, bus-error)");
        what.resize(colon);
    }
    if (const auto atSign = what.find('@'); atSign != std::string::npos) {
        failure.occurrence = static_cast<size_t>(parseNumber(what.substr(atSign + 1), "occurrence"));
        if (failure.occurrence == 0) throw UsageError("occurrences count from 1");
        what.resize(atSign);
    }
    const auto it = kinds.find(what);
    if (it == kinds.end())
        throw UsageError("unknown packet kind '" + what +
                         "' (getversion, versionread, debugon, beforeupgrade, reset, write, ramwrite, ramcrc, "
                         "runcode, flasherase, flashwrite, flashcrc)");
    failure.kind = it->second;
    return failure;
}

// The chip's version reply: "length=N" (the text behind a length byte of
// N), "nul" (a NUL inside the text), "none" (no data at all) or
// "hex=BYTES" (verbatim).
std::vector<uint8_t> parseVersionReply(const std::string& spec, const std::string& text) {
    const auto framed = [](uint8_t length, const std::string& body) {
        std::vector<uint8_t> reply(body.size() + 3, 0);  // length, code, text, closing 0
        reply[0] = length;
        reply[1] = 0x08;
        std::copy(body.begin(), body.end(), reply.begin() + 2);
        return reply;
    };
    if (spec == "none") return {};
    if (spec == "nul") {
        std::string body = text;
        body.insert(body.size() / 2, 1, '\0');
        return framed(static_cast<uint8_t>(std::min<size_t>(body.size() + 3, 255)), body);
    }
    if (spec.starts_with("length=")) {
        const int64_t n = parseNumber(spec.substr(7), "length byte");
        if (n < 0 || n > 255) throw UsageError("length byte out of range: " + spec.substr(7));
        return framed(static_cast<uint8_t>(n), text);
    }
    if (spec.starts_with("hex=")) {
        const std::string hex = spec.substr(4);
        if (hex.size() % 2 != 0) throw UsageError("odd number of hex digits in '" + hex + "'");
        std::vector<uint8_t> reply;
        for (size_t i = 0; i < hex.size(); i += 2)
            reply.push_back(static_cast<uint8_t>(parseNumber("0x" + hex.substr(i, 2), "hex byte")));
        return reply;
    }
    throw UsageError("unknown version reply '" + spec + "' (length=N, nul, none, hex=BYTES)");
}

int64_t number8(const std::string& text, const std::string& what) {
    const int64_t value = parseNumber(text, what);
    if (value < 1 || value > 255) throw UsageError(what + " must be 1 to 255: '" + text + "'");
    return value;
}

// "3.2": port 3 of the root hub, then port 2 of the hub there.
std::vector<uint8_t> parsePorts(const std::string& text) {
    std::vector<uint8_t> ports;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, '.')) ports.push_back(static_cast<uint8_t>(number8(item, "port")));
    if (ports.empty() || ports.size() > 7) throw UsageError("a port path has 1 to 7 ports: '" + text + "'");
    return ports;
}

// "WHAT[@N][:FAULT]"
Failure parseFailure(Failure::At at, const std::string& text, Fault defaultFault) {
    Failure failure{at};
    std::string what = text;
    failure.fault = defaultFault;
    if (const auto colon = what.find(':'); colon != std::string::npos) {
        failure.fault = parseFault(what.substr(colon + 1));
        what.resize(colon);
    }
    if (at == Failure::At::Kind) {
        if (const auto atSign = what.find('@'); atSign != std::string::npos) {
            failure.number = static_cast<size_t>(parseNumber(what.substr(atSign + 1), "occurrence"));
            if (failure.number == 0) throw UsageError("occurrences count from 1");
            what.resize(atSign);
        } else {
            failure.number = 1;
        }
        failure.kind = parseKind(what);
    } else {
        failure.number = static_cast<size_t>(parseNumber(what, "number"));
    }
    return failure;
}

const char* kHelp = R"(Usage: quorvel-emulate [OPTIONS] -- PROGRAM [ARGS...]
       quorvel-emulate [OPTIONS] --also-after WHEN -- PROGRAM [ARGS...] -- PROGRAM2 [ARGS...]
       quorvel-emulate --make-firmware FILE [--firmware-chip ID] [--firmware-size 64|128]
                       [--firmware-version TEXT]

Runs PROGRAM (QuorvelCLI or Quorvel, unmodified) against emulated chips: USB
chips appear as usbfs devices, displays as DRM connectors whose DDC bus
carries a chip, through umockdev. Synthetic loader images are made in a
temporary data folder that QUORVEL_DATA_DIR points at. When PROGRAM ends, a
report on standard error says what each chip received and whether its flash
now equals the firmware file the program read last, and how each program
ended. The exit status is PROGRAM's own (2 for a usage error here).
PROGRAM starts with default signal dispositions and an empty signal mask,
as from a shell; SIGINT, SIGTERM, SIGHUP and SIGQUIT sent here are passed
on to the running programs.

USB chips (without --usb and --no-usb: one chip with the values below):
  --vendor ID           vendor ID (default 0x7E51)
  --product ID          product ID (default 0x6121)
  --chip ID             chip identifier the chip reports (default 0xA3)
  --version-text TEXT   the chip's version text (default "ZK6121 Emulated v1.00")
  --usb SPEC            add a chip; SPEC is key=value pairs separated by commas:
                        vendor=ID,product=ID,chip=ID,version=TEXT,
                        bus=N (default 1), port=P[.P...] (hub ports from the
                        root hub, as in "1-3.2"; default: port n for the
                        n-th chip), expect=FILE (the report compares this
                        chip's flash with FILE)
                        (repeatable; the first chip added is "the chip" below)
  --no-usb              no USB chip at all

Displays:
  --display [SPEC]      add an external display whose DDC bus carries a chip;
                        SPEC: type=DP|HDMI-A|DVI-D|eDP|Virtual, name=TEXT (EDID
                        product name, at most 13 characters), version=TEXT (the
                        chip's version text), ddc=yes|no (whether the connector
                        names its bus); "--display default" for the defaults.
                        Where it sits: card=N (graphics card, default 0),
                        id=N (connector id, default 70 + its place), bus=N
                        (default 10 + its place; displays naming one bus share
                        it and its devices), aux=yes (the bus is the
                        connector's DP-AUX adapter), product=N, serial=N,
                        extensions=N (EDID), chip=yes|ddcci|none (ddcci: an
                        ordinary DDC/CI monitor without the chip), driver=NAME
                        (a kernel driver bound to 0x37), node=no (no
                        /dev/i2c-N), access=denied (opening /dev/i2c-N
                        fails for lack of permission). The report counts transfers per bus,
                        the SMBus i2c-0 included.
  --no-i2c-dev          as if the i2c-dev module were not loaded: no
                        /sys/module/i2c_dev, and no display bus has a node
                        (the buses are numbered from 900, where no host has
                        one, so that nothing reaches a real node)

Failures of the chip (repeatable, each fires once):
  --fail-request N[:FAULT]    the N-th request (counted from 0)
  --fail-step KIND[@N][:FAULT]
                              the N-th request (from 1, default 1) of KIND:
                              getversion, read, status, debugon, reset, write,
                              ramwrite, runcode, flasherase, flashwrite
  --fail-page N[:FAULT]       the status read of flash page N (from 0);
                              default fault wrong-status
  --fail-aux KIND[@N][:nak|bus-error]
                              the N-th packet (from 1, default 1) of KIND on
                              the first display's bus fails (default nak):
                              getversion, versionread (the query's read),
                              debugon, beforeupgrade, reset, write, ramwrite,
                              ramcrc, runcode, flasherase, flashwrite, flashcrc
  --version-reply R           the chip's version reply: length=N (its text
                              behind a length byte of N), nul (a NUL inside
                              the text), none (no data), hex=BYTES (verbatim)
  FAULT: error (default), stall, timeout (the request is never answered;
         the program's own time-out ends it), unplug (the chip leaves the
         bus), wrong-status (a page status other than success), short (half
         the data stage moves: an OUT frame is not taken, an IN reply is cut)

Plugging:
  --unplug-after MS     pull the chip out MS milliseconds after PROGRAM starts
  --plug-after MS       the chip is absent at start and plugged in after MS

Two programs at once:
  --also-after WHEN     start PROGRAM2 (after a second --) against the same
                        chips while PROGRAM runs: WHEN is MS milliseconds
                        after PROGRAM starts, or page:N once the first USB
                        chip has N flash pages written; not started when
                        PROGRAM has ended by then

Other:
  --data-dir DIR        use the loaders in DIR instead of synthetic ones
  --own-data-dir        leave QUORVEL_DATA_DIR alone: the program uses its own
                        data folder (for trying an installation)
  --make-loaders DIR    write synthetic loader images into the folders under
                        DIR where the programs look for them, and exit
  --no-report           no report when PROGRAM ends
  --fast-waits          pauses of a second or more in PROGRAM last a hundredth
                        as long (for quick runs of display upgrades)
  --make-firmware FILE  write a valid sample firmware file and exit:
      --firmware-chip ID      chip whose signature it carries (default 0xA3)
      --firmware-size KIB     64 (default) or 128
      --firmware-version TEXT version text (default "ZK6121 Sample v2.00")
  -h, --help            this text

Examples:
  quorvel-emulate --make-firmware /tmp/fw.bin
  quorvel-emulate -- QuorvelCLI --firmware /tmp/fw.bin
  quorvel-emulate --product 0x6221 --fail-page 10 -- QuorvelCLI -f /tmp/fw.bin
  quorvel-emulate --display default -- QuorvelCLI --aux-product
)";

}  // namespace

namespace {

struct MakeLoaders {
    std::string dir;
};

struct MakeFirmware {
    std::string file;
    int64_t chip = 0xA3;
    size_t kib = 64;
    std::string version = "ZK6121 Sample v2.00";
};

// Where a display sits on the machine: card, connector id, bus and what
// else is on it.
bool displayMachineKey(DisplayConfig& d, const std::string& key, const std::string& value) {
    const auto u32 = [&](const std::string& what) { return static_cast<uint32_t>(parseNumber(value, what)); };
    if (key == "card") d.card = u32("card");
    else if (key == "id") d.id = u32("connector id");
    else if (key == "bus") d.bus = u32("bus");
    else if (key == "product") d.product = u32("product");
    else if (key == "serial") d.serial = u32("serial");
    else if (key == "extensions") d.extensions = static_cast<uint8_t>(u32("extensions"));
    else if (key == "aux") d.aux = value == "yes";
    else if (key == "node") d.node = value != "no";
    else if (key == "driver") d.driver = value;
    else if (key == "access") d.denied = value == "denied";
    else if (key == "chip") {
        if (value != "yes" && value != "ddcci" && value != "none") throw UsageError("chip=yes|ddcci|none");
        d.chip = value;
    } else return false;
    return true;
}

std::variant<Config, MakeFirmware, MakeLoaders, int> parse(const std::vector<std::string>& args) {
    auto split = std::find(args.begin(), args.end(), std::string("--"));
    QStringList options{"quorvel-emulate"};
    for (auto it = args.begin(); it != split; ++it) options << QString::fromStdString(*it);

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "help"}, "help");
    const QCommandLineOption vendor("vendor", "", "ID"), product("product", "", "ID"), chip("chip", "", "ID"),
        versionText("version-text", "", "TEXT"), usb("usb", "", "SPEC"), noUsb("no-usb", ""),
        display("display", "", "SPEC"), failRequest("fail-request", "", "N"), failStep("fail-step", "", "S"),
        failPage("fail-page", "", "N"), failAux("fail-aux", "", "S"), versionReply("version-reply", "", "R"),
        unplugAfter("unplug-after", "", "MS"), plugAfter("plug-after", "", "MS"),
        dataDir("data-dir", "", "DIR"), ownDataDir("own-data-dir", ""), makeLoaders("make-loaders", "", "DIR"),
        noReport("no-report", ""), fastWaits("fast-waits", ""), alsoAfter("also-after", "", "WHEN"), noI2cDev("no-i2c-dev", ""), makeFirmware("make-firmware", "", "FILE"),
        fwChip("firmware-chip", "", "ID"), fwSize("firmware-size", "", "KIB"), fwVersion("firmware-version", "", "TEXT");
    parser.addOptions({help, vendor, product, chip, versionText, usb, noUsb, display, failRequest, failStep,
                       failPage, failAux, versionReply, unplugAfter, plugAfter, dataDir, ownDataDir, makeLoaders, noReport, fastWaits, alsoAfter, noI2cDev, makeFirmware, fwChip, fwSize, fwVersion});
    if (!parser.parse(options)) throw UsageError(parser.errorText().toStdString());
    if (!parser.positionalArguments().isEmpty())
        throw UsageError("unexpected '" + parser.positionalArguments().first().toStdString() +
                         "' (put the program after --)");
    if (parser.isSet(help)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    const auto text = [&parser](const QCommandLineOption& o) { return parser.value(o).toStdString(); };
    const auto number = [&](const QCommandLineOption& o, const std::string& what) {
        return parseNumber(text(o), what);
    };

    if (parser.isSet(makeLoaders)) return MakeLoaders{text(makeLoaders)};
    if (parser.isSet(makeFirmware)) {
        MakeFirmware m;
        m.file = text(makeFirmware);
        if (parser.isSet(fwChip)) m.chip = number(fwChip, "chip identifier");
        if (parser.isSet(fwSize)) m.kib = static_cast<size_t>(number(fwSize, "firmware size"));
        if (parser.isSet(fwVersion)) m.version = text(fwVersion);
        return m;
    }

    Config config;
    if (split == args.end() || split + 1 == args.end())
        throw UsageError("no program to run (quorvel-emulate [OPTIONS] -- PROGRAM [ARGS...])");
    config.program.assign(split + 1, args.end());
    if (parser.isSet(alsoAfter)) config.also = parseAlso(text(alsoAfter), config.program);

    const auto id16 = [](const std::string& value, const std::string& what) {
        const int64_t v = parseNumber(value, what);
        if (v < 0 || v > 0xFFFF) throw UsageError(what + " out of range: " + value);
        return static_cast<uint16_t>(v);
    };
    if (!parser.isSet(noUsb) && !parser.isSet(usb)) {
        UsbDeviceConfig device;
        device.chip.productId = 0x6121;
        device.chip.chipId = 0xA3;
        device.chip.versionText = "ZK6121 Emulated v1.00";
        if (parser.isSet(vendor)) device.chip.vendorId = id16(text(vendor), "vendor ID");
        if (parser.isSet(product)) device.chip.productId = id16(text(product), "product ID");
        if (parser.isSet(chip)) device.chip.chipId = number(chip, "chip identifier");
        if (parser.isSet(versionText)) device.chip.versionText = text(versionText);
        if (parser.isSet(versionReply))
            device.chip.versionReply = parseVersionReply(text(versionReply), device.chip.versionText);
        config.usb.push_back(device);
    }
    for (const QString& spec : parser.values(usb)) {
        UsbDeviceConfig device;
        device.chip.productId = 0x6121;
        device.chip.chipId = 0xA3;
        device.chip.versionText = "ZK6121 Emulated v1.00";
        for (const auto& [key, value] : parseSpec(spec.toStdString())) {
            if (key == "vendor") device.chip.vendorId = id16(value, "vendor ID");
            else if (key == "product") device.chip.productId = id16(value, "product ID");
            else if (key == "chip") device.chip.chipId = parseNumber(value, "chip identifier");
            else if (key == "version") device.chip.versionText = value;
            else if (key == "bus") device.bus = static_cast<uint8_t>(number8(value, "bus number"));
            else if (key == "port") device.ports = parsePorts(value);
            else if (key == "expect") device.expect = value;
            else throw UsageError("unknown --usb key '" + key + "'");
        }
        config.usb.push_back(device);
    }
    for (const QString& spec : parser.values(display)) {
        DisplayConfig d;
        if (spec != "default") {
            for (const auto& [key, value] : parseSpec(spec.toStdString())) {
                if (key == "type") d.type = value;
                else if (key == "name") d.name = value.substr(0, 13);
                else if (key == "version") d.version = value;
                else if (key == "ddc") d.ddcLink = value != "no";
                else if (!displayMachineKey(d, key, value)) throw UsageError("unknown --display key '" + key + "'");
            }
        }
        config.displays.push_back(d);
    }
    for (const QString& v : parser.values(failRequest))
        config.failures.push_back(parseFailure(Failure::At::Request, v.toStdString(), Fault::TransferError));
    for (const QString& v : parser.values(failStep))
        config.failures.push_back(parseFailure(Failure::At::Kind, v.toStdString(), Fault::TransferError));
    for (const QString& v : parser.values(failPage))
        config.failures.push_back(parseFailure(Failure::At::Page, v.toStdString(), Fault::WrongPageStatus));
    for (const QString& v : parser.values(failAux)) config.auxFailures.push_back(parseAuxFailure(v.toStdString()));
    if (!config.auxFailures.empty() && config.displays.empty()) throw UsageError("display failures need a --display");
    if (parser.isSet(versionReply) && (parser.isSet(usb) || parser.isSet(noUsb)))
        throw UsageError("--version-reply goes with the single chip of --vendor/--product");
    if (parser.isSet(unplugAfter)) config.unplugAfterMs = static_cast<int>(number(unplugAfter, "delay"));
    if (parser.isSet(plugAfter)) config.plugAfterMs = static_cast<int>(number(plugAfter, "delay"));
    if ((config.unplugAfterMs || config.plugAfterMs || !config.failures.empty()) && config.usb.empty())
        throw UsageError("failures and plugging need a USB chip");
    if (config.also && config.also->afterPage && config.usb.empty())
        throw UsageError("--also-after page:N needs a USB chip");
    if (config.plugAfterMs) config.usb.front().presentAtStart = false;
    if (parser.isSet(dataDir)) config.dataDir = text(dataDir);
    config.ownDataDir = parser.isSet(ownDataDir);
    if (config.dataDir && config.ownDataDir) throw UsageError("--data-dir and --own-data-dir exclude each other");
    config.report = !parser.isSet(noReport);
    config.fastWaits = parser.isSet(fastWaits);
    config.i2cDev = !parser.isSet(noI2cDev);
    return config;
}

}  // namespace

namespace {

// While the programs run, the signals that would end them are passed on to
// them, and we stay to report: a terminal's Ctrl-C reaches both us and the
// programs, a kill from elsewhere only us.
class PassedOn {
public:
    PassedOn() {
        struct sigaction action {};
        action.sa_handler = &PassedOn::handle;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &previous_[i]);
    }
    ~PassedOn() {
        for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
    }
    static void add(pid_t pid) {
        for (auto& slot : pids_) {
            pid_t empty = 0;
            if (slot.compare_exchange_strong(empty, pid)) return;
        }
    }
    static void remove(pid_t pid) {
        for (auto& slot : pids_) {
            pid_t expected = pid;
            slot.compare_exchange_strong(expected, 0);
        }
    }

private:
    static void handle(int signal) {
        const int saved = errno;
        for (auto& slot : pids_)
            if (const pid_t pid = slot.load(); pid > 0) ::kill(pid, signal);
        errno = saved;
    }
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    static inline std::atomic<pid_t> pids_[2] = {};
    struct sigaction previous_[std::size(kSignals)] {};
};

// One emulated USB chip on the bus and what it takes to serve it.
struct UsbSlot {
    UsbDeviceConfig config;
    std::shared_ptr<UsbChip> chip;
    UsbDeviceSpec spec;
    bool plugged = false;
};

class Emulator {
public:
    explicit Emulator(Config config) : config_(std::move(config)) {}

    int run() {
        makeTemporaryRoot();
        const std::string data = config_.dataDir.value_or((root_ / "data").string());
        if (!config_.dataDir && !config_.ownDataDir) writeSampleLoaders(data);

        usbBed_ = std::make_unique<UmockdevUsbBed>();
        for (size_t i = 0; i < config_.usb.size(); ++i) addUsb(i);
        applyFailures();
        if (config_.i2cDev) {
            std::error_code ec;  // what the kernel shows for a loaded module
            std::filesystem::create_directories(std::filesystem::path(usbBed_->rootDir()) / "sys/module/i2c_dev", ec);
        }
        if (!config_.displays.empty()) {
            displayBed_ = std::make_unique<AuxUmockdevDisplays>(usbBed_->testbed());
            for (size_t i = 0; i < config_.displays.size(); ++i) addDisplay(i);
        }

        data_ = data;
        const PassedOn passOn;  // before the first child exists
        const pid_t child = spawn(config_.program);
        if (child < 0) return 127;
        std::thread timers([this] { runTimers(); });
        const int status = waitFor(child);
        std::optional<pid_t> second;
        {
            std::lock_guard lock(mutex_);
            firstEnded_ = true;  // from now on the second program is not started
            second = secondPid_;
        }
        const int secondStatus = second ? waitFor(*second) : -1;
        {
            std::lock_guard lock(mutex_);
            childEnded_ = true;
        }
        wake_.notify_all();
        timers.join();

        if (config_.report) {
            report();
            reportEnd(config_.program, status);
            if (config_.also) {
                if (second) reportEnd(config_.also->program, secondStatus);
                else out(config_.also->program.front() + " was not started: the first program had ended");
            }
        }
        displayBed_.reset();
        usbBed_.reset();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        return status;
    }

private:
    void makeTemporaryRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-emulate-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
        root_ = pattern;
    }

    void addUsb(size_t index) {
        UsbSlot slot;
        slot.config = config_.usb[index];
        slot.chip = std::make_shared<UsbChip>(slot.config.chip);
        slot.spec.bus = slot.config.bus.value_or(1);
        slot.spec.address = static_cast<uint8_t>(2 + index);
        slot.spec.ports = slot.config.ports.value_or(std::vector<uint8_t>{static_cast<uint8_t>(1 + index)});
        slot.spec.vendorId = slot.config.chip.vendorId;
        slot.spec.productId = slot.config.chip.productId;
        slot.spec.product = slot.config.chip.name;
        usb_.push_back(slot);
        if (slot.config.presentAtStart) plug(index);
    }

    void plug(size_t index) {
        UsbSlot& slot = usb_[index];
        auto chip = slot.chip;
        if (!chip->plugged()) chip->replug();
        const uint8_t bus = slot.spec.bus, address = slot.spec.address;
        const bool first = index == 0;
        usbBed_->plug(slot.spec, [this, chip, bus, address, first](const ControlSetup& setup, std::span<uint8_t> data) {
            const auto result = chip->handle(setup, data);
            if (first) checkPageTrigger(*chip);
            switch (result.outcome) {
            case Outcome::Ok:
                return static_cast<int32_t>(result.transferred);
            case Outcome::Stall: return -EPIPE;
            case Outcome::TransferError: return -EPROTO;
            case Outcome::Timeout: return kUrbNoReply;
            case Outcome::NoDevice:
                requestUnplug(bus, address);  // the chip left: take it off the bus too
                return -ENODEV;
            }
            return -EPROTO;
        });
        slot.plugged = true;
    }

    // Starting the second program is the timer thread's work too.
    void checkPageTrigger(const UsbChip& chip) {
        if (!config_.also || !config_.also->afterPage || chip.pagesWritten() < *config_.also->afterPage) return;
        std::lock_guard lock(mutex_);
        if (alsoStarted_ || alsoDue_) return;
        alsoDue_ = true;
        wake_.notify_all();
    }

    // Unplugging from inside a request handler would wait for that handler;
    // the timer thread does it.
    void requestUnplug(uint8_t bus, uint8_t address) {
        std::lock_guard lock(mutex_);
        pendingUnplugs_.emplace_back(bus, address);
        wake_.notify_all();
    }

    void unplug(size_t index) {
        UsbSlot& slot = usb_[index];
        if (!slot.plugged) return;
        slot.chip->unplug();
        usbBed_->unplug(slot.spec.bus, slot.spec.address);
        slot.plugged = false;
    }

    void addDisplay(size_t index) {
        const DisplayConfig& d = config_.displays[index];
        AuxChipOptions options;
        options.version = d.version;
        auto chip = std::make_shared<AuxChip>(options);
        if (index == 0)
            for (const auto& f : config_.auxFailures) chip->failAt(f.kind, f.occurrence, f.status);
        auxChips_.push_back(chip);
        EdidSpec edid;
        edid.name = d.name;
        edid.product = static_cast<uint16_t>(d.product.value_or(0x1000 + index));
        edid.serial = d.serial.value_or(static_cast<uint32_t>(1000 + index));
        edid.extensions = d.extensions;
        AuxEmulatedDisplay display;
        display.type = d.type;
        display.index = static_cast<unsigned>(index + 1);
        display.connectorId = d.id.value_or(static_cast<uint32_t>(70 + index));
        display.edid = buildEdid(edid);
        display.bus = d.bus.value_or(static_cast<uint32_t>(10 + index));
        display.ddcLink = d.ddcLink;
        display.card = d.card;
        display.auxChild = d.aux;
        display.busNode = d.node && config_.i2cDev;
        if (!config_.i2cDev) display.bus = 900 + static_cast<uint32_t>(index);
        display.busDriver = d.driver;
        // A bus shared with an earlier display keeps that display's devices.
        const bool ownsBus = !displayBed_->hasBus(*display.bus);
        if (d.chip == "yes") display.chip = chip;
        if (d.chip == "ddcci") {
            auto monitor = std::make_shared<AuxDdcMonitor>();
            display.target37 = monitor;
            if (ownsBus) monitors_.emplace_back(index, monitor);
        }
        auxChipOnBus_.push_back(ownsBus && d.chip == "yes");
        if (ownsBus) busOrder_.push_back(*display.bus);
        if (index == 0) {
            // Every PC has an SMBus; it carries an EEPROM that answers at
            // 0x50 like a display's, and must never be read or written.
            AuxUmockdevBus smbus;
            smbus.number = kSmbus;
            smbus.targets = {{0x50, std::make_shared<AuxEdidEeprom>(display.edid)}};
            smbus.owner = AuxUmockdevBus::Owner::Smbus;
            smbus.node = config_.i2cDev;
            displayBed_->addBus(smbus);
        }
        displayBed_->addDisplay(display);
    }

    static constexpr uint32_t kSmbus = 0;

    void reportBuses() {
        std::vector<uint32_t> buses = busOrder_;
        buses.insert(buses.begin(), kSmbus);
        for (uint32_t bus : buses) {
            std::string messages;
            for (const auto& [address, n] : displayBed_->messages(bus)) {
                char a[8];
                std::snprintf(a, sizeof a, "0x%02X", address);
                messages += (messages.empty() ? "" : ", ") + std::string(a) + ": " + std::to_string(n);
            }
            out("bus i2c-" + std::to_string(bus) + (bus == kSmbus ? " (SMBus)" : "") + ": " +
                std::to_string(displayBed_->transfers(bus)) + " transfers" +
                (messages.empty() ? "" : " (" + messages + ")"));
        }
        for (const auto& [index, monitor] : monitors_) {
            std::map<std::string, size_t> kinds;
            for (const auto& e : monitor->transcript()) ++kinds[toString(e.kind)];
            std::string counts;
            for (const auto& [kind, n] : kinds) counts += (counts.empty() ? "" : ", ") + kind + " " + std::to_string(n);
            out("display monitor " + std::to_string(index + 1) + " without the chip: " +
                std::to_string(monitor->packetCount()) + " packets" + (counts.empty() ? "" : " (" + counts + ")"));
        }
    }

    void applyFailures() {
        if (usb_.empty()) return;
        UsbChip& chip = *usb_.front().chip;
        for (const auto& f : config_.failures) {
            switch (f.at) {
            // Armed before the first request: request N, counted from 0, is the (N+1)-th.
            case Failure::At::Request: chip.failAtRequest(f.number + 1, f.fault); break;
            case Failure::At::Kind: chip.failAt(f.kind, f.number, f.fault); break;
            case Failure::At::Page: chip.failAtPage(f.number, f.fault); break;
            }
        }
    }

    // What umockdev cannot present (a refused open, shorter pauses, a
    // uevent socket per program) comes from a small library of ours,
    // preloaded ahead of umockdev's.
    void addShim(std::map<std::string, std::string>& env) {
        std::string denied;
        for (size_t i = 0; i < config_.displays.size(); ++i)
            if (config_.displays[i].denied)
                denied += (denied.empty() ? "" : ":") + std::string("/dev/i2c-") +
                          std::to_string(config_.displays[i].bus.value_or(static_cast<uint32_t>(10 + i)));
        std::error_code ec;
        const auto shim = std::filesystem::canonical("/proc/self/exe", ec).parent_path() / QUORVEL_PRELOAD_FROM_BIN;
        if (!std::filesystem::exists(shim, ec)) throw std::runtime_error("missing " + shim.string());
        env["LD_PRELOAD"] = shim.string() + ":" + env["LD_PRELOAD"];
        if (!denied.empty()) env["QUORVEL_EMULATE_DENY"] = denied;
        if (config_.fastWaits) env["QUORVEL_EMULATE_FAST_WAITS"] = "1";
    }

    pid_t spawn(const std::vector<std::string>& program) {
        const std::string& data = data_;
        std::map<std::string, std::string> env;
        for (char** e = environ; *e; ++e) {
            const char* eq = std::strchr(*e, '=');
            if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
        }
        const std::string preload = "libumockdev-preload.so.0";
        env["LD_PRELOAD"] = env.count("LD_PRELOAD") ? preload + ":" + env["LD_PRELOAD"] : preload;
        env["UMOCKDEV_DIR"] = usbBed_->rootDir();
        if (!config_.ownDataDir) env["QUORVEL_DATA_DIR"] = data;
        addShim(env);
        // A sanitizer build of the program accepts the preload library first.
        env["ASAN_OPTIONS"] = (env.count("ASAN_OPTIONS") ? env["ASAN_OPTIONS"] + ":" : "") + "verify_asan_link_order=0";
        std::vector<std::string> strings;
        for (const auto& [k, v] : env) strings.push_back(k + "=" + v);
        std::vector<char*> envp, argv;
        for (auto& s : strings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> words = program;
        for (auto& s : words) argv.push_back(s.data());
        argv.push_back(nullptr);

        // What a shell gives: whatever we inherited as ignored or blocked
        // (SIGPIPE, say) must not hide how the program behaves.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        pid_t pid = -1;
        const int rc = ::posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
        posix_spawnattr_destroy(&attributes);
        if (rc != 0) {
            out("cannot start " + program.front() + ": " + std::strerror(rc));
            return -1;
        }
        PassedOn::add(pid);
        if (started_ == std::chrono::steady_clock::time_point{}) started_ = std::chrono::steady_clock::now();
        return pid;
    }

    // Starts the second program unless it ran or the first has ended; under mutex_.
    void startSecondLocked() {
        if (!config_.also || alsoStarted_ || firstEnded_) return;
        alsoStarted_ = true;
        const pid_t pid = spawn(config_.also->program);
        if (pid > 0) secondPid_ = pid;
    }

    static void reportEnd(const std::vector<std::string>& program, int status) {
        const std::string name = std::filesystem::path(program.front()).filename().string();
        out(name + (status > 128 ? " ended by signal " + std::to_string(status - 128)
                                 : " ended with exit status " + std::to_string(status)));
    }

    static int waitFor(pid_t child) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
        PassedOn::remove(child);
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return 1;
    }

    void runTimers() {
        using namespace std::chrono;
        std::optional<steady_clock::time_point> unplugAt, plugAt;
        if (config_.unplugAfterMs) unplugAt = started_ + milliseconds(*config_.unplugAfterMs);
        if (config_.plugAfterMs) plugAt = started_ + milliseconds(*config_.plugAfterMs);
        std::optional<steady_clock::time_point> alsoAt;
        if (config_.also && config_.also->afterMs) alsoAt = started_ + milliseconds(*config_.also->afterMs);
        std::unique_lock lock(mutex_);
        while (!childEnded_) {
            if (alsoDue_ || (alsoAt && steady_clock::now() >= *alsoAt)) {
                alsoDue_ = false;
                alsoAt.reset();
                startSecondLocked();
                continue;
            }
            if (!pendingUnplugs_.empty()) {
                const auto [bus, address] = pendingUnplugs_.front();
                pendingUnplugs_.erase(pendingUnplugs_.begin());
                lock.unlock();
                for (size_t i = 0; i < usb_.size(); ++i)
                    if (usb_[i].spec.bus == bus && usb_[i].spec.address == address) unplug(i);
                lock.lock();
                continue;  // the child may have ended meanwhile
            }
            const auto now = steady_clock::now();
            if (plugAt && now >= *plugAt) {
                plugAt.reset();
                lock.unlock();
                plug(0);
                lock.lock();
                continue;
            }
            if (unplugAt && now >= *unplugAt) {
                unplugAt.reset();
                lock.unlock();
                out("unplugging the chip");
                unplug(0);
                lock.lock();
                continue;
            }
            std::optional<steady_clock::time_point> next;
            for (const auto& t : {plugAt, unplugAt, alsoAt})
                if (t && (!next || *t < *next)) next = t;
            if (next) wake_.wait_until(lock, *next);
            else wake_.wait(lock);
        }
    }

    // The firmware file the program read last, as it stored it.
    std::optional<std::string> lastFirmwareFile() const {
        const std::string program = std::filesystem::path(config_.program.front()).filename().string();
        QtPreferences prefs(program);
        auto stored = prefs.string("userSelectedPath");
        if (!stored) return std::nullopt;
        return FileAccess::localPath(FileAccess::fileURL(*stored));
    }

    static std::string portsText(const std::vector<uint8_t>& ports) {
        std::string text;
        for (size_t i = 0; i < ports.size(); ++i) text += (i ? "." : "") + std::to_string(ports[i]);
        return text;
    }

    static std::string flashVerdict(const std::vector<uint8_t>& flash, const std::string& file) {
        const auto bytes = FileAccess::GetBinaryFile(FileAccess::fileURL(FileAccess::fileURLText(file)));
        if (!bytes) return "the firmware file " + file + " cannot be read";
        // A file the size rule accepts carries its image in its first 64 or
        // 128 KiB; what follows must never reach the chip.
        const auto image = FileAccess::FirmwareImageOf(*bytes);
        const std::span<const uint8_t> expected = image ? *image : std::span<const uint8_t>(*bytes);
        const std::string what = expected.size() == bytes->size()
                                     ? file
                                     : "the first " + std::to_string(expected.size()) + " bytes of " + file;
        const auto at = [](size_t i) {
            char where[32];
            std::snprintf(where, sizeof where, "0x%zX", i);
            return std::string(where);
        };
        if (expected.size() > flash.size())
            return "flash differs from " + file + ": the file is larger than the flash";
        for (size_t i = 0; i < expected.size(); ++i)
            if (flash[i] != expected[i]) return "flash differs from " + what + " (first at " + at(i) + ")";
        for (size_t i = expected.size(); i < flash.size(); ++i)
            if (flash[i] != 0xFF) return "flash equals " + what + " but was written beyond it (at " + at(i) + ")";
        return "flash equals " + what + " (" + std::to_string(expected.size()) + " bytes)";
    }

    void report() {
        const auto file = lastFirmwareFile();
        for (size_t i = 0; i < usb_.size(); ++i) {
            const UsbSlot& slot = usb_[i];
            char head[128];
            std::snprintf(head, sizeof head, "USB chip %zu at %u-%s (%04x:%04x, chip 0x%02llX)", i + 1,
                          slot.spec.bus, portsText(slot.spec.ports).c_str(), slot.spec.vendorId, slot.spec.productId,
                          static_cast<unsigned long long>(slot.config.chip.chipId));
            std::map<std::string, size_t> kinds;
            for (const auto& r : slot.chip->transcript()) ++kinds[toString(r.kind)];
            std::string counts;
            for (const auto& [kind, n] : kinds) counts += (counts.empty() ? "" : ", ") + kind + " " + std::to_string(n);
            // Every control URB the node took, the standard requests the
            // bed answers included: 0 means the program never touched it.
            const unsigned urbs = usbBed_->counters(slot.spec.bus, slot.spec.address).submitted;
            out(std::string(head) + ": " + std::to_string(slot.chip->requestCount()) + " requests" +
                (counts.empty() ? "" : " (" + counts + ")") + ", " + std::to_string(urbs) + " control URBs");
            out("  final state: " + std::string(toString(slot.chip->state())) + ", " +
                std::to_string(slot.chip->pagesWritten()) + " pages written" +
                (slot.chip->plugged() ? "" : ", unplugged"));
            const auto violations = slot.chip->violations();
            for (const auto& v : violations) out("  protocol violation: " + v);
            const auto expected = slot.config.expect ? slot.config.expect : file;
            if (slot.chip->pagesWritten() > 0 || slot.chip->state() == ChipState::Erased)
                out("  " + (expected ? flashVerdict(slot.chip->flash(), *expected) : "no firmware file was read"));
        }
        if (displayBed_) reportBuses();
        for (size_t i = 0; i < auxChips_.size(); ++i) {
            if (!auxChipOnBus_[i]) continue;
            const auto& chip = auxChips_[i];
            std::map<std::string, size_t> kinds;
            for (const auto& e : chip->transcript()) ++kinds[toString(e.kind)];
            std::string counts;
            for (const auto& [kind, n] : kinds) counts += (counts.empty() ? "" : ", ") + kind + " " + std::to_string(n);
            out("display chip " + std::to_string(i + 1) + " (" + config_.displays[i].type + "): " +
                std::to_string(chip->packetCount()) + " packets" + (counts.empty() ? "" : " (" + counts + ")"));
            for (const auto& v : chip->violations()) out("  protocol violation: " + v);
            if (chip->flashBytesWritten() > 0)
                out("  " + (file ? flashVerdict(chip->flash(), *file) : "no firmware file was read"));
        }
    }

    Config config_;
    std::filesystem::path root_;
    std::unique_ptr<UmockdevUsbBed> usbBed_;
    std::unique_ptr<AuxUmockdevDisplays> displayBed_;
    std::vector<UsbSlot> usb_;
    std::vector<std::shared_ptr<AuxChip>> auxChips_;
    std::vector<bool> auxChipOnBus_;
    std::vector<uint32_t> busOrder_;
    std::vector<std::pair<size_t, std::shared_ptr<AuxDdcMonitor>>> monitors_;
    std::chrono::steady_clock::time_point started_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool childEnded_ = false;
    std::string data_;
    bool firstEnded_ = false, alsoStarted_ = false, alsoDue_ = false;  // under mutex_
    std::optional<pid_t> secondPid_;                                   // under mutex_
    std::vector<std::pair<uint8_t, uint8_t>> pendingUnplugs_;
};

}  // namespace

int main(int argc, char** argv) {
    try {
        auto parsed = parse(std::vector<std::string>(argv + 1, argv + argc));
        if (const int* status = std::get_if<int>(&parsed)) return *status;
        if (const auto* make = std::get_if<MakeLoaders>(&parsed)) {
            writeSampleLoaders(make->dir);
            out("wrote synthetic loaders under " + make->dir + " (for trying the programs only)");
            return 0;
        }
        if (const auto* make = std::get_if<MakeFirmware>(&parsed)) {
            writeBytes(make->file, sampleFirmware(make->chip, make->kib, make->version));
            out("wrote " + make->file + " (" + std::to_string(make->kib) + " KiB, chip 0x" +
                [&] { char b[8]; std::snprintf(b, sizeof b, "%02llX", static_cast<unsigned long long>(make->chip)); return std::string(b); }() +
                ", version \"" + make->version + "\")");
            return 0;
        }
        return Emulator(std::get<Config>(std::move(parsed))).run();
    } catch (const UsageError& e) {
        out(e.what());
        out("see quorvel-emulate --help");
        return kUsageError;
    } catch (const std::exception& e) {
        out(std::string("error: ") + e.what());
        return 1;
    }
}
