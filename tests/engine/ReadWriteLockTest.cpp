#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/ReadWriteLock.h"

using namespace std::chrono_literals;

TEST(ReadWriteLock, TryVariantsFollowWhoHoldsTheLock) {
    auto lock = ReadWriteLock::init();
    ASSERT_TRUE(lock);
    lock->lockForRead();
    EXPECT_FALSE(lock->canWriteLock());
    bool otherReader = false;
    std::thread([&] {
        otherReader = lock->canReadLock();
        if (otherReader) lock->unlock();
    }).join();
    EXPECT_TRUE(otherReader);  // readers share
    lock->unlock();

    EXPECT_TRUE(lock->canWriteLock());  // free: acquired and held
    bool blocked = true;
    std::thread([&] { blocked = !lock->canReadLock() && !lock->canWriteLock(); }).join();
    EXPECT_TRUE(blocked);
    lock->unlock();
    EXPECT_TRUE(lock->canReadLock());
    lock->unlock();
}

TEST(ReadWriteLock, AWaitingWriterHoldsOffNewReaders) {
    ReadWriteLock lock;
    lock.lockForRead();
    std::atomic<bool> writerIn{false};
    std::thread writer([&] {
        lock.lockForWrite();
        writerIn = true;
        lock.unlock();
    });
    // On a busy machine the writer may take a while to queue up; once it
    // has, a new reader is refused.
    bool newReaderRefused = false;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!newReaderRefused && std::chrono::steady_clock::now() < deadline) {
        std::thread([&] {
            if (lock.canReadLock())
                lock.unlock();
            else
                newReaderRefused = true;
        }).join();
        if (!newReaderRefused) std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(writerIn);
    EXPECT_TRUE(newReaderRefused);
    lock.unlock();
    writer.join();
    EXPECT_TRUE(writerIn);
}

TEST(ReadWriteLock, WriterGetsInDespiteOverlappingReadersAndExcludesThem) {
    ReadWriteLock lock;
    std::atomic<bool> stop{false};
    std::atomic<int> readersInside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                lock.lockForRead();
                readersInside++;
                std::this_thread::sleep_for(200us);
                readersInside--;
                lock.unlock();
            }
        });
    }
    std::this_thread::sleep_for(10ms);
    for (int i = 0; i < 20; ++i) {
        lock.lockForWrite();
        if (readersInside.load() != 0) overlap = true;
        lock.unlock();
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_FALSE(overlap);
}
