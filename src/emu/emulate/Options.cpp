#include "emu/emulate/Options.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include <QCommandLineParser>
#include <QStringList>

namespace quorvel::emu::emulate {

namespace {

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
    static const std::map<std::string, Fault> faults = {{"error", Fault::TransferError},
                                                        {"stall", Fault::Stall},
                                                        {"timeout", Fault::Timeout},
                                                        {"unplug", Fault::Unplug},
                                                        {"wrong-status", Fault::WrongPageStatus},
                                                        {"short", Fault::Short}};
    auto it = faults.find(text);
    if (it == faults.end())
        throw UsageError("unknown fault '" + text + "' (error, stall, timeout, unplug, wrong-status, short)");
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

uint16_t id16(const std::string& value, const std::string& what) {
    const int64_t v = parseNumber(value, what);
    if (v < 0 || v > 0xFFFF) throw UsageError(what + " out of range: " + value);
    return static_cast<uint16_t>(v);
}

// The chip of --vendor/--product, and of --usb before its keys.
UsbDeviceConfig defaultUsbDevice() {
    UsbDeviceConfig device;
    device.chip.productId = 0x6121;
    device.chip.chipId = 0xA3;
    device.chip.versionText = "ZK6121 Emulated v1.00";
    return device;
}

// --usb SPEC
UsbDeviceConfig parseUsbSpec(const std::string& spec) {
    UsbDeviceConfig device = defaultUsbDevice();
    for (const auto& [key, value] : parseSpec(spec)) {
        if (key == "vendor") device.chip.vendorId = id16(value, "vendor ID");
        else if (key == "product") device.chip.productId = id16(value, "product ID");
        else if (key == "chip") device.chip.chipId = parseNumber(value, "chip identifier");
        else if (key == "version") device.chip.versionText = value;
        else if (key == "bus") device.bus = static_cast<uint8_t>(number8(value, "bus number"));
        else if (key == "port") device.ports = parsePorts(value);
        else if (key == "expect") device.expect = value;
        else throw UsageError("unknown --usb key '" + key + "'");
    }
    return device;
}

// --display SPEC ("default" for the defaults)
DisplayConfig parseDisplaySpec(const std::string& spec) {
    DisplayConfig d;
    if (spec == "default") return d;
    for (const auto& [key, value] : parseSpec(spec)) {
        if (key == "type") d.type = value;
        else if (key == "name") d.name = value.substr(0, 13);
        else if (key == "version") d.version = value;
        else if (key == "ddc") d.ddcLink = value != "no";
        else if (!displayMachineKey(d, key, value)) throw UsageError("unknown --display key '" + key + "'");
    }
    return d;
}

}  // namespace

Command parseCommandLine(const std::vector<std::string>& args) {
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
        unplugAfter("unplug-after", "", "MS"), plugAfter("plug-after", "", "MS"), dataDir("data-dir", "", "DIR"),
        ownDataDir("own-data-dir", ""), makeLoaders("make-loaders", "", "DIR"), noReport("no-report", ""),
        fastWaits("fast-waits", ""), alsoAfter("also-after", "", "WHEN"), noI2cDev("no-i2c-dev", ""),
        makeFirmware("make-firmware", "", "FILE"), fwChip("firmware-chip", "", "ID"),
        fwSize("firmware-size", "", "KIB"), fwVersion("firmware-version", "", "TEXT");
    parser.addOptions({help,      vendor,       product,    chip,        versionText, usb,          noUsb,
                       display,   failRequest,  failStep,   failPage,    failAux,     versionReply, unplugAfter,
                       plugAfter, dataDir,      ownDataDir, makeLoaders, noReport,    fastWaits,    alsoAfter,
                       noI2cDev,  makeFirmware, fwChip,     fwSize,      fwVersion});
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

    if (!parser.isSet(noUsb) && !parser.isSet(usb)) {
        UsbDeviceConfig device = defaultUsbDevice();
        if (parser.isSet(vendor)) device.chip.vendorId = id16(text(vendor), "vendor ID");
        if (parser.isSet(product)) device.chip.productId = id16(text(product), "product ID");
        if (parser.isSet(chip)) device.chip.chipId = number(chip, "chip identifier");
        if (parser.isSet(versionText)) device.chip.versionText = text(versionText);
        if (parser.isSet(versionReply))
            device.chip.versionReply = parseVersionReply(text(versionReply), device.chip.versionText);
        config.usb.push_back(device);
    }
    for (const QString& spec : parser.values(usb)) config.usb.push_back(parseUsbSpec(spec.toStdString()));
    for (const QString& spec : parser.values(display)) config.displays.push_back(parseDisplaySpec(spec.toStdString()));
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

}  // namespace quorvel::emu::emulate
