#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/Locks.h"

TEST(Locks, TryLockReportsOwnershipAcrossThreads) {
    platform::Mutex mutex;
    platform::RecursiveMutex recursive;
    ASSERT_TRUE(mutex.tryLock());
    ASSERT_TRUE(recursive.tryLock());
    EXPECT_TRUE(recursive.tryLock());  // same thread may re-enter
    bool otherGot = true, otherGotRecursive = true;
    std::thread([&] {
        otherGot = mutex.tryLock();
        otherGotRecursive = recursive.tryLock();
    }).join();
    EXPECT_FALSE(otherGot);
    EXPECT_FALSE(otherGotRecursive);
    mutex.unlock();
    recursive.unlock();
    recursive.unlock();
    std::thread([&] {
        otherGot = mutex.tryLock();
        if (otherGot) mutex.unlock();
    }).join();
    EXPECT_TRUE(otherGot);
}

TEST(Locks, MutualExclusionOnPoolThreads) {
    platform::Mutex mutex;
    long counter = 0;
    platform::apply(64, platform::DispatchQueue::global(), [&](size_t) {
        for (int i = 0; i < 2000; ++i) {
            std::lock_guard lock(mutex);
            ++counter;
        }
    });
    EXPECT_EQ(counter, 64 * 2000);
}

namespace {

struct Counted {
    static std::atomic<int> made;
    Counted() { made++; }
};
std::atomic<int> Counted::made{0};

}  // namespace

TEST(Locks, LazySingletonIsMadeOnceUnderRaces) {
    static platform::LazySingleton<Counted> instance;
    std::vector<std::thread> threads;
    std::atomic<Counted*> first{nullptr};
    std::atomic<bool> differ{false};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            Counted* p = &instance.get([] { return new Counted; });
            Counted* expected = nullptr;
            if (!first.compare_exchange_strong(expected, p) && expected != p) differ = true;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(Counted::made.load(), 1);
    EXPECT_FALSE(differ);
}
