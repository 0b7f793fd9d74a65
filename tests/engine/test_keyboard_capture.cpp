// The capture thread and the keyboard front over an in-memory key source;
// the evdev source is exercised against fake /dev/input trees in the
// platform suite.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "engine/keyboard/keyboard_capture_manager.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace std::chrono_literals;

namespace {

// Delivers the events the test queues; `endAfterEvents` makes the tap report
// that it can deliver no more once its queue is empty.
class QueueTap final : public KeyEventTap {
public:
    bool runSlice(double seconds, TapEventCallback callback, void* context) override {
        std::unique_lock lock(_m);
        _cv.wait_for(lock, std::chrono::duration<double>(seconds),
                     [&] { return !_queue.empty() || _interrupted || _ended; });
        if (_interrupted) {
            _interrupted = false;
            return true;
        }
        while (!_queue.empty()) {
            const auto e = _queue.front();
            _queue.pop_front();
            lock.unlock();
            callback(context, e);
            lock.lock();
        }
        return !_ended;
    }
    void interrupt() noexcept override {
        std::lock_guard lock(_m);
        _interrupted = true;
        _cv.notify_all();
    }
    void push(TCATapEvent e) {
        std::lock_guard lock(_m);
        _queue.push_back(e);
        _cv.notify_all();
    }
    void end() {
        std::lock_guard lock(_m);
        _ended = true;
        _cv.notify_all();
    }

private:
    std::mutex _m;
    std::condition_variable _cv;
    std::deque<TCATapEvent> _queue;
    bool _interrupted = false;
    bool _ended = false;
};

class QueueSource final : public KeySource {
public:
    bool hasAccess() override { return access; }
    void requestAccess() override { ++requests; }
    std::unique_ptr<KeyEventTap> createTap() override {
        if (!access) {
            return nullptr;
        }
        auto tap = std::make_unique<QueueTap>();
        current = tap.get();
        return tap;
    }
    std::atomic<bool> access{true};
    std::atomic<int> requests{0};
    std::atomic<QueueTap*> current{nullptr};
};

bool waitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TCATapEvent keyDown(std::uint16_t code) {
    return {TCATapEventType::keyDown, code, 0, false};
}

} // namespace

TEST(KeyboardCapture, PermissionAndFailedTapFollowTheSource) {
    auto source = std::make_shared<QueueSource>();
    auto manager = KeyboardCaptureManager::create(source);
    source->access = false;
    EXPECT_FALSE(manager->hasPermission());
    manager->requestPermission();
    EXPECT_EQ(source->requests, 1);
    clavio::testing::LogCapture log;
    EXPECT_FALSE(manager->start());
    EXPECT_EQ(log.count("[Clavio:Keyboard] Failed to create event tap"), 1u);
    // A failed start leaves no thread behind: granting access and starting works.
    source->access = true;
    EXPECT_TRUE(manager->hasPermission());
    EXPECT_TRUE(manager->start());
    EXPECT_EQ(log.count("[Clavio:Keyboard] Event tap created and running"), 1u);
}

TEST(KeyboardCapture, ATapThatEndedKeepsItsThreadRegisteredUntilStop) {
    auto source = std::make_shared<QueueSource>();
    TCAKeyboardCapture capture(source);
    ASSERT_TRUE(capture.start());
    source->current.load()->end();
    ASSERT_TRUE(waitUntil([&] { return !capture.isRunning(); }));
    EXPECT_FALSE(capture.start()) << "the earlier thread is still registered";
    capture.stop();
    EXPECT_TRUE(capture.start());
}

TEST(KeyboardCapture, FrontAddsKeyGroupsAndStopsWithoutWaitingOutTheSlice) {
    auto source = std::make_shared<QueueSource>();
    auto manager = KeyboardCaptureManager::create(source, 30.0);

    std::mutex m;
    std::vector<KeyEvent> seen;
    manager->setOnKeyDown([&](const KeyEvent& e) {
        std::lock_guard lock(m);
        seen.push_back(e);
    });
    ASSERT_TRUE(manager->start());
    auto* tap = source->current.load();
    tap->push(keyDown(123));
    tap->push(keyDown(0x1A4));
    tap->push({TCATapEventType::keyDown, 49, 0x20000, true});
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(m);
        return seen.size() == 3;
    }));
    EXPECT_EQ(seen[0].keyGroup, KeyGroup::arrow);
    EXPECT_EQ(seen[1].keyGroup, KeyGroup::other);
    EXPECT_EQ(seen[2].keyGroup, KeyGroup::space);
    EXPECT_TRUE(seen[2].isRepeat);
    EXPECT_EQ(seen[2].modifiers, 0x20000u);

    const auto before = std::chrono::steady_clock::now();
    manager->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << "stop waited out the slice";
    EXPECT_FALSE(manager->isRunning());
}

TEST(KeyboardCapture, HandlerMayDropTheLastReferenceOnTheCaptureThread) {
    auto source = std::make_shared<QueueSource>();
    auto manager = KeyboardCaptureManager::create(source);
    std::shared_ptr<KeyboardCaptureManager> holder = manager;
    std::atomic<int> calls{0};
    manager->setOnKeyDown([&](const KeyEvent&) {
        holder.reset();
        ++calls; // after the reset, so the test sees it done
    });
    ASSERT_TRUE(manager->start());
    auto* tap = source->current.load();
    manager.reset();
    tap->push(keyDown(0));
    ASSERT_TRUE(waitUntil([&] { return calls.load() == 1; }));
    // The front is gone; its thread was told to stop and ends by itself.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls.load(), 1);
}
