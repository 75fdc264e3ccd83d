#include "emu/emulate/Report.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <span>

#include "model/FileAccess.h"
#include "model/Log.h"
#include "model/Preferences.h"

namespace quorvel::emu::emulate {

namespace {

// "Kind n, Kind n" over a transcript, kinds in name order.
template <typename Transcript>
std::string countsByKind(const Transcript& transcript) {
    std::map<std::string, size_t> kinds;
    for (const auto& entry : transcript) ++kinds[toString(entry.kind)];
    std::string counts;
    for (const auto& [kind, n] : kinds) counts += (counts.empty() ? "" : ", ") + kind + " " + std::to_string(n);
    return counts;
}

// The firmware file the program read last, as it stored it.
std::optional<std::string> lastFirmwareFile(const Config& config) {
    const std::string program = std::filesystem::path(config.program.front()).filename().string();
    QtPreferences prefs(program);
    auto stored = prefs.string("userSelectedPath");
    if (!stored) return std::nullopt;
    return FileAccess::localPath(FileAccess::fileURL(*stored));
}

std::string portsText(const std::vector<uint8_t>& ports) {
    std::string text;
    for (size_t i = 0; i < ports.size(); ++i) text += (i ? "." : "") + std::to_string(ports[i]);
    return text;
}

std::string flashVerdict(const std::vector<uint8_t>& flash, const std::string& file) {
    const auto bytes = FileAccess::GetBinaryFile(FileAccess::fileURL(FileAccess::fileURLText(file)));
    if (!bytes) return "the firmware file " + file + " cannot be read";
    // A file the size rule accepts carries its image in its first 64 or
    // 128 KiB; what follows must never reach the chip.
    const auto image = FileAccess::FirmwareImageOf(*bytes);
    const std::span<const uint8_t> expected = image ? *image : std::span<const uint8_t>(*bytes);
    const std::string what =
        expected.size() == bytes->size() ? file : "the first " + std::to_string(expected.size()) + " bytes of " + file;
    const auto at = [](size_t i) {
        char where[32];
        std::snprintf(where, sizeof where, "0x%zX", i);
        return std::string(where);
    };
    if (expected.size() > flash.size()) return "flash differs from " + file + ": the file is larger than the flash";
    for (size_t i = 0; i < expected.size(); ++i)
        if (flash[i] != expected[i]) return "flash differs from " + what + " (first at " + at(i) + ")";
    for (size_t i = expected.size(); i < flash.size(); ++i)
        if (flash[i] != 0xFF) return "flash equals " + what + " but was written beyond it (at " + at(i) + ")";
    return "flash equals " + what + " (" + std::to_string(expected.size()) + " bytes)";
}

void reportBuses(const Machine& machine) {
    std::vector<uint32_t> buses = machine.busOrder;
    buses.insert(buses.begin(), Machine::kSmbus);
    for (uint32_t bus : buses) {
        std::string messages;
        for (const auto& [address, n] : machine.displayBed->messages(bus)) {
            char a[8];
            std::snprintf(a, sizeof a, "0x%02X", address);
            messages += (messages.empty() ? "" : ", ") + std::string(a) + ": " + std::to_string(n);
        }
        out("bus i2c-" + std::to_string(bus) + (bus == Machine::kSmbus ? " (SMBus)" : "") + ": " +
            std::to_string(machine.displayBed->transfers(bus)) + " transfers" +
            (messages.empty() ? "" : " (" + messages + ")"));
    }
    for (const auto& [index, monitor] : machine.monitors) {
        const std::string counts = countsByKind(monitor->transcript());
        out("display monitor " + std::to_string(index + 1) + " without the chip: " +
            std::to_string(monitor->packetCount()) + " packets" + (counts.empty() ? "" : " (" + counts + ")"));
    }
}

}  // namespace

void out(const std::string& line) { writeLine("quorvel-emulate: " + line, stderr); }

void reportMachine(const Config& config, const Machine& machine) {
    const auto file = lastFirmwareFile(config);
    for (size_t i = 0; i < machine.usb.size(); ++i) {
        const UsbSlot& slot = machine.usb[i];
        char head[128];
        std::snprintf(head, sizeof head, "USB chip %zu at %u-%s (%04x:%04x, chip 0x%02llX)", i + 1, slot.spec.bus,
                      portsText(slot.spec.ports).c_str(), slot.spec.vendorId, slot.spec.productId,
                      static_cast<unsigned long long>(slot.config.chip.chipId));
        const std::string counts = countsByKind(slot.chip->transcript());
        // Every control URB the node took, the standard requests the
        // bed answers included: 0 means the program never touched it.
        const unsigned urbs = machine.usbBed->counters(slot.spec.bus, slot.spec.address).submitted;
        out(std::string(head) + ": " + std::to_string(slot.chip->requestCount()) + " requests" +
            (counts.empty() ? "" : " (" + counts + ")") + ", " + std::to_string(urbs) + " control URBs");
        out("  final state: " + std::string(toString(slot.chip->state())) + ", " +
            std::to_string(slot.chip->pagesWritten()) + " pages written" + (slot.chip->plugged() ? "" : ", unplugged"));
        const auto violations = slot.chip->violations();
        for (const auto& v : violations) out("  protocol violation: " + v);
        const auto expected = slot.config.expect ? slot.config.expect : file;
        if (slot.chip->pagesWritten() > 0 || slot.chip->state() == ChipState::Erased)
            out("  " + (expected ? flashVerdict(slot.chip->flash(), *expected) : "no firmware file was read"));
    }
    if (machine.displayBed) reportBuses(machine);
    for (size_t i = 0; i < machine.auxChips.size(); ++i) {
        if (!machine.auxChipOnBus[i]) continue;
        const auto& chip = machine.auxChips[i];
        const std::string counts = countsByKind(chip->transcript());
        out("display chip " + std::to_string(i + 1) + " (" + config.displays[i].type +
            "): " + std::to_string(chip->packetCount()) + " packets" + (counts.empty() ? "" : " (" + counts + ")"));
        for (const auto& v : chip->violations()) out("  protocol violation: " + v);
        if (chip->flashBytesWritten() > 0)
            out("  " + (file ? flashVerdict(chip->flash(), *file) : "no firmware file was read"));
    }
}

void reportEnd(const std::vector<std::string>& program, int status) {
    const std::string name = std::filesystem::path(program.front()).filename().string();
    out(name + (status > 128 ? " ended by signal " + std::to_string(status - 128)
                             : " ended with exit status " + std::to_string(status)));
}

}  // namespace quorvel::emu::emulate
