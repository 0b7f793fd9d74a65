#include <gtest/gtest.h>

#include <thread>

#include "engine/runtime/observer_list.h"

using namespace clavio;

TEST(ObserverList, CallbacksMayUnsubscribeAndSubscribeWhileBeingNotified) {
    ObserverList<int> list;
    std::vector<std::string> calls;
    ObserverToken second = 0;
    const ObserverToken first = list.subscribe([&](int v) {
        calls.push_back("first " + std::to_string(v));
        list.unsubscribe(second); // takes effect from the next notification
        list.subscribe([&](int w) { calls.push_back("late " + std::to_string(w)); });
    });
    second = list.subscribe([&](int v) { calls.push_back("second " + std::to_string(v)); });
    list.notify(1);
    list.unsubscribe(first);
    list.unsubscribe(first); // unknown tokens are ignored
    list.notify(2);
    EXPECT_EQ(calls, (std::vector<std::string>{"first 1", "second 1", "late 2"}));
    EXPECT_NE(first, second);
}

TEST(ObserverList, SubscribersMayComeAndGoFromOtherThreadsUnderThreadSanitizer) {
    ObserverList<int> list;
    std::atomic<int> heard{0};
    std::thread churn([&] {
        for (int i = 0; i < 2000; ++i) {
            list.unsubscribe(list.subscribe([&](int) { heard.fetch_add(1); }));
        }
    });
    const auto stay = list.subscribe([&](int) { heard.fetch_add(1); });
    for (int i = 0; i < 2000; ++i) {
        list.notify(i);
    }
    churn.join();
    list.unsubscribe(stay);
    EXPECT_GE(heard.load(), 2000);
}
