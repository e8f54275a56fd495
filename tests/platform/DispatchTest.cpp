#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/Locks.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using platform::DispatchGroup;
using platform::DispatchQueue;
using platform::QueuePriority;

TEST(Dispatch, SerialQueueRunsInOrderOneAtATime) {
    auto queue = DispatchQueue::createSerial("test.serial");
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    DispatchGroup group;
    for (int i = 0; i < 2000; ++i) {
        group.async(queue, [&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    group.wait();
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 2000u);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(order[i], i);
}

TEST(Dispatch, GlobalQueuesRunInParallelAtEveryPriority) {
    for (auto p : {QueuePriority::High, QueuePriority::Default, QueuePriority::Low,
                   QueuePriority::Background}) {
        auto queue = DispatchQueue::global(p);
        EXPECT_EQ(queue, DispatchQueue::global(p));
        EXPECT_EQ(queue->kind(), DispatchQueue::Kind::Concurrent);
        // Two tasks that each wait for the other only finish if they overlap.
        std::atomic<int> arrived{0}, met{0};
        DispatchGroup group;
        for (int i = 0; i < 2; ++i) {
            group.async(queue, [&] {
                arrived.fetch_add(1);
                auto deadline = std::chrono::steady_clock::now() + 5s;
                while (arrived.load() < 2 && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::yield();
                if (arrived.load() == 2) met++;
            });
        }
        group.wait();
        EXPECT_EQ(met.load(), 2);
    }
}

TEST(Dispatch, FreeThreadsTakeHigherPriorityWorkFirst) {
    // Keep every pool thread busy (spinning, so the pool does not add threads)
    // while work of two priorities queues up, lowest priority first.
    std::atomic<bool> release{false};
    DispatchGroup spinners;
    for (unsigned i = 0; i < platform::processorCount() * 2; ++i) {
        spinners.async(DispatchQueue::global(), [&] {
            auto deadline = std::chrono::steady_clock::now() + 10s;
            while (!release && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
        });
    }
    std::this_thread::sleep_for(20ms);
    std::atomic<int> sequence{0};
    std::vector<int> background(100), high(100);
    DispatchGroup work;
    for (int i = 0; i < 100; ++i)
        work.async(DispatchQueue::global(QueuePriority::Background),
                   [&, i] { background[i] = sequence++; });
    for (int i = 0; i < 100; ++i)
        work.async(DispatchQueue::global(QueuePriority::High), [&, i] { high[i] = sequence++; });
    release = true;
    ASSERT_TRUE(work.waitFor(30s));
    spinners.wait();
    std::sort(background.begin(), background.end());
    std::sort(high.begin(), high.end());
    EXPECT_LT(high[50], background[50]);
}

TEST(Dispatch, SyncReturnsAfterTheTaskAndKnowsItsQueue) {
    auto queue = DispatchQueue::createSerial("test.sync");
    std::atomic<bool> first{false};
    queue->async([&] {
        std::this_thread::sleep_for(20ms);
        first = true;
    });
    bool seenFirst = false, wasCurrent = false;
    queue->sync([&] {
        seenFirst = first;
        wasCurrent = queue->isCurrent();
        // A nested sync on the same queue runs at once instead of deadlocking.
        queue->sync([&] { wasCurrent = wasCurrent && queue->isCurrent(); });
    });
    EXPECT_TRUE(seenFirst);
    EXPECT_TRUE(wasCurrent);
    EXPECT_FALSE(queue->isCurrent());
}

TEST(Dispatch, AThrowingTaskDoesNotStopTheQueue) {
    auto queue = DispatchQueue::createSerial("test.throw");
    queue->async([] { throw std::runtime_error("boom"); });
    bool ran = false;
    queue->sync([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(Dispatch, GroupWaitForTimesOutAndNotifyFiresOnce) {
    DispatchGroup group;
    group.enter();
    EXPECT_FALSE(group.waitFor(20ms));
    std::atomic<int> notified{0};
    auto queue = DispatchQueue::global();
    group.notify(queue, [&] { notified++; });
    EXPECT_EQ(notified.load(), 0);
    group.leave();
    EXPECT_TRUE(group.waitFor(1s));
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (notified.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(notified.load(), 1);
    group.leave();  // unbalanced: ignored, count stays at zero
    EXPECT_TRUE(group.waitFor(0ms));
}

TEST(Dispatch, AsyncAfterWaitsAtLeastTheDelay) {
    auto queue = DispatchQueue::createSerial("test.after");
    DispatchGroup group;
    group.enter();
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point ranAt;
    std::vector<int> order;
    queue->asyncAfter(60ms, [&] {
        order.push_back(2);
        ranAt = std::chrono::steady_clock::now();
        group.leave();
    });
    queue->asyncAfter(10ms, [&] { order.push_back(1); });
    ASSERT_TRUE(group.waitFor(5s));
    EXPECT_GE(ranAt - start, 60ms);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

// Trims are scheduled from destructors: a thread the system refuses must not
// throw there, and the delayed task still runs once threads can start again.
TEST(Dispatch, AsyncAfterWithoutRoomForAThreadThrowsNothingAndLosesNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::atomic<int> ran{0};
            auto queue = DispatchQueue::global(QueuePriority::Default);
            {
                testsupport::AddressSpaceLimit noRoomForAStack(2 << 20);
                queue->asyncAfter(1ms, [&] { ++ran; });
            }
            queue->asyncAfter(1ms, [&] { ++ran; });
            for (int i = 0; i < 500 && ran < 2; ++i) std::this_thread::sleep_for(10ms);
            std::_Exit(ran == 2 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// With no pool thread and none that can be started, a synchronous dispatch
// fails rather than waits for ever (the alarm ends a hang).
TEST(Dispatch, SyncWithoutRoomForAThreadFailsInsteadOfWaiting) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::alarm(10);
            auto queue = DispatchQueue::createSerial("test.nothread");
            bool ran = false;
            bool threw = false;
            testsupport::AddressSpaceLimit noRoomForAStack(2 << 20);
            try {
                queue->sync([&] { ran = true; });
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            std::_Exit(ran != threw ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Dispatch, ApplyRunsEveryIterationOnceOnSeveralThreads) {
    const size_t n = 1000;
    std::vector<std::atomic<int>> hits(n);
    std::mutex mutex;
    std::set<std::thread::id> threads;
    platform::apply(n, DispatchQueue::global(), [&](size_t i) {
        hits[i].fetch_add(1);
        std::this_thread::sleep_for(50us);
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
    });
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
    if (platform::processorCount() > 1) {
        EXPECT_GT(threads.size(), 1u);
    }
    // On a serial queue the iterations run in order.
    std::vector<size_t> order;
    platform::apply(5, DispatchQueue::createSerial("test.apply"),
                    [&](size_t i) { order.push_back(i); });
    EXPECT_EQ(order, (std::vector<size_t>{0, 1, 2, 3, 4}));
}

// Every task fans out and waits for its children inside the pool; with a
// fixed number of threads this deadlocks.
TEST(Dispatch, NestedFanOutWithWaitsFinishes) {
    auto queue = DispatchQueue::global();
    std::atomic<int> leaves{0};
    DispatchGroup outer;
    const int kOuter = 10000, kInner = 4;
    for (int i = 0; i < kOuter; ++i) {
        outer.async(queue, [&] {
            DispatchGroup inner;
            for (int j = 0; j < kInner; ++j) inner.async(queue, [&] { leaves.fetch_add(1); });
            inner.wait();
        });
    }
    ASSERT_TRUE(outer.waitFor(120s));
    EXPECT_EQ(leaves.load(), kOuter * kInner);
}

// Tasks that block on something only a later task provides must still get
// threads: a fixed pool of processorCount() threads would hang here.
TEST(Dispatch, BlockedTasksDoNotStarveThePool) {
    const int blockers = static_cast<int>(platform::processorCount()) * 3;
    auto queue = DispatchQueue::global();
    platform::Mutex gate;
    gate.lock();
    DispatchGroup group;
    std::atomic<int> through{0};
    for (int i = 0; i < blockers; ++i) {
        group.async(queue, [&] {
            std::lock_guard lock(gate);
            through++;
        });
    }
    DispatchGroup released;
    released.async(queue, [] {});
    ASSERT_TRUE(released.waitFor(10s));
    gate.unlock();
    ASSERT_TRUE(group.waitFor(30s));
    EXPECT_EQ(through.load(), blockers);

    // A semaphore made of a group: later tasks release earlier waiters.
    DispatchGroup pending;
    pending.enter();
    DispatchGroup waiters;
    for (int i = 0; i < blockers; ++i) waiters.async(queue, [&] { pending.wait(); });
    queue->asyncAfter(10ms, [&] { pending.leave(); });
    EXPECT_TRUE(waiters.waitFor(30s));
}

TEST(Dispatch, MainQueueRunsOnTheThreadThatDrivesIt) {
    auto& loop = platform::MainRunLoop::shared();
    auto main = DispatchQueue::main();
    std::atomic<int> wakes{0};
    loop.setWakeHook([&] { wakes++; });
    std::thread::id ranOn;
    bool current = false;
    std::thread poster([&] {
        main->async([&] {
            ranOn = std::this_thread::get_id();
            current = main->isCurrent();
        });
    });
    poster.join();
    EXPECT_GE(wakes.load(), 1);
    EXPECT_EQ(loop.drain(), 1u);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(current);
    EXPECT_FALSE(main->isCurrent());
    loop.setWakeHook(nullptr);

    // sync from another thread waits for the loop; run() returns on stop().
    int value = 0;
    std::thread worker([&] {
        main->sync([&] { value = 42; });
        main->async([&] { loop.stop(); });
    });
    loop.run();
    worker.join();
    EXPECT_EQ(value, 42);

    std::atomic<bool> flag{false};
    DispatchQueue::global()->asyncAfter(20ms, [&] { main->async([&] { flag = true; }); });
    EXPECT_TRUE(loop.runUntil([&] { return flag.load(); }, 5s));
    EXPECT_FALSE(loop.runUntil([] { return false; }, 20ms));
    EXPECT_TRUE(platform::isMainThread());
}

// A waiting task may run its own children on its thread, but never unrelated
// work: that would let the unrelated task re-enter locks the waiter holds.
TEST(Dispatch, WaitingRunsOnlyTheWaitersOwnChildren) {
    auto serial = DispatchQueue::createSerial("test.frames");
    auto global = DispatchQueue::global();
    std::atomic<std::thread::id> holder{};
    std::atomic<bool> violation{false};
    std::atomic<int> unrelatedRan{0}, childrenRan{0};
    const int kUnrelated = 400;
    DispatchGroup all;
    // The first serial task leaves plenty of work behind on its thread...
    all.async(serial, [&] {
        for (int i = 0; i < kUnrelated; ++i) {
            all.async(global, [&] {
                if (holder.load() == std::this_thread::get_id()) violation = true;
                std::this_thread::sleep_for(50us);
                unrelatedRan++;
            });
        }
    });
    // ...the next one, on the same thread, waits for a child of its own and for
    // something that only time brings.
    all.async(serial, [&] {
        holder = std::this_thread::get_id();
        DispatchGroup mine;
        mine.async(global, [&] { childrenRan++; });
        mine.enter();
        global->asyncAfter(5ms, [mine]() mutable { mine.leave(); });
        mine.wait();
        holder = std::thread::id();
    });
    ASSERT_TRUE(all.waitFor(60s));
    EXPECT_FALSE(violation);
    EXPECT_EQ(unrelatedRan.load(), kUnrelated);
    EXPECT_EQ(childrenRan.load(), 1);
}
