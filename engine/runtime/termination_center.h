// The engine's TerminationNotifier: keeps the quit observers and delivers
// them on a main queue.
//
// Threading: as TerminationNotifier. The observer list has its own lock,
// which is never held while an observer runs. A delivery posted to the main
// queue holds the list weakly, so the center may go before the queue runs it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/ports/main_queue.h"
#include "engine/ports/termination.h"

namespace clavio {

class TerminationCenter final : public TerminationNotifier {
public:
    // `mainQueue` must outlive the center.
    explicit TerminationCenter(MainQueue& mainQueue);

    void addQuitObserver(std::function<void()> observer) override;
    void notifyTermination() override;

    // Any thread. Whether termination has been announced.
    bool terminating() const noexcept { return _announced.load(std::memory_order_acquire); }

private:
    struct Observers {
        std::mutex mutex;
        std::vector<std::function<void()>> list;
    };
    static void deliver(Observers& observers);

    MainQueue& _mainQueue;
    std::shared_ptr<Observers> _observers;
    std::atomic<bool> _announced{false};
};

} // namespace clavio
