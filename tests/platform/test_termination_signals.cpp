#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>

#include "engine/runtime/run_loop.h"
#include "engine/runtime/termination_center.h"
#include "platform/linux/desktop/termination_signals.h"
#include "tests/support/test_support.h"

namespace clavio::platform {
namespace {

using namespace std::chrono_literals;

std::atomic<int> gPreviousHandlerCalls{0};
void previousHandler(int) {
    ++gPreviousHandlerCalls;
}

TEST(TerminationSignals, SigtermDeliversTheQuitObserversOnTheMainQueueOnce) {
    RunLoop loop;
    TerminationCenter center(loop);
    int calls = 0;
    bool onMain = false;
    center.addQuitObserver([&] {
        ++calls;
        onMain = loop.isMainThread();
        loop.quit();
    });
    testing::LogCapture log;
    TerminationSignals signals(center);
    ASSERT_TRUE(signals.active());
    ::raise(SIGTERM);
    EXPECT_TRUE(loop.runUntil([&] { return calls > 0; }, 5s));
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(onMain);
    EXPECT_EQ(log.count("[Clavio] Received SIGTERM; quitting"), 1u);
}

TEST(TerminationSignals, OneInstanceAtATimeAndThePreviousHandlerComesBack) {
    gPreviousHandlerCalls = 0;
    struct sigaction previous {};
    previous.sa_handler = &previousHandler;
    sigemptyset(&previous.sa_mask);
    struct sigaction saved {};
    ASSERT_EQ(::sigaction(SIGINT, &previous, &saved), 0);

    RunLoop loop;
    TerminationCenter center(loop);
    int calls = 0;
    center.addQuitObserver([&] { ++calls; });
    {
        TerminationSignals first(center);
        testing::LogCapture log;
        TerminationSignals second(center);
        EXPECT_TRUE(first.active());
        EXPECT_FALSE(second.active());
        EXPECT_EQ(log.count("already handled elsewhere"), 1u);
        ::raise(SIGINT);
        EXPECT_TRUE(loop.runUntil([&] { return calls > 0; }, 5s));
    }
    EXPECT_EQ(gPreviousHandlerCalls, 0);
    ::raise(SIGINT); // the test's own handler again, not the process-ending default
    EXPECT_EQ(gPreviousHandlerCalls, 1);
    ::sigaction(SIGINT, &saved, nullptr);

    // A fresh instance after the first one works again.
    RunLoop loop2;
    TerminationCenter center2(loop2);
    int calls2 = 0;
    center2.addQuitObserver([&] { ++calls2; });
    TerminationSignals again(center2);
    EXPECT_TRUE(again.active());
    ::raise(SIGTERM);
    EXPECT_TRUE(loop2.runUntil([&] { return calls2 > 0; }, 5s));
    EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace clavio::platform
