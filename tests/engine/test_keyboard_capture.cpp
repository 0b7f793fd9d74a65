// The capture thread and the keyboard front over the shared fakes: the
// offline key source with access that can be withdrawn, and a replayed
// trace for events. The evdev source is exercised against fake /dev/input
// trees in the platform suite.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/replay/replay_key_source.h"
#include "engine/replay/replay_timeline.h"
#include "tests/support/coordinator_rig.h"
#include "tests/support/fake_device_tree.h"

using namespace clavio;
using clavio::testing::waitFor;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<KeySource> replaying(const std::string& records) {
    std::optional<TraceError> error;
    auto timeline = ReplayTimeline::fromText(
        "{\"format\":\"clavio-trace\",\"version\":1}\n" + records, "keys", error);
    EXPECT_TRUE(timeline) << (error ? error->text() : "");
    return std::make_shared<ReplayKeySource>(timeline);
}

// A source whose tap delivers nothing for 50 ms, then reports that it can
// deliver no more.
class EndingSource final : public KeySource {
public:
    bool hasAccess() override { return true; }
    void requestAccess() override {}
    std::unique_ptr<KeyEventTap> createTap() override {
        struct Ended final : KeyEventTap {
            bool runSlice(double, TapEventCallback, void*) override {
                std::this_thread::sleep_for(50ms);
                return slices++ == 0;
            }
            int slices = 0;
            void interrupt() noexcept override {}
        };
        return std::make_unique<Ended>();
    }
};

} // namespace

TEST(KeyboardCapture, PermissionAndFailedTapFollowTheSource) {
    auto source = std::make_shared<clavio::testing::GatedKeySource>();
    auto manager = KeyboardCaptureManager::create(source);
    source->access = false;
    EXPECT_FALSE(manager->hasPermission());
    manager->requestPermission();
    EXPECT_EQ(source->requests, 1);
    clavio::testing::LogCapture log;
    EXPECT_FALSE(manager->start());
    EXPECT_EQ(log.count("[Clavio:Keyboard] Keyboard capture failed to start"), 1u);
    // A failed start leaves no thread behind: granting access and starting works.
    source->access = true;
    EXPECT_TRUE(manager->hasPermission());
    EXPECT_TRUE(manager->start());
    EXPECT_EQ(log.count("[Clavio:Keyboard] Keyboard capture started"), 1u);
}

TEST(KeyboardCapture, ATapThatEndedKeepsItsThreadRegisteredUntilStop) {
    TCAKeyboardCapture capture(std::make_shared<EndingSource>());
    ASSERT_TRUE(capture.start());
    ASSERT_TRUE(waitFor([&] { return !capture.isRunning(); }));
    EXPECT_FALSE(capture.start()) << "the earlier thread is still registered";
    capture.stop();
    EXPECT_TRUE(capture.start());
}

TEST(KeyboardCapture, FrontAddsKeyGroupsAndStopsWithoutWaitingOutTheSlice) {
    auto manager = KeyboardCaptureManager::create(
        replaying("{\"t\":0,\"key\":\"down\",\"code\":123,\"flags\":0,\"repeat\":false}\n"
                  "{\"t\":1,\"key\":\"down\",\"code\":420,\"flags\":0,\"repeat\":false}\n"
                  "{\"t\":2,\"key\":\"down\",\"code\":49,\"flags\":131072,\"repeat\":true}\n"),
        30.0);
    std::mutex m;
    std::vector<KeyEvent> seen;
    manager->setOnKeyDown([&](const KeyEvent& e) {
        std::lock_guard lock(m);
        seen.push_back(e);
    });
    ASSERT_TRUE(manager->start());
    ASSERT_TRUE(waitFor([&] {
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
    auto manager = KeyboardCaptureManager::create(
        replaying("{\"t\":0,\"key\":\"down\",\"code\":0,\"flags\":0,\"repeat\":false}\n"));
    std::shared_ptr<KeyboardCaptureManager> holder = manager;
    std::atomic<int> calls{0};
    manager->setOnKeyDown([&](const KeyEvent&) {
        holder.reset();
        ++calls; // after the reset, so the test sees it done
    });
    ASSERT_TRUE(manager->start());
    manager.reset();
    ASSERT_TRUE(waitFor([&] { return calls.load() == 1; }));
    // The front is gone; its thread was told to stop and ends by itself.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls.load(), 1);
}
