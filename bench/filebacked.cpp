// A 200 MB block from the heap and from a mapped temporary file: taking it,
// writing every page once and giving it back. And the same block as fresh
// pages from the kernel each time against a block the pool recycles (what a
// develop saves for each buffer that reuses a released one).
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <chrono>
#include <cstring>

#include "engine/FileBackedFactoryNSData.h"
#include "platform/LargeBlockPool.h"

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

void BM_FreshPages200MB(benchmark::State& state) {
    for (auto _ : state) {
        void* p =
            ::mmap(nullptr, kBlock, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            state.SkipWithError("mmap failed");
            return;
        }
        std::memset(p, 0x5A, kBlock);
        benchmark::DoNotOptimize(p);
        ::munmap(p, kBlock);
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kBlock));
}

// Zeroed on reuse, as an image buffer asks.
void BM_PooledPages200MB(benchmark::State& state) {
    platform::LargeBlockPool pool(kBlock, std::chrono::hours(1));
    for (auto _ : state) {
        void* p = pool.allocate(kBlock, true);
        if (!p) {
            state.SkipWithError("allocation failed");
            return;
        }
        std::memset(p, 0x5A, kBlock);
        benchmark::DoNotOptimize(p);
        pool.release(p, kBlock);
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kBlock));
}

BENCHMARK(BM_FreshPages200MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PooledPages200MB)->Unit(benchmark::kMillisecond)->UseRealTime();
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
