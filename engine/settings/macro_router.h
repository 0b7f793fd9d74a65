// Holds the macro bindings (an action per key code and velocity tier),
// answers which action belongs to a key press and performs actions.
//
// Threading: the bindings are guarded by one lock; setMapping and
// loadMappings may come from any thread. route() and execute() run on the
// classify queue. isEnabled is an atomic flag, read without the lock so a
// disabled router costs one load per key press. execute() holds no lock
// while it logs or starts the address handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "engine/ports/url_opener.h"
#include "engine/settings/macro_action.h"

namespace clavio {

class MacroRouter {
public:
    // Empty and disabled. `opener` opens addresses for openURL actions; with
    // none they do nothing. It must outlive the router.
    explicit MacroRouter(UrlOpener* opener = nullptr) : _opener(opener) {}

    // (keyCode & 0xFFFF) << 8 | (tier & 0xFF): key code 36 at slam is 9220.
    static std::uint64_t mappingKey(std::uint16_t keyCode, VelocityTier tier) noexcept;

    bool isEnabled() const noexcept { return _isEnabled.load(std::memory_order_acquire); }
    void setEnabled(bool enabled) noexcept { _isEnabled.store(enabled, std::memory_order_release); }

    // Replaces any action bound to that key code and tier (none included).
    void setMapping(std::uint16_t keyCode, VelocityTier tier, MacroAction action);
    // Replaces every binding; a later mapping for one key and tier wins.
    void loadMappings(const std::vector<MacroMapping>& mappings);

    // The bound action, or nothing when disabled or unbound.
    std::optional<MacroAction> route(std::uint16_t keyCode, VelocityTier tier) const;

    // log: "[Clavio Macro] <message>"; openURL: the address goes to the
    // opener when isOpenableAddress() accepts it, silently ignored otherwise;
    // shellCommand: logs "[Clavio Macro] Shell commands not yet enabled" and
    // runs nothing; none: nothing.
    void execute(const MacroAction& action) const;

private:
    UrlOpener* _opener;
    mutable std::mutex _lock; // guards _mappings
    std::unordered_map<std::uint64_t, MacroAction> _mappings;
    std::atomic<bool> _isEnabled{false};
};

} // namespace clavio
