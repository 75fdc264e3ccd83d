// The firmware version search over a whole image. Run twice, with the
// regular-expression JIT on and off (QT_ENABLE_REGEXP_JIT=0).
#include <benchmark/benchmark.h>

#include <string>

#include "model/FileAccess.h"

using quorvel::FileAccess;

namespace {

// An ordinary image: binary filler (dropped as non-ASCII) with short ASCII
// runs and line breaks, the version text near the end.
std::string ordinary(size_t size) {
    std::string text;
    text.reserve(size);
    for (size_t i = 0; text.size() < size; ++i) {
        text += "\x12\x34\x7F data block ";
        text += static_cast<char>('0' + i % 10);
        text += (i % 7 == 0) ? "\n" : "";
    }
    text.resize(size - 32);
    text += "ZK6121 V2.05 build 7";
    text.push_back('\0');
    text.resize(size, ' ');
    return text;
}

// The worst case for a backtracking search: one long line full of
// candidates whose only NUL lies beyond a line break.
std::string adversarial(size_t size) {
    std::string text;
    text.reserve(size);
    while (text.size() + 8 < size) text += "ZK1234 ";
    text += "\n";
    text.push_back('\0');
    text.resize(size, ' ');
    return text;
}

void versionSearch(benchmark::State& state, std::string (*make)(size_t)) {
    const std::string text = make(static_cast<size_t>(state.range(0)));
    const FileAccess files;
    for (auto _ : state) benchmark::DoNotOptimize(files.GetFwVersion(text));
    state.SetBytesProcessed(state.iterations() * state.range(0));
    state.SetComplexityN(state.range(0));
}

// The plain engine on the first pattern, for contrast with the linear search.
void plainEngine(benchmark::State& state) {
    const std::string text = adversarial(static_cast<size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(FileAccess::Matches(R"(ZK\d{4}.*[\x{00}])", text));
    state.SetComplexityN(state.range(0));
}

}  // namespace

BENCHMARK_CAPTURE(versionSearch, ordinary, ordinary)->Arg(128 << 10)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(versionSearch, adversarial, adversarial)
    ->RangeMultiplier(2)
    ->Range(16 << 10, 256 << 10)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(plainEngine)->RangeMultiplier(2)->Range(4 << 10, 32 << 10)->Complexity()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
