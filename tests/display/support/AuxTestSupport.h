// Fixtures of the display-road tests: the recorders set up for the display
// road, and one emulated external display with its chip.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "model/Log.h"
#include "display/DisplayPlatform.h"
#include "display/Edid.h"
#include "emu/EdidBuilder.h"
#include "display/IntelDDC.h"
#include "emu/AuxEmulatedPlatform.h"
#include "model/Alert.h"
#include "model/Settings.h"
#include "model/Sleeper.h"
#include "support/Recorders.h"

namespace quorvel::test {

// Puts the display road's process-wide results back to their initial
// values, so that no test sees what an earlier one left behind. (Each
// upgrade starts from a transfer state of its own.)
inline void resetDisplayState() {
    serviceMatchDisplayIDIntel = 0;
    AUXpercentCompleted = 0;
}

// The display road's pauses, each with the progress read as it began.
class ScopedSleeper : public ScopedRecorder<RecordingSleeper, Sleeper, setSleeper> {
public:
    ScopedSleeper() {
        (*this)->probe = [] { return AUXpercentCompleted.load(); };
    }
};

// The alerts raised during the scope, each as "title|text".
class ScopedAlerts : public ScopedAlertRecorder {
public:
    std::vector<std::string> alerts() { return (*this)->joined(); }
};

using ScopedDisplayPlatform = ScopedSeam<DisplayPlatform, setDisplayPlatform>;

inline std::vector<uint8_t> patternImage(size_t size, uint32_t seed) {
    std::vector<uint8_t> image(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return image;
}

// Packets the chip saw of one kind, in order.
inline std::vector<emu::AuxTranscriptEntry> packetsOf(const emu::AuxChip& chip, emu::AuxPacketKind kind) {
    std::vector<emu::AuxTranscriptEntry> out;
    for (const auto& e : chip.transcript())
        if (e.kind == kind) out.push_back(e);
    return out;
}

// One external DisplayPort display on bus 3 with a chip behind it.
struct OneDisplay {
    explicit OneDisplay(emu::AuxChipOptions options = {}) : chip(std::make_shared<emu::AuxChip>(options)) {
        host.addDisplay(
            {.type = "DP",
             .edid = buildEdid({.manufacturer = "QRV", .product = 0x1234, .serial = 77, .name = "Office 27"}),
             .bus = 3,
             .chip = chip});
    }
    std::unique_ptr<IntelDDC> ddc() { return IntelDDC::create(1, std::nullopt, host.platform()); }

    emu::AuxEmulatedHost host;
    std::shared_ptr<emu::AuxChip> chip;
};

}  // namespace quorvel::test
