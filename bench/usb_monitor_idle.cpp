// What 16 idle device monitors cost: the process's CPU time while they
// watch and nothing is plugged in or out, as a share of the wall time.
// An idle monitor must sleep (libusb's event thread in poll), not spin.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "emu/EmulatedHotplugSource.h"
#include "usb/USBDeviceMonitor.h"
#include "usb/libusb/LibusbHotplugSource.h"

namespace {

using namespace std::chrono_literals;
using quorvel::HotplugSource;
using quorvel::USBDeviceMonitor;
using quorvel::USBMonitorData;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Sixteen vendor/product pairs, each watched by a monitor started on a
// thread of its own, as both programs do.
void idleMonitors(benchmark::State& state, std::shared_ptr<HotplugSource> source) {
    const auto window = std::chrono::milliseconds(state.range(0));
    for (auto _ : state) {
        auto previous = quorvel::installHotplugSource(source);
        std::vector<std::unique_ptr<USBDeviceMonitor>> monitors;
        std::vector<std::thread> threads;
        for (uint16_t product = 0x6100; product < 0x6110; ++product) {
            monitors.push_back(std::make_unique<USBDeviceMonitor>(std::vector{USBMonitorData{0x34C7, product}}));
            threads.emplace_back([m = monitors.back().get()] { m->start(); });
        }
        for (auto& thread : threads) thread.join();
        std::this_thread::sleep_for(100ms);  // let start-up settle

        const double cpuBefore = cpuSeconds();
        const auto wallBefore = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(window);
        const double cpu = cpuSeconds() - cpuBefore;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();

        state.SetIterationTime(wall);
        state.counters["cpu_ms"] = cpu * 1e3;
        state.counters["cpu_percent"] = 100.0 * cpu / wall;
        monitors.clear();
        quorvel::installHotplugSource(previous);
    }
    source->shutdown();
}

void libusbSource(benchmark::State& state) {
    auto source = std::make_shared<quorvel::LibusbHotplugSource>();
    if (source->initError() != 0) {
        state.SkipWithError("libusb could not start");
        for (auto _ : state) {
        }
        return;
    }
    idleMonitors(state, source);
}

void emulatedSource(benchmark::State& state) {
    idleMonitors(state, std::make_shared<quorvel::EmulatedHotplugSource>());
}

}  // namespace

BENCHMARK(libusbSource)->Arg(3000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(emulatedSource)->Arg(3000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
