// The lock shared by every process of the user: what a wait tells the person
// and how a person's choice not to wait holds.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileLock.h"
#include "platform/UserWarning.h"
#include "support/ShortLockWait.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using platform::FileLock;

// The person chose not to wait: a lock that comes after that, however soon,
// is let go, so what they chose to drop is not written.
TEST(FileLock, ALockThatComesOnceThePersonStoppedWaitingIsLetGo) {
    testsupport::ScratchDir dir;
    const fs::path file = dir.path() / ".settings.lock";
    const std::atomic<bool> stop{true};
    for (const auto mode : {FileLock::Mode::Exclusive, FileLock::Mode::Shared}) {
        const FileLock::StopWhen stopped(stop);
        const FileLock lock(file, mode);
        EXPECT_FALSE(lock.held());
        EXPECT_TRUE(lock.timedOut());
    }
    // It was free all along: taken at once without the stop.
    const FileLock lock(file, FileLock::Mode::Exclusive);
    EXPECT_TRUE(lock.held());
}

// The word that a change's wait ran out stays while its holder keeps the
// lock, and goes by itself once that holder is gone. A watch on the thread
// hears the notice, then the word, before the person does.
TEST(FileLock, TheWordThatAWaitRanOutGoesWithItsHolder) {
    const testsupport::ShortLockWait shortWait;
    testsupport::ScratchDir dir;
    const fs::path file = dir.path() / ".settings.lock";
    const int holder = testsupport::spawnLockHolder(file, 60'000, "sleep", dir.path() / "ready");
    ASSERT_GT(holder, 0);
    std::mutex mutex;
    std::vector<std::string> told, withdrawn, watched;
    const auto previous = platform::setUserWarningHandler([&](const std::string& text) {
        std::lock_guard lock(mutex);
        told.push_back(text);
    });
    platform::setWithdrawnWarningHandler([&](const std::string& text) {
        std::lock_guard lock(mutex);
        withdrawn.push_back(text);
    });
    {
        const FileLock::NoticeWatch watch([&](const std::string& notice, bool ranOut) {
            std::lock_guard lock(mutex);
            watched.push_back((ranOut ? "ran out: " : "waits: ") + notice);
            EXPECT_EQ(std::count(told.begin(), told.end(), notice), 0) << "told before the watch";
        });
        const FileLock lock(file, FileLock::Mode::Exclusive);
        EXPECT_FALSE(lock.held());
        EXPECT_TRUE(lock.timedOut());
    }
    const auto withdrawnHas = [&](const std::string& text) {
        std::lock_guard lock(mutex);
        return std::count(withdrawn.begin(), withdrawn.end(), text) > 0;
    };
    std::string ranOut;
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(watched.size(), 2u);
        EXPECT_EQ(watched[0], "waits: " + told.at(0));
        EXPECT_EQ(watched[1], "ran out: " + told.at(1));
        EXPECT_NE(told[1].find("has done nothing"), std::string::npos) << told[1];
        ranOut = told[1];
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_FALSE(withdrawnHas(ranOut)) << "withdrawn while its holder still keeps the lock";
    ::kill(holder, SIGKILL);
    testsupport::waitForHelper(holder);
    const auto start = std::chrono::steady_clock::now();
    while (!withdrawnHas(ranOut) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(withdrawnHas(ranOut));
    platform::setUserWarningHandler(previous);
    platform::setWithdrawnWarningHandler(nullptr);
}
