// The lock shared by every process of the user: what a wait tells the person
// and how a person's choice not to wait holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "platform/FileLock.h"
#include "platform/UserWarning.h"
#include "support/ShortLockWait.h"
#include "support/TestSupport.h"

using platform::FileLock;

// The person chose not to wait: a lock that comes after that, however soon,
// is let go, so what they chose to drop is not written.
TEST(FileLock, ALockThatComesOnceThePersonStoppedWaitingIsLetGo) {
    testsupport::ScratchDir dir;
    const auto file = dir.path() / ".settings.lock";
    const std::atomic<bool> stop{true};
    for (const auto mode : {FileLock::Mode::Exclusive, FileLock::Mode::Shared}) {
        const FileLock::StopWhen stopped(stop);
        const FileLock lock(file, mode);
        EXPECT_FALSE(lock.held());
        EXPECT_TRUE(lock.timedOut());
    }
    EXPECT_TRUE(FileLock(file, FileLock::Mode::Exclusive).held());  // it was free
}

// The word that a change's wait ran out stays while its holder keeps the
// lock and goes by itself once the holder is gone, each time it is said. A
// watch on the thread hears the notice, then that word, each before the
// person does.
TEST(FileLock, TheWordThatAWaitRanOutGoesWithItsHolder) {
    const testsupport::ShortLockWait shortWait;
    testsupport::ScratchDir dir;
    const auto file = dir.path() / ".settings.lock";
    testsupport::LockHolder holder(file);
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
    const auto withdrawnHas = [&](const std::string& text) {
        std::lock_guard lock(mutex);
        return std::count(withdrawn.begin(), withdrawn.end(), text) > 0;
    };
    // A second word, said after the first went, goes as well.
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(holder.hold("sleep"));
        watched.clear();
        {
            const FileLock::NoticeWatch watch([&](const std::string& notice, bool ranOut) {
                std::lock_guard lock(mutex);
                EXPECT_EQ(std::count(told.begin(), told.end(), notice), 0)
                    << "told before the watch";
                watched.push_back(ranOut ? notice : "");
            });
            EXPECT_FALSE(FileLock(file, FileLock::Mode::Exclusive).held());
        }
        ASSERT_EQ(watched.size(), 2u);
        const std::string ranOut = watched[1];
        EXPECT_NE(ranOut.find("has done nothing"), std::string::npos) << ranOut;
        if (round == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(800));
            EXPECT_FALSE(withdrawnHas(ranOut)) << "withdrawn while its holder still keeps the lock";
        }
        holder.letGo();
        for (int i = 0; i < 250 && !withdrawnHas(ranOut); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(withdrawnHas(ranOut)) << "round " << round;
    }
    platform::setUserWarningHandler(previous);
    platform::setWithdrawnWarningHandler(nullptr);
}

// A wait behind a holder of this process names it by what it does, and
// waits with nothing of ours held: the holder's thread lets go meanwhile.
TEST(FileLock, AWaitBehindThisProgramNamesWhatItDoes) {
    testsupport::ScratchDir dir;
    const auto file = dir.path() / ".settings.lock";
    std::atomic<bool> release{false};
    std::atomic<bool> holding{false};
    std::thread holder([&] {
        const FileLock::Purpose purpose("save of the edits of \"a.dng\"");
        const FileLock lock(file, FileLock::Mode::Exclusive);
        holding = lock.held();
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    while (!holding) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::string notice;
    {
        const FileLock::NoticeWatch watch([&](const std::string& told, bool ranOut) {
            if (!ranOut) notice = told;
            release = true;
        });
        EXPECT_TRUE(FileLock(file, FileLock::Mode::Exclusive).held());
    }
    holder.join();
    EXPECT_NE(notice.find("Waiting for this program's own save of the edits of \"a.dng\""),
              std::string::npos)
        << notice;
}
