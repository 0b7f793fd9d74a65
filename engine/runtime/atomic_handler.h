// A handler slot that one thread replaces while another calls it, for the
// callbacks of the key tap, the sensor status and the fronts' listeners.
//
// Threading contract:
// - set() and get() from any thread that may lock and allocate (not a
//   real-time thread). Setters are serialised by an internal lock.
// - call() and current() from any thread, real-time ones included: one
//   acquire load, then the call. No lock, no allocation.
// - A replaced handler is kept until the slot is destroyed, because a caller
//   may still be running it. Handlers are replaced a handful of times in a
//   process's life (each costs one retained std::function).
//   Rejected: std::atomic<std::shared_ptr>, whose libstdc++ implementation
//   spins on a lock bit and may free the old handler on the calling thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace clavio {

template <typename Signature> class AtomicHandler;

template <typename... Args> class AtomicHandler<void(Args...)> {
public:
    using Function = std::function<void(Args...)>;

    AtomicHandler() = default;
    AtomicHandler(const AtomicHandler&) = delete;
    AtomicHandler& operator=(const AtomicHandler&) = delete;

    // Not real-time. An empty function clears the slot.
    void set(Function f) {
        std::lock_guard lock(_lock);
        const Function* published = nullptr;
        if (f) {
            _owned.push_back(std::make_unique<Function>(std::move(f)));
            published = _owned.back().get();
        }
        _current.store(published, std::memory_order_release);
    }

    // Not real-time (copies the function). Empty when the slot is clear.
    Function get() const {
        const Function* f = _current.load(std::memory_order_acquire);
        return f ? *f : Function{};
    }

    // Any thread. The handler in place now, or null; valid while the slot lives.
    const Function* current() const noexcept { return _current.load(std::memory_order_acquire); }

    // Any thread. Calls the handler in place now; false when there is none.
    bool call(Args... args) const {
        const Function* f = current();
        if (f == nullptr) {
            return false;
        }
        (*f)(args...);
        return true;
    }

private:
    std::atomic<const Function*> _current{nullptr};
    std::mutex _lock;
    std::vector<std::unique_ptr<Function>> _owned;
};

} // namespace clavio
