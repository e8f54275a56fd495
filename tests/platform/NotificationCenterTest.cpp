#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"

using namespace std::chrono_literals;
using platform::Notification;
using platform::NotificationCenter;

TEST(NotificationCenter, DeliversByNameAndObjectWithUserInfo) {
    NotificationCenter center;
    auto sender = std::make_shared<int>(1);
    auto other = std::make_shared<int>(2);
    std::vector<std::string> seen;
    center.addObserver(
        "A", [&](const Notification& n) { seen.push_back("A:" + n.userInfo["k"].stringValue()); });
    center.addObserver(
        "A", [&](const Notification&) { seen.push_back("A from sender"); }, sender.get());
    center.addObserver("", [&](const Notification& n) { seen.push_back("any:" + n.name); });
    center.post("A", sender, platform::Value(platform::Dictionary{{"k", "v"}}));
    center.post("A", other);
    center.post("B");
    EXPECT_EQ(seen,
              (std::vector<std::string>{"A:v", "A from sender", "any:A", "A:", "any:A", "any:B"}));
}

TEST(NotificationCenter, RemovalStopsDeliveryEvenFromInsideACallback) {
    NotificationCenter center;
    int first = 0, second = 0;
    NotificationCenter::Token secondToken = 0;
    center.addObserver("N", [&](const Notification&) {
        ++first;
        center.removeObserver(secondToken);  // the later observer must not be called
    });
    secondToken = center.addObserver("N", [&](const Notification&) { ++second; });
    center.post("N");
    center.post("N");
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 0);
}

TEST(NotificationCenter, MainQueuePostingAndQueuedObservers) {
    NotificationCenter center;
    std::thread::id deliveredOn;
    center.addObserver("M", [&](const Notification&) { deliveredOn = std::this_thread::get_id(); });
    std::thread([&] { center.postOnMainQueue({"M", nullptr, {}}); }).join();
    EXPECT_EQ(deliveredOn, std::thread::id());
    platform::MainRunLoop::shared().drain();
    EXPECT_EQ(deliveredOn, std::this_thread::get_id());

    // An observer with a queue is called through it, whoever posts.
    auto queue = platform::DispatchQueue::createSerial("test.observer");
    std::atomic<bool> onQueue{false};
    center.addObserver(
        "Q", [&](const Notification&) { onQueue = queue->isCurrent(); }, nullptr, queue);
    center.post("Q");
    queue->sync([] {});
    EXPECT_TRUE(onQueue);
}

TEST(NotificationCenter, ConcurrentPostingAndObserving) {
    NotificationCenter center;
    std::atomic<int> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                auto token = center.addObserver("C", [&](const Notification&) { calls++; });
                center.post("C");
                center.removeObserver(token);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_GE(calls.load(), 2000);  // each post reaches at least its own observer
}
