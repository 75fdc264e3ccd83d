// Wall time of the command line's operations against chips that
// quorvel-emulate serves: `QuorvelCLI --list` with 16 USB chips, and three
// upgrades on three chips by three processes at once against one alone.
//
// quorvel-emulate serves every chip from one thread, so its share matters:
// each QuorvelCLI runs under this program's --timed mode, which records the
// process's own wall and CPU time; whatever CPU the whole run took beyond
// that is the emulator's (umockdev, the chip models, the test bed).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "emu/SampleFiles.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

struct Run {
    double wall = 0;
    double cpu = 0;  // of the process and all it waited for
    int status = -1;
};

Run spawnAndWait(const std::vector<std::string>& args, const std::string& quietTo = "/dev/null") {
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, quietTo.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, quietTo.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const auto start = Clock::now();
    pid_t pid = -1;
    Run run;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return run;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.wall = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return run;
}

// --timed FILE PROGRAM ARGS: runs PROGRAM, appends "wall cpu" to FILE.
int timedChild(int argc, char** argv) {
    const Run run = spawnAndWait(std::vector<std::string>(argv + 3, argv + argc), "/dev/null");
    std::ofstream(argv[2], std::ios::app) << run.wall << " " << run.cpu << "\n";
    return run.status;
}

std::string self() { return fs::read_symlink("/proc/self/exe").string(); }

struct Bed {
    fs::path dir;
    Bed() {
        std::string pattern = (fs::temp_directory_path() / "quorvel-bench-XXXXXX").string();
        dir = ::mkdtemp(pattern.data());
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    }
    ~Bed() { fs::remove_all(dir); }
    fs::path times() const { return dir / "times"; }
    std::vector<std::pair<double, double>> readTimes() const {
        std::vector<std::pair<double, double>> out;
        std::ifstream in(times());
        for (double w, c; in >> w >> c;) out.emplace_back(w, c);
        fs::remove(times());
        return out;
    }
};

std::vector<std::string> chips(int n, const std::string& extra = "") {
    std::vector<std::string> options{QUORVEL_EMULATE, "--no-report"};
    for (int i = 1; i <= n; ++i) options.insert(options.end(), {"--usb", "port=" + std::to_string(i) + extra});
    options.push_back("--");
    return options;
}

void report(benchmark::State& state, double wall, double cliWall, double cliCpu, double totalCpu) {
    state.counters["cli_wall_s"] = cliWall;
    state.counters["cli_cpu_s"] = cliCpu;
    state.counters["emulator_cpu_s"] = totalCpu - cliCpu;
    state.counters["emulator_share"] = (totalCpu - cliCpu) / wall;
}

void List16(benchmark::State& state) {
    Bed bed;
    for (auto _ : state) {
        auto args = chips(16);
        args.insert(args.end(), {self(), "--timed", bed.times().string(), QUORVEL_CLI, "--list"});
        const Run run = spawnAndWait(args);
        const auto times = bed.readTimes();
        if (run.status != 0 || times.size() != 1) state.SkipWithError("--list failed");
        state.SetIterationTime(times.empty() ? run.wall : times[0].first);
        report(state, run.wall, times.empty() ? 0 : times[0].first, times.empty() ? 0 : times[0].second, run.cpu);
        state.counters["whole_run_s"] = run.wall;
    }
}

void Upgrades(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    Bed bed;
    const std::string firmware = (bed.dir / "fw.bin").string();
    quorvel::emu::writeBytes(firmware, quorvel::emu::sampleFirmware(0xA3, 64, "ZK6221 Bench v1.00"));
    for (auto _ : state) {
        auto args = chips(n, ",product=0x6221");
        std::string script;
        for (int i = 1; i <= n; ++i)
            script += "\"$0\" --timed '" + bed.times().string() + "' '" + QUORVEL_CLI + "' --device 1-" +
                      std::to_string(i) + " -f '" + firmware + "' & ";
        script += "wait";
        args.insert(args.end(), {"/bin/sh", "-c", script, self()});
        const auto start = Clock::now();
        const Run run = spawnAndWait(args);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const auto times = bed.readTimes();
        double cliWall = 0, cliCpu = 0;
        for (const auto& [w, c] : times) {
            cliWall = std::max(cliWall, w);
            cliCpu += c;
        }
        if (run.status != 0 || static_cast<int>(times.size()) != n) state.SkipWithError("an upgrade failed");
        state.SetIterationTime(cliWall);
        report(state, wall, cliWall, cliCpu, run.cpu);
    }
}

BENCHMARK(List16)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Upgrades)->Arg(1)->Arg(3)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--timed") == 0) return timedChild(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
