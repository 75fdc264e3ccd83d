// Host time of the USB engine against the in-process chip model: one control
// transfer, and a whole 128 KiB upgrade with 8-byte packets without pauses.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "emu/EmulatedControlTransport.h"
#include "emu/UsbChip.h"
#include "model/Settings.h"
#include "model/Sleeper.h"
#include "usb/USBAccess.h"

namespace {

using namespace quorvel;

class NoSleep : public Sleeper {
public:
    void sleep(std::chrono::microseconds) override {}
};

// Sends the engine's progress lines to /dev/null for the scope.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }

private:
    int saved_;
};

void BM_RegisterRead(benchmark::State& state) {
    const bool record = state.range(0) != 0;
    auto chip = std::make_shared<emu::UsbChip>(emu::UsbChipOptions{.recordTranscript = record});
    USBAccess usb(emu::makeEmulatedDevice(chip));
    size_t n = 0;
    for (auto _ : state) {
        usb.Read(0x8910);
        benchmark::DoNotOptimize(usb.backData.data());
        if (record && ++n % 4096 == 0) chip->clearTranscript();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegisterRead)->ArgName("transcript")->Arg(0)->Arg(1);

void BM_RegisterWrite(benchmark::State& state) {
    auto chip = std::make_shared<emu::UsbChip>(emu::UsbChipOptions{.recordTranscript = false});
    USBAccess usb(emu::makeEmulatedDevice(chip));
    uint32_t value = 0;
    for (auto _ : state) usb.Write(0x1000, ++value);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegisterWrite);

void BM_Upgrade128KiB(benchmark::State& state) {
    const bool record = state.range(1) != 0;
    auto previous = setSleeper(std::make_shared<NoSleep>());
    const int64_t savedPacket = maxPktSize.exchange(state.range(0));
    std::vector<uint8_t> loader(4096), firmware(128 * 1024);
    for (size_t i = 0; i < loader.size(); ++i) loader[i] = static_cast<uint8_t>(i * 7);
    for (size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
    size_t requests = 0;
    {
        QuietStdout quiet;
        for (auto _ : state) {
            auto chip = std::make_shared<emu::UsbChip>(emu::UsbChipOptions{.chipId = 0x03, .recordTranscript = record});
            USBAccess usb(emu::makeEmulatedDevice(chip));
            usb.USBFirmware(loader, firmware, 0x03);
            requests = chip->requestCount();
        }
    }
    state.counters["requests"] = static_cast<double>(requests);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(firmware.size()));
    maxPktSize = savedPacket;
    setSleeper(previous);
}
BENCHMARK(BM_Upgrade128KiB)
    ->ArgNames({"pkt", "transcript"})
    ->Args({8, 0})
    ->Args({8, 1})
    ->Args({64, 0})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
