#include "cli/Diagnose.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include <QJsonObject>

#include "cli/Console.h"
#include "cli/JsonOutput.h"
#include "display/DisplayPlatform.h"
#include "model/DataFolder.h"
#include "model/DeviceTable.h"
#include "model/FileAccess.h"
#include "model/Hex.h"
#include "model/Sentinels.h"
#include "model/UpgradeGuard.h"
#include "usb/HotplugSource.h"
#include "usb/USBDeviceMonitor.h"

namespace quorvel {

namespace fs = std::filesystem;
using Level = DiagnosisLine::Level;

namespace {

constexpr const char* kRulesName = "70-quorvel.rules";

std::string readAll(const fs::path& path, size_t limit = 1 << 20) {
    std::ifstream in(path, std::ios::binary);
    std::string text(limit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

bool opensReadWrite(const std::string& node, int* error) {
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    ::close(fd);
    return true;
}

std::string threeDigits(unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%03u", value);
    return buffer;
}

DiagnosisLine udevRules(const std::vector<std::string>& folders) {
    for (const auto& folder : folders) {
        const fs::path file = fs::path(folder) / kRulesName;
        std::error_code ec;
        if (!fs::exists(file, ec)) continue;
        std::string text = readAll(file);
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
        const bool namesVendors = std::all_of(devices::vendorIds.begin(), devices::vendorIds.end(), [&](uint16_t id) {
            return text.find(hexDigits(id, 4, HexCase::lower)) != std::string::npos;
        });
        if (!namesVendors)
            return {Level::fail, "udev rules " + file.string() + " do not name the chips' vendor IDs",
                    "replace it with the 70-quorvel.rules of this version, then run "
                    "`sudo udevadm control --reload-rules` and replug the chips"};
        return {Level::ok, "udev rules installed: " + file.string(), {}};
    }
    std::string list;
    for (const auto& f : folders) list += (list.empty() ? "" : ", ") + f;
    return {::geteuid() == 0 ? Level::warn : Level::fail,
            std::string("udev rules ") + kRulesName + " not found in " + list,
            "copy 70-quorvel.rules (installed under <prefix>/lib/udev/rules.d) to /etc/udev/rules.d, run "
            "`sudo udevadm control --reload-rules`, then replug the chips"};
}

std::vector<DiagnosisLine> usbNodes(const std::vector<std::string>& nodes) {
    if (nodes.empty()) return {{Level::ok, "USB chips: none attached", {}}};
    std::vector<DiagnosisLine> lines;
    for (const auto& node : nodes) {
        int error = 0;
        if (opensReadWrite(node, &error))
            lines.push_back({Level::ok, "USB chip " + node + " can be opened read-write", {}});
        else
            lines.push_back({Level::fail,
                             "USB chip " + node + " cannot be opened read-write (" + std::strerror(error) + ")",
                             "install the udev rules (see above) and replug the chip, or log in at the seat"});
    }
    return lines;
}

std::vector<DiagnosisLine> displayBuses() {
    std::vector<DiagnosisLine> lines;
    std::error_code ec;
    const bool loaded = fs::exists("/sys/module/i2c_dev", ec) || fs::exists("/sys/class/i2c-dev", ec);
    if (loaded) lines.push_back({Level::ok, "i2c-dev is loaded", {}});
    else
        lines.push_back({Level::fail, "i2c-dev is not loaded: display buses have no /dev/i2c-N nodes",
                         "`sudo modprobe i2c-dev`, and to keep it: "
                         "`echo i2c-dev | sudo tee /etc/modules-load.d/i2c-dev.conf`"});

    const auto source = displayPlatform().displays;
    const auto connectors = source ? source->onlineConnectors(16) : std::nullopt;
    std::vector<ConnectorInfo> external;
    if (connectors)
        for (const auto& c : *connectors)
            if (!isBuiltinConnector(c) && !isVirtualConnector(c)) external.push_back(c);
    if (external.empty()) {
        lines.push_back({Level::ok, "display buses: no external display connected", {}});
        return lines;
    }
    for (const auto& c : external) {
        if (!c.ddcBus) {
            lines.push_back({Level::warn, c.name + " names no DDC bus",
                             "its bus is found by matching EDIDs; if --list shows no bus for it, "
                             "connect the display to another output"});
            continue;
        }
        const std::string bus = std::to_string(*c.ddcBus);
        const std::string node = "/dev/i2c-" + bus;
        int error = 0;
        const bool opens = opensReadWrite(node, &error);
        if (opens) {
            lines.push_back({Level::ok, c.name + ": " + node + " can be opened read-write", {}});
        } else if (error == ENOENT) {
            lines.push_back(
                {Level::fail, c.name + ": " + node + " does not exist", "load i2c-dev (`sudo modprobe i2c-dev`)"});
        } else {
            lines.push_back({Level::fail,
                             c.name + ": " + node + " cannot be opened read-write (" + std::strerror(error) + ")",
                             "install the udev rules (they give the seat's user the display buses), "
                             "or add yourself to the i2c group"});
        }
        if (!opens && error == ENOENT) continue;
        // A kernel driver bound at the chip's address would talk to it
        // behind our back.
        const fs::path driver = fs::path("/sys/bus/i2c/devices") / (bus + "-0037") / "driver";
        const fs::path bound = fs::read_symlink(driver, ec);
        if (!ec)
            lines.push_back(
                {Level::fail,
                 c.name + ": kernel driver " + bound.filename().string() + " holds address 0x37 of i2c-" + bus,
                 "unbind it: `echo " + bus + "-0037 | sudo tee " + fs::canonical(driver, ec).string() + "/unbind`"});
        else lines.push_back({Level::ok, c.name + ": no kernel driver holds address 0x37 of i2c-" + bus, {}});
    }
    return lines;
}

std::vector<DiagnosisLine> loaders() {
    // The chip name each loader must carry: the families' rows of the chip table.
    struct Loader {
        const char* folder;
        const char* file;
        const char* chipName;  // null: any
    };
    static const Loader kLoaders[] = {{"ISP_USB", "ISP_USB_TS.bin", "UsbFlT"},
                                      {"ISP_USB", "ISP_USB_TS2.bin", "UsbFlT2"},
                                      {"ISP_USB", "ISP_USB_SK.bin", "UsbFlS"},
                                      {"ISP_USB", "ISP_USB_VB.bin", "UsbFlV"},
                                      {"ISP_AUX", "ISP_AUX.bin", nullptr}};
    const std::string fix = "install the loader images from the chip maker into " + dataFolder() +
                            " (see the README), or point QUORVEL_DATA_DIR at them";
    std::vector<DiagnosisLine> lines;
    FileAccess files;
    for (const Loader& l : kLoaders) {
        const fs::path path = fs::path(dataFolder()) / l.folder / l.file;
        const auto bytes = FileAccess::GetBinaryFile(FileAccess::fileURL("file://" + path.string()));
        std::string problem;
        if (!bytes) problem = "is missing or cannot be read";
        else if (bytes->size() != 4096) problem = "is " + std::to_string(bytes->size()) + " bytes, not 4096";
        else if (files.ISPSignatureOf(*bytes) != sentinel::loaderSignature) problem = "does not end in \"eISP\"";
        else if (l.chipName) {
            const std::string version = files.GetISPVersion(SourceModel::BackData(*bytes));
            const std::string name = version.substr(0, version.find(' '));
            if (name != l.chipName)
                problem = "carries " +
                          (version == "NoVersionInfo" ? std::string("no ISP chip name") : "the chip name " + name) +
                          ", not " + l.chipName;
        }
        if (problem.empty()) lines.push_back({Level::ok, "loader " + path.string(), {}});
        else lines.push_back({Level::fail, "loader " + path.string() + " " + problem, fix});
    }
    return lines;
}

DiagnosisLine logind() {
    // The very inhibitor an upgrade takes, dropped at once: a bus that
    // answers but refuses this user's lock would pass a lesser check.
    std::string error;
    if (inhibitor()->inhibit("Checking that an upgrade can keep the system awake", error))
        return {Level::ok, "logind grants the inhibitor an upgrade takes against sleep and shutdown", {}};
    return {Level::warn, "logind does not grant the inhibitor against sleep and shutdown (" + error + ")",
            "without it the system may sleep during an upgrade; keep the machine awake by hand"};
}

DiagnosisLine dataDirectory() {
    const std::string folder = dataFolder();
    const char* env = std::getenv("QUORVEL_DATA_DIR");
    const std::string from = env && *env ? " (from QUORVEL_DATA_DIR)" : " (next to the programs)";
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        return {Level::fail, "data folder " + folder + from + " does not exist",
                "reinstall Quorvel, or point QUORVEL_DATA_DIR at the folder with ISP_USB and ISP_AUX"};
    if (::access(folder.c_str(), R_OK | X_OK) != 0)
        return {Level::fail, "data folder " + folder + from + " cannot be read", "make it readable"};
    return {Level::ok, "data folder " + folder + from, {}};
}

std::vector<std::string> defaultRuleFolders() {
    if (const char* env = std::getenv("QUORVEL_UDEV_RULES_PATH"); env && *env) {
        std::vector<std::string> folders;
        std::stringstream stream(env);
        for (std::string item; std::getline(stream, item, ':');)
            if (!item.empty()) folders.push_back(item);
        return folders;
    }
    return {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d", "/usr/lib/udev/rules.d",
            "/lib/udev/rules.d"};
}

// The attached chips' nodes, learnt from the hot-plug source without
// opening any of them.
std::vector<std::string> attachedUsbNodes() {
    auto source = hotplugSource();
    if (!source) return {};
    std::mutex mutex;
    std::vector<std::string> nodes;
    source->setAdmission([&](const USBLocation& l) {
        std::lock_guard lock(mutex);
        nodes.push_back("/dev/bus/usb/" + threeDigits(l.bus) + "/" + threeDigits(l.address));
        return false;
    });
    {
        std::vector<USBMonitorData> pairs = Console::watchedDevices();
        USBDeviceMonitor monitor(pairs);
        monitor.start();  // reports the present devices before it returns
    }
    source->setAdmission(nullptr);
    std::lock_guard lock(mutex);
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    return nodes;
}

}  // namespace

std::vector<DiagnosisLine> diagnose(const DiagnosisHost& host) {
    std::vector<DiagnosisLine> lines{udevRules(host.udevRuleFolders)};
    for (auto& l : usbNodes(host.usbNodes)) lines.push_back(std::move(l));
    for (auto& l : displayBuses()) lines.push_back(std::move(l));
    for (auto& l : loaders()) lines.push_back(std::move(l));
    lines.push_back(logind());
    lines.push_back(dataDirectory());
    return lines;
}

int runDiagnosis(JsonOutput* json, std::string& outcome) {
    DiagnosisHost host{defaultRuleFolders(), attachedUsbNodes()};
    const auto lines = diagnose(host);
    bool failed = false;
    static const char* kWords[] = {"OK  ", "WARN", "FAIL"};
    for (const auto& l : lines) {
        failed = failed || l.level == Level::fail;
        const std::string word = kWords[static_cast<int>(l.level)];
        if (json) {
            QJsonObject fields{{"level", QString::fromStdString(word).trimmed()},
                               {"what", QString::fromStdString(l.what)}};
            if (!l.fix.empty()) fields.insert("fix", QString::fromStdString(l.fix));
            json->event("check", fields);
        } else {
            Console::writeMessage(word + " " + l.what + (l.fix.empty() ? "" : ". Fix: " + l.fix), OutputType::standard);
        }
    }
    outcome = failed ? "Some checks failed." : "No check failed.";
    return failed ? 1 : 0;
}

}  // namespace quorvel
