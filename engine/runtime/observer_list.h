// A small observer mechanism for the observable records (the pack catalogue,
// the settings): subscribe with a callback, get a token, unsubscribe with it.
//
// Threading: subscribe, unsubscribe and notify may be called from any thread.
// The list is guarded by its own lock, which is not held while callbacks run,
// so a callback may subscribe or unsubscribe (it then still receives the
// notification in progress). Callbacks run on the notifying thread; the
// owners notify on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace clavio {

using ObserverToken = std::uint64_t;

template <class Change> class ObserverList {
public:
    using Callback = std::function<void(const Change&)>;

    ObserverToken subscribe(Callback callback) {
        std::lock_guard lock(_mutex);
        const ObserverToken token = ++_lastToken;
        _observers.emplace_back(token, std::move(callback));
        return token;
    }

    // Unknown or already removed tokens are ignored.
    void unsubscribe(ObserverToken token) {
        std::lock_guard lock(_mutex);
        std::erase_if(_observers, [token](const auto& o) { return o.first == token; });
    }

    void notify(const Change& change) const {
        std::vector<std::pair<ObserverToken, Callback>> snapshot;
        {
            std::lock_guard lock(_mutex);
            if (_observers.empty()) {
                return;
            }
            snapshot = _observers;
        }
        for (const auto& [token, callback] : snapshot) {
            callback(change);
        }
    }

private:
    mutable std::mutex _mutex;
    ObserverToken _lastToken = 0;
    std::vector<std::pair<ObserverToken, Callback>> _observers;
};

} // namespace clavio
