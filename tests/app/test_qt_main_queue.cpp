// The main queue on the Qt event loop and the bridge from the engine's
// observers to Qt signals.
#include <QSignalSpy>
#include <QtTest>

#include <stdexcept>
#include <thread>

#include "app/services/qt_main_queue.h"
#include "tests/app/coordinator_fixture.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

class QtMainQueueTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void postsFromAnyThreadRunOnTheGuiThreadInOrderAndSurviveAThrow() {
        LogCapture log;
        QtMainQueue queue;
        std::vector<int> order;
        std::atomic<int> offMain{0};
        queue.post([] { throw std::runtime_error("boom"); });
        std::thread worker([&] {
            offMain += queue.isMainThread() ? 0 : 1;
            for (int i = 0; i < 100; ++i) {
                queue.post([&, i] {
                    offMain += queue.isMainThread() ? 0 : 100;
                    order.push_back(i);
                });
            }
        });
        worker.join();
        QVERIFY(order.empty()); // nothing runs before the loop turns
        QTRY_COMPARE(order.size(), std::size_t(100));
        QVERIFY(std::is_sorted(order.begin(), order.end()));
        QCOMPARE(offMain.load(), 1); // the worker is off the main thread, no task is
        QVERIFY(log.contains("[Clavio] Main queue task failed: boom"));
    }

    void repeatingTimersTickFromOneIntervalOnUntilTheirHandleGoes() {
        QtMainQueue queue;
        QElapsedTimer clock;
        qint64 first = -1;
        int ticks = 0;
        clock.start();
        TimerHandle handle = queue.scheduleRepeating(50ms, [&] {
            first = first < 0 ? clock.elapsed() : first;
            ++ticks;
        });
        QTRY_VERIFY(ticks >= 2);
        QVERIFY2(first >= 45, qPrintable(QString::number(first))); // not at once
        handle.invalidate();
        const int stopped = ticks;
        QTest::qWait(120);
        QCOMPARE(ticks, stopped);
        QTRY_COMPARE(queue.findChildren<QTimer*>().size(), qsizetype(0)); // deleted

        int other = 0;
        { TimerHandle scoped = queue.scheduleRepeating(5ms, [&] { ++other; }); } // destroyed
        int selfEnding = 0;
        TimerHandle own;
        own = queue.scheduleRepeating(5ms, [&] { // a tick may end its own timer
            ++selfEnding;
            own.invalidate();
        });
        QTest::qWait(60);
        QCOMPARE(other, 0);
        QCOMPARE(selfEnding, 1);
        QCOMPARE(queue.activeTimerCount(), 0);
    }

    void refusesIntervalsThatAreNotPositiveAndRoundsUp() {
        LogCapture log;
        QtMainQueue queue;
        QVERIFY(!queue.scheduleRepeating(0ns, [] {}).isValid());
        QVERIFY(!queue.scheduleRepeating(-5ms, [] {}).isValid());
        QCOMPARE(log.count("Repeating timer refused"), std::size_t(2));
        QCOMPARE(queue.activeTimerCount(), 0);
        QCOMPARE(QtMainQueue::timerMilliseconds(1ns), 1);
        QCOMPARE(QtMainQueue::timerMilliseconds(1500us), 2);
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
            seen = key == SettingsKey::masterVolume ? f.settings().masterVolume() : seen;
        });
        for (float v : {0.3f, 0.4f, 0.6f}) {
            f.settings().setMasterVolume(v);
        }
        f.settings().setPitchVariation(0.1f);
        QCOMPARE(settingsSpy.count(), 0);
        QTRY_COMPARE(settingsSpy.count(), 2);
        QCOMPARE(seen, 0.6f);
        QTest::qWait(20);
        QCOMPARE(settingsSpy.count(), 2);
        // The coordinator's published state too (start() runs on the first turn).
        QTRY_VERIFY(std::any_of(coordinatorSpy.begin(), coordinatorSpy.end(), [](const auto& a) {
            return a[0].template value<CoordinatorProperty>() == CoordinatorProperty::isRunning;
        }));
    }
};

QTEST_MAIN(QtMainQueueTest)
#include "test_qt_main_queue.moc"
