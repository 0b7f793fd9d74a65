// The main queue on the Qt event loop: posted tasks become queued calls on
// the GUI thread, repeating timers are QTimers there, so the coordinator's
// timers, its posted work and every write of an observable property run on
// the same thread as the widgets.
//
// Threading: post() and isMainThread() from any thread (post goes through
// QCoreApplication::postEvent, which is thread-safe). scheduleRepeating()
// and the returned handles belong to the GUI thread. The queue must be made
// on the GUI thread and outlive every object that posts to it; tasks still
// pending when it goes are dropped without running (Qt discards the queued
// calls of a deleted receiver).
#pragma once

#include <QObject>

#include <cstdint>
#include <thread>

#include "engine/ports/main_queue.h"

namespace clavio {

class QtMainQueue final : public QObject, public MainQueue {
    Q_OBJECT
public:
    explicit QtMainQueue(QObject* parent = nullptr);
    ~QtMainQueue() override;

    void post(std::function<void()> task) override;
    TimerHandle scheduleRepeating(std::chrono::nanoseconds interval,
                                  std::function<void()> tick) override;
    bool isMainThread() const noexcept override;

    // GUI thread. Timers whose handle is still valid.
    int activeTimerCount() const;

    // QTimer counts whole milliseconds in an int: shorter intervals run
    // every millisecond, longer ones (about 24.8 days) at that bound.
    static int timerMilliseconds(std::chrono::nanoseconds interval) noexcept;

private:
    const std::thread::id _mainThread;
};

} // namespace clavio
