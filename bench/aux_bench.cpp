// Host cost of the display road against the chip model, in process: one
// AUX packet through IntelDDC, and a whole 128 KiB upgrade with the fixed
// waits excluded, set against the wire time of the same packets on a
// 100 kHz DDC bus.
#include <benchmark/benchmark.h>

#include <chrono>

#include "display/AuxPacket.h"
#include "emu/EdidBuilder.h"
#include "display/IntelDDC.h"
#include "emu/AuxEmulatedPlatform.h"
#include "model/Settings.h"
#include "model/Sleeper.h"

namespace {

using namespace quorvel;

class NoSleeper : public Sleeper {
public:
    void sleep(std::chrono::microseconds) override {}
};

struct Rig {
    Rig() : chip(std::make_shared<emu::AuxChip>()) {
        host.addDisplay({.type = "DP", .connectorId = 1, .edid = buildEdid({}), .bus = 3, .chip = chip});
        ddc = IntelDDC::create(1, std::nullopt, host.platform());
    }
    emu::AuxEmulatedHost host;
    std::shared_ptr<emu::AuxChip> chip;
    std::unique_ptr<IntelDDC> ddc;
};

std::vector<uint8_t> image(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
    return bytes;
}

// Start, address byte, the bytes (8 bits and an acknowledge each), stop.
double wireSeconds(const std::vector<emu::AuxTranscriptEntry>& transcript) {
    double bits = 0;
    for (const auto& e : transcript) bits += 1 + 9.0 * (1 + e.bytes.size()) + 1;
    return bits / 100000.0;
}

void BM_AuxFlashPacket(benchmark::State& state) {
    setSleeper(std::make_shared<NoSleeper>());
    Rig rig;
    const auto firmware = image(128 * 1024);
    AuxTransfer transfer;
    for (auto _ : state) {
        if (!rig.ddc->FlashWriteIntel(firmware, transfer)) state.SkipWithError("packet refused");
        transfer.firmwareBufferCount = static_cast<uint32_t>((transfer.firmwareBufferCount + 8) % firmware.size());
        if (rig.chip->packetCount() % 4096 == 0) rig.chip->clearTranscript();
    }
    state.counters["wire_us"] = 1e6 * (1 + 9.0 * 15 + 1) / 100000.0;
    setSleeper(nullptr);
}
BENCHMARK(BM_AuxFlashPacket);

void BM_AuxUpgrade128KiB(benchmark::State& state) {
    setSleeper(std::make_shared<NoSleeper>());
    const auto isp = image(4096);
    const auto firmware = image(128 * 1024);
    double host = 0, wire = 0, packets = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Rig rig;
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        rig.ddc->AUXFirmwareUpgradeIntel(isp, firmware, aux::stepCount(isp.size()), aux::stepCount(firmware.size()));
        host += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.PauseTiming();
        const auto transcript = rig.chip->transcript();
        wire += wireSeconds(transcript);
        packets += static_cast<double>(transcript.size());
        if (rig.chip->flash() != firmware) state.SkipWithError("flash differs from the file");
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["packets"] = packets / n;
    state.counters["wire_s"] = wire / n;
    state.counters["host_pct_of_wire"] = 100.0 * host / wire;
    setSleeper(nullptr);
}
BENCHMARK(BM_AuxUpgrade128KiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
