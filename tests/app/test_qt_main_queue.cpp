// The main queue on the Qt event loop and the bridge from the engine's
// observers to Qt signals.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/settings/tocca_settings.h"
#include "app/services/coordinator_bridge.h"
#include "tests/app/coordinator_fixture.h"
#include "app/services/qt_main_queue.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

class QtMainQueueTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void postsFromAnyThreadRunOnTheGuiThreadInOrder() {
        QtMainQueue queue;
        QVERIFY(queue.isMainThread());
        std::vector<int> order;
        std::atomic<int> offMain{0};
        std::atomic<bool> workerSawMain{true};
        queue.post([&] { order.push_back(0); });
        std::thread worker([&] {
            workerSawMain = queue.isMainThread();
            for (int i = 1; i <= 100; ++i) {
                queue.post([&, i] {
                    offMain += queue.isMainThread() ? 0 : 1;
                    order.push_back(i);
                });
            }
        });
        worker.join();
        QVERIFY(!workerSawMain);
        QVERIFY(order.empty()); // nothing runs before the loop turns
        QTRY_COMPARE(order.size(), std::size_t(101));
        for (int i = 0; i <= 100; ++i) {
            QCOMPARE(order[std::size_t(i)], i);
        }
        QCOMPARE(offMain.load(), 0);
    }

    void aThrowingTaskIsLoggedAndTheLoopGoesOn() {
        LogCapture log;
        QtMainQueue queue;
        bool after = false;
        queue.post([] { throw std::runtime_error("boom"); });
        queue.post([&] { after = true; });
        QTRY_VERIFY(after);
        QVERIFY(log.contains("[Clavio] Main queue task failed: boom"));
    }

    void repeatingTimersTickUntilTheirHandleGoes() {
        QtMainQueue queue;
        int ticks = 0;
        TimerHandle handle = queue.scheduleRepeating(10ms, [&] { ++ticks; });
        QVERIFY(handle.isValid());
        QCOMPARE(queue.activeTimerCount(), 1);
        QTRY_VERIFY(ticks >= 3);
        handle.invalidate();
        const int stopped = ticks;
        QTest::qWait(60);
        QCOMPARE(ticks, stopped);
        QTRY_COMPARE(queue.findChildren<QTimer*>().size(), qsizetype(0)); // deleted

        // Destroying the handle stops it as well.
        int other = 0;
        {
            TimerHandle scoped = queue.scheduleRepeating(5ms, [&] { ++other; });
        }
        QTest::qWait(40);
        QCOMPARE(other, 0);

        // A tick may end its own timer.
        int selfEnding = 0;
        TimerHandle own;
        own = queue.scheduleRepeating(5ms, [&] {
            ++selfEnding;
            own.invalidate();
        });
        QTest::qWait(60);
        QCOMPARE(selfEnding, 1);
        QCOMPARE(queue.activeTimerCount(), 0);
    }

    void timersKeepTheirCadence() {
        QtMainQueue queue;
        QElapsedTimer clock;
        std::vector<qint64> at;
        clock.start();
        TimerHandle handle = queue.scheduleRepeating(50ms, [&] { at.push_back(clock.elapsed()); });
        QTRY_VERIFY_WITH_TIMEOUT(at.size() >= 4, 3000);
        // The first tick one interval from now, not at once.
        QVERIFY2(at[0] >= 45, qPrintable(QString::number(at[0])));
    }

    void refusesIntervalsThatAreNotPositive() {
        LogCapture log;
        QtMainQueue queue;
        int ticks = 0;
        TimerHandle zero = queue.scheduleRepeating(0ns, [&] { ++ticks; });
        TimerHandle negative = queue.scheduleRepeating(-5ms, [&] { ++ticks; });
        QVERIFY(!zero.isValid());
        QVERIFY(!negative.isValid());
        QCOMPARE(log.count("Repeating timer refused"), std::size_t(2));
        QCOMPARE(queue.activeTimerCount(), 0);
        QTest::qWait(20);
        QCOMPARE(ticks, 0);

        QCOMPARE(QtMainQueue::timerMilliseconds(1ns), 1);
        QCOMPARE(QtMainQueue::timerMilliseconds(1500us), 2);
        QCOMPARE(QtMainQueue::timerMilliseconds(50ms), 50);
        QCOMPARE(QtMainQueue::timerMilliseconds(14400s), 14'400'000);
        QCOMPARE(QtMainQueue::timerMilliseconds(std::chrono::hours(24 * 365)),
                 std::numeric_limits<int>::max());
    }

    void bridgeEmitsOncePerChangedPropertyAfterTheChange() {
        CoordinatorFixture f;
        QSignalSpy settingsSpy(&f.bridge(), &CoordinatorBridge::settingsChanged);
        QSignalSpy coordinatorSpy(&f.bridge(), &CoordinatorBridge::coordinatorChanged);
        // The records notify before the new value is stored; the signal comes
        // later, when the slot can read the new value.
        float seen = -1;
        connect(&f.bridge(), &CoordinatorBridge::settingsChanged, this, [&](SettingsKey key) {
            if (key == SettingsKey::masterVolume) {
                seen = f.settings().masterVolume();
            }
        });
        f.settings().setMasterVolume(0.3f);
        f.settings().setMasterVolume(0.4f);
        f.settings().setMasterVolume(0.6f);
        f.settings().setPitchVariation(0.1f);
        QCOMPARE(settingsSpy.count(), 0);
        QTRY_COMPARE(settingsSpy.count(), 2);
        QCOMPARE(seen, 0.6f);
        QTest::qWait(20);
        QCOMPARE(settingsSpy.count(), 2);

        // The coordinator's published state too (start() ran on the first
        // turn, and the display tick writes 20 times a second).
        QTRY_VERIFY(f.coordinator().isRunning());
        QTRY_VERIFY(coordinatorSpy.count() > 0);
        bool running = false;
        for (const auto& args : coordinatorSpy) {
            running |= args[0].value<CoordinatorProperty>() == CoordinatorProperty::isRunning;
        }
        QVERIFY(running);
    }
};

QTEST_MAIN(QtMainQueueTest)
#include "test_qt_main_queue.moc"
