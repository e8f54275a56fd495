// Throughput of the dispatch layer: small tasks through the global concurrent
// queue and through a serial queue, apply across processors, and a nested
// fan-out whose tasks wait for their children inside the pool.
#include "platform/Dispatch.h"

#include <benchmark/benchmark.h>

#include <atomic>

namespace {

constexpr int kTasks = 100000;

void BM_ConcurrentQueueTasks(benchmark::State& state) {
    auto queue = platform::DispatchQueue::global();
    std::atomic<long> sink{0};
    for (auto _ : state) {
        platform::DispatchGroup group;
        for (int i = 0; i < kTasks; ++i)
            group.async(queue, [&sink] { sink.fetch_add(1, std::memory_order_relaxed); });
        group.wait();
    }
    state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(BM_ConcurrentQueueTasks)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SerialQueueTasks(benchmark::State& state) {
    auto queue = platform::DispatchQueue::createSerial("bench.serial");
    long sink = 0;
    for (auto _ : state) {
        platform::DispatchGroup group;
        for (int i = 0; i < kTasks; ++i) group.async(queue, [&sink] { ++sink; });
        group.wait();
    }
    benchmark::DoNotOptimize(sink);
    state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(BM_SerialQueueTasks)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ApplyPerProcessor(benchmark::State& state) {
    auto queue = platform::DispatchQueue::global();
    const size_t n = platform::processorCount();
    std::atomic<long> sink{0};
    for (auto _ : state) platform::apply(n, queue, [&](size_t i) { sink += long(i); });
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ApplyPerProcessor)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_NestedFanOut10000(benchmark::State& state) {
    auto queue = platform::DispatchQueue::global();
    std::atomic<long> leaves{0};
    for (auto _ : state) {
        platform::DispatchGroup outer;
        for (int i = 0; i < 10000; ++i) {
            outer.async(queue, [&] {
                platform::DispatchGroup inner;
                for (int j = 0; j < 4; ++j) inner.async(queue, [&] { leaves++; });
                inner.wait();
            });
        }
        outer.wait();
    }
    state.SetItemsProcessed(state.iterations() * 50000);
}
BENCHMARK(BM_NestedFanOut10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
