#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <future>

#include "engine/runtime/serial_deadline_queue.h"
#include "engine/runtime/thread_naming.h"
#include "platform/linux/system/thread_naming.h"

namespace clavio::platform {
namespace {

TEST(ThreadNaming, ShortNamesFitTheKernelLimit) {
    EXPECT_EQ(shortThreadName("com.nomari.clavio.classify"), "classify");
    EXPECT_EQ(shortThreadName("com.nomari.clavio.keyboard-capture"), "keyboard-captur");
    EXPECT_EQ(shortThreadName("plain"), "plain");
    EXPECT_EQ(shortThreadName("trailing."), "trailing.");
    // "é" is two bytes: a cut between them drops the whole character.
    EXPECT_EQ(shortThreadName("x.abcdefghijklmné"), "abcdefghijklmn");
    EXPECT_EQ(shortThreadName("x.abcdefghijklmé"), "abcdefghijklmé");
}

TEST(ThreadNaming, TheClassifyWorkerCarriesItsShortName) {
    installThreadNaming();
    std::promise<std::string> name;
    {
        SerialDeadlineQueue queue;
        ASSERT_TRUE(queue.submit([&] {
            char buffer[32] = {};
            pthread_getname_np(pthread_self(), buffer, sizeof buffer);
            name.set_value(buffer);
        }));
        ASSERT_TRUE(queue.waitUntilIdle(std::chrono::seconds(5)));
    }
    setThreadNamer(nullptr);
    EXPECT_EQ(name.get_future().get(), "classify");
}

} // namespace
} // namespace clavio::platform
