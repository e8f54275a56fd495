// The main queue on Qt's event loop: the round trip of one task from another
// thread to the GUI thread and back, and how many tasks per second eight
// threads get through it. Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"
#include "ui/QuorvexApplication.h"

namespace {

using platform::DispatchQueue;

// A worker posts to the main queue when asked; the GUI thread spins its
// event loop until the task ran there.
void BM_MainQueueRoundTrip(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable asked;
    bool request = false, quit = false;
    std::atomic<bool> arrived{false};
    std::thread worker([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            asked.wait(lock, [&] { return request || quit; });
            if (quit) return;
            request = false;
            DispatchQueue::main()->async([&] { arrived.store(true, std::memory_order_release); });
        }
    });
    for (auto _ : state) {
        arrived.store(false);
        {
            std::lock_guard lock(mutex);
            request = true;
        }
        asked.notify_one();
        while (!arrived.load(std::memory_order_acquire))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    {
        std::lock_guard lock(mutex);
        quit = true;
    }
    asked.notify_one();
    worker.join();
}
BENCHMARK(BM_MainQueueRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_MainQueueTasksFromEightThreads(benchmark::State& state) {
    constexpr int kThreads = 8, kPerThread = 10000;
    for (auto _ : state) {
        std::atomic<int> done{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < kPerThread; ++i)
                    DispatchQueue::main()->async(
                        [&] { done.fetch_add(1, std::memory_order_relaxed); });
            });
        while (done.load(std::memory_order_relaxed) < kThreads * kPerThread)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        for (auto& thread : threads) thread.join();
    }
    state.SetItemsProcessed(state.iterations() * kThreads * kPerThread);
}
BENCHMARK(BM_MainQueueTasksFromEightThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QuorvexApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
