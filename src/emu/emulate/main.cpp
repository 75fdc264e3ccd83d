// quorvel-emulate: runs an unmodified Quorvel program against emulated chips.
// USB chips appear as usbfs devices and displays as DRM connectors with a
// DDC bus, both through umockdev; the program runs as a child under the
// umockdev preload library, its requests are served here, and when it ends
// a report says what the chips received.
//
// Options.cpp reads the command line, Emulator.cpp sets up the machine and
// runs the programs, Report.cpp says what happened.
#include <cstdio>
#include <exception>
#include <string>
#include <variant>
#include <vector>

#include "emu/SampleFiles.h"
#include "emu/emulate/Emulator.h"
#include "emu/emulate/Options.h"
#include "emu/emulate/Report.h"

using namespace quorvel::emu;
using namespace quorvel::emu::emulate;

int main(int argc, char** argv) {
    try {
        auto parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        if (const int* status = std::get_if<int>(&parsed)) return *status;
        if (const auto* make = std::get_if<MakeLoaders>(&parsed)) {
            writeSampleLoaders(make->dir);
            out("wrote synthetic loaders under " + make->dir + " (for trying the programs only)");
            return 0;
        }
        if (const auto* make = std::get_if<MakeFirmware>(&parsed)) {
            writeBytes(make->file, sampleFirmware(make->chip, make->kib, make->version));
            char chip[24];
            std::snprintf(chip, sizeof chip, "%02llX", static_cast<unsigned long long>(make->chip));
            out("wrote " + make->file + " (" + std::to_string(make->kib) + " KiB, chip 0x" + chip + ", version \"" +
                make->version + "\")");
            return 0;
        }
        return runPrograms(std::get<Config>(std::move(parsed)));
    } catch (const UsageError& e) {
        out(e.what());
        out("see quorvel-emulate --help");
        return kUsageError;
    } catch (const std::exception& e) {
        out(std::string("error: ") + e.what());
        return 1;
    }
}
