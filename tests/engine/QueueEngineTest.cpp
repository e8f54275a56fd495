#include <gtest/gtest.h>
#include <sched.h>

#include <set>
#include <thread>
#include <vector>

#include "engine/MonitoredMutableDictionary.h"
#include "engine/QueueEngine.h"
#include "engine/TracingMutex.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

TEST(QueueEngine, SingletonAndItsQueues) {
    std::set<QueueEngine*> seen;
    std::mutex m;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            auto* p = &QueueEngine::sharedQueueEngine();
            std::lock_guard lock(m);
            seen.insert(p);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(seen.size(), 1u);

    auto& engine = QueueEngine::sharedQueueEngine();
    EXPECT_EQ(engine.sharedQueue(), platform::DispatchQueue::global());
    auto slow = engine.slowSerialQueue();
    EXPECT_EQ(slow, engine.slowSerialQueue());
    EXPECT_EQ(slow->kind(), platform::DispatchQueue::Kind::Serial);
    const std::string& label = slow->label();
    const std::string tail = ".tovrelink.quorvex.slowSerialQueue";
    ASSERT_GT(label.size(), tail.size());
    EXPECT_EQ(label.substr(label.size() - tail.size()), tail);
}

TEST(QueueEngine, OptimalNumberOfTasksIsTheUsableProcessorCount) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(QueueEngine::sharedQueueEngine().optimalNumberOfTasks(),
              static_cast<uint64_t>(CPU_COUNT(&set)));
}

TEST(TracingMutex, LogsAroundTheLock) {
    platform::LogCapture log;
    TracingMutex lock;
    lock.lock();
    EXPECT_FALSE(lock.tryLock());
    lock.unlock();
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"-[TracingMutex lock]", "-[TracingMutex unlock]"}));
}

TEST(MonitoredMutableDictionary, NotifyingChangesPostTheirRecordedNames) {
    auto& center = platform::NotificationCenter::defaultCenter();
    MonitoredMutableDictionary dict;
    auto owner = std::make_shared<int>(5);
    std::vector<std::string> posted;
    size_t countSeen = 0;
    auto token = center.addObserver("Test_DictChanged", [&](const platform::Notification& n) {
        posted.push_back(n.name);
        EXPECT_EQ(n.object, owner);
        countSeen = dict.count();  // observers may read the dictionary
    });
    dict.addObserver(owner, "Test_DictChanged");
    dict.setObject(1, "a");
    dict.setValue("x", "b");
    EXPECT_EQ(posted.size(), 2u);
    EXPECT_EQ(countSeen, 2u);
    dict.setObjectNoNotify(2, "c");
    dict.setValueNoNotify(3, "d");
    dict.removeObjectForKey("d");
    EXPECT_EQ(posted.size(), 2u);
    dict.addEntriesFromDictionary(platform::Dictionary{{"e", 1}, {"f", 2}});
    EXPECT_EQ(posted.size(), 4u);           // one post per entry
    dict.setValue(platform::Value(), "e");  // null removes
    EXPECT_TRUE(dict.objectForKey("e").isNull());
    dict.removeObserver("Test_DictChanged");
    dict.setObject(9, "g");
    EXPECT_EQ(posted.size(), 5u);
    center.removeObserver(token);

    EXPECT_EQ(dict.keyEnumerator(), (std::vector<std::string>{"a", "b", "c", "f", "g"}));
    auto copy = dict.copy();
    copy.set("h", 1);
    EXPECT_EQ(dict.count(), 5u);
    EXPECT_EQ(dict.valueForKey("b").stringValue(), "x");
}

TEST(MonitoredMutableDictionary, DescriptionIndentsFourBlanksPerLevel) {
    MonitoredMutableDictionary dict;
    dict.setObjectNoNotify(1, "n");
    dict.setObjectNoNotify("text", "s");
    EXPECT_EQ(dict.descriptionWithLocale(nullptr, 0), "{\n    n = 1;\n    s = text;\n}\n");
    EXPECT_EQ(dict.descriptionWithLocale(nullptr, 1),
              "    {\n        n = 1;\n        s = text;\n    }\n");
}
