// A 200 MB block from the heap and from a mapped temporary file: taking it,
// writing every page once and giving it back.
#include <benchmark/benchmark.h>

#include <cstring>

#include "engine/FileBackedFactoryNSData.h"

namespace {

constexpr uint64_t kBlock = uint64_t(200) << 20;

void run(benchmark::State& state, bool fileBacked) {
    const bool touch = state.range(0) != 0;
    for (auto _ : state) {
        auto data = FileBackedFactoryNSData::initWithSize(kBlock, fileBacked);
        if (!data) {
            state.SkipWithError("allocation failed");
            return;
        }
        if (touch) std::memset(data->mutableBytes(), 0x5A, kBlock);
        benchmark::DoNotOptimize(data->mutableBytes());
        data.reset();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kBlock));
}

void BM_HeapBlock200MB(benchmark::State& state) { run(state, false); }
void BM_FileBackedBlock200MB(benchmark::State& state) { run(state, true); }

BENCHMARK(BM_HeapBlock200MB)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("touch")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_FileBackedBlock200MB)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("touch")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
