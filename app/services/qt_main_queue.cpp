#include "app/services/qt_main_queue.h"

#include <QMetaObject>
#include <QTimer>

#include <exception>
#include <limits>
#include <memory>
#include <string>

#include "engine/core/log.h"
#include "engine/runtime/guarded_task.h"

namespace clavio {

namespace {

// An exception must not unwind through Qt's event dispatch (Qt does not
// support it and the application would end): tasks run through runGuardedTask.

// The QTimer behind one handle. It checks the handle's flag before each
// tick, so invalidation from inside a tick (or from anywhere on the GUI
// thread) stops it for good, and it deletes itself once it finds the flag
// cleared.
class RepeatingTimer final : public QTimer {
public:
    RepeatingTimer(QObject* parent, std::shared_ptr<detail::TimerControl> control,
                   std::function<void()> tick)
        : QTimer(parent), _control(std::move(control)), _tick(std::move(tick)) {
        connect(this, &QTimer::timeout, this, &RepeatingTimer::fire);
    }

    bool valid() const { return _control->valid.load(std::memory_order_acquire); }

private:
    void fire() {
        if (!valid()) {
            stop();
            deleteLater();
            return;
        }
        runGuardedTask(_tick, "Main queue");
        if (!valid()) {
            stop();
            deleteLater();
        }
    }

    std::shared_ptr<detail::TimerControl> _control;
    std::function<void()> _tick;
};

} // namespace

QtMainQueue::QtMainQueue(QObject* parent)
    : QObject(parent), _mainThread(std::this_thread::get_id()) {
    setObjectName(QStringLiteral("clavioMainQueue"));
}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(std::function<void()> task) {
    if (!task) {
        return;
    }
    // Queued calls to one receiver are delivered in the order they were
    // posted, from whichever threads, which is the order the port promises.
    QMetaObject::invokeMethod(
        this, [task = std::move(task)] { runGuardedTask(task, "Main queue"); },
        Qt::QueuedConnection);
}

int QtMainQueue::timerMilliseconds(std::chrono::nanoseconds interval) noexcept {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(interval + nanoseconds(999'999));
    if (ms.count() < 1) {
        return 1;
    }
    if (ms.count() > std::numeric_limits<int>::max()) {
        return std::numeric_limits<int>::max();
    }
    return static_cast<int>(ms.count());
}

TimerHandle QtMainQueue::scheduleRepeating(std::chrono::nanoseconds interval,
                                           std::function<void()> tick) {
    if (interval.count() <= 0 || !tick) {
        logLine("[Clavio] Repeating timer refused: its interval must be positive");
        return TimerHandle();
    }
    auto control = std::make_shared<detail::TimerControl>();
    auto* timer = new RepeatingTimer(this, control, std::move(tick));
    const int ms = timerMilliseconds(interval);
    // Short timers (the 50 ms display tick) keep their cadence closely; the
    // long ones may be coalesced with other wake-ups to save power. A late
    // tick is never repeated for the intervals it missed: QTimer fires once.
    timer->setTimerType(ms < 1000 ? Qt::PreciseTimer : Qt::CoarseTimer);
    timer->start(ms);
    return TimerHandle(std::move(control));
}

bool QtMainQueue::isMainThread() const noexcept {
    return std::this_thread::get_id() == _mainThread;
}

int QtMainQueue::activeTimerCount() const {
    int n = 0;
    for (const QObject* child : children()) {
        if (const auto* timer = dynamic_cast<const RepeatingTimer*>(child)) {
            n += timer->valid() ? 1 : 0;
        }
    }
    return n;
}

} // namespace clavio
