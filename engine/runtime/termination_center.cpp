#include "engine/runtime/termination_center.h"

#include <exception>
#include <string>

#include "engine/core/log.h"

namespace clavio {

TerminationCenter::TerminationCenter(MainQueue& mainQueue)
    : _mainQueue(mainQueue), _observers(std::make_shared<Observers>()) {}

void TerminationCenter::addQuitObserver(std::function<void()> observer) {
    if (!observer) {
        return;
    }
    std::lock_guard lock(_observers->mutex);
    _observers->list.push_back(std::move(observer));
}

void TerminationCenter::notifyTermination() {
    if (_announced.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    if (_mainQueue.isMainThread()) {
        deliver(*_observers);
    } else {
        _mainQueue.post([weak = std::weak_ptr<Observers>(_observers)] {
            if (auto observers = weak.lock()) {
                deliver(*observers);
            }
        });
    }
}

void TerminationCenter::deliver(Observers& observers) {
    std::vector<std::function<void()>> list;
    {
        std::lock_guard lock(observers.mutex);
        list = observers.list;
    }
    for (const auto& observer : list) {
        try {
            observer();
        } catch (const std::exception& e) {
            logLine(std::string("[Clavio] Quit observer failed: ") + e.what());
        } catch (...) {
            logLine("[Clavio] Quit observer failed with an unknown exception");
        }
    }
}

} // namespace clavio
