// Start-up of the desktop program: time from exec to the window painted with
// its 16 device watchers running, and the peak memory of that run. The
// program is started as a child (offscreen platform) that ends once its
// window has been painted (QUORVEL_STARTUP_PROBE).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Run {
    double seconds = 0;
    double peakMiB = 0;
    bool ok = false;
};

Run startOnce(const std::string& program, const std::string& config) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("QUORVEL_STARTUP_PROBE", "1", 1);
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", config.c_str(), 1);
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    Run run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

void BM_StartToWindowShown(benchmark::State& state) {
    const std::string program = QUORVEL_PROGRAM;
    const auto config = std::filesystem::temp_directory_path() / ("quorvel-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(config);
    double peak = 0;
    for (auto _ : state) {
        const Run run = startOnce(program, config.string());
        if (!run.ok) {
            state.SkipWithError("Quorvel did not start and end cleanly");
            break;
        }
        state.SetIterationTime(run.seconds);
        peak = std::max(peak, run.peakMiB);
    }
    state.counters["peak_MiB"] = peak;
    std::filesystem::remove_all(config);
}
BENCHMARK(BM_StartToWindowShown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
