#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <thread>
#include <vector>

#include "UiTestHome.h"
#include "platform/Dispatch.h"
#include "ui/MainQueueWaker.h"

namespace {

using platform::DispatchQueue;

TEST(MainQueue, TasksFromManyThreadsRunOnTheGuiThreadInOrder) {
    ASSERT_TRUE(platform::MainQueueWaker::installed());
    constexpr int kThreads = 8, kPerThread = 1250;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> offThread{0}, done{0};
    QThread* gui = QCoreApplication::instance()->thread();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                DispatchQueue::main()->async([&, t, i] {
                    if (QThread::currentThread() != gui || !platform::isMainThread()) ++offThread;
                    seen[size_t(t)].push_back(i);
                    ++done;
                });
            }
        });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(uitest::spinUntil([&] { return done.load() == kThreads * kPerThread; }));
    EXPECT_EQ(offThread.load(), 0);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[size_t(t)].size(), size_t(kPerThread));
        for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[size_t(t)][size_t(i)], i);
    }
}

TEST(MainQueue, ANestedEventLoopNeverReentersTheDrain) {
    int depth = 0, maxDepth = 0, ran = 0;
    auto task = [&] {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        ++ran;
        --depth;
    };
    bool nestedFinished = false;
    DispatchQueue::main()->async([&] {
        ++depth;
        // A task that (wrongly) spins a nested loop while more tasks arrive.
        DispatchQueue::main()->async(task);
        std::thread([&] { DispatchQueue::main()->async(task); }).join();
        QEventLoop nested;
        QTimer::singleShot(50, &nested, &QEventLoop::quit);
        nested.exec();
        nestedFinished = true;
        --depth;
    });
    ASSERT_TRUE(uitest::spinUntil([&] { return ran == 2; }));
    EXPECT_TRUE(nestedFinished);
    EXPECT_EQ(maxDepth, 1);  // the two tasks ran after the nested loop, not inside it
}

TEST(MainQueue, TasksQueuedWhileUninstalledRunOnceReinstalled) {
    platform::MainQueueWaker::uninstall();
    EXPECT_FALSE(platform::MainQueueWaker::installed());
    bool ran = false;
    DispatchQueue::main()->async([&] { ran = true; });
    uitest::settle();
    EXPECT_FALSE(ran);  // no hook: nothing drains the queue
    platform::MainQueueWaker::install();
    ASSERT_TRUE(uitest::spinUntil([&] { return ran; }));
}

TEST(MainQueue, AfterDelayRunsOnTheGuiThread) {
    bool ran = false;
    DispatchQueue::main()->asyncAfter(std::chrono::milliseconds(20),
                                      [&] { ran = platform::isMainThread(); });
    EXPECT_TRUE(uitest::spinUntil([&] { return ran; }));
}

}  // namespace
