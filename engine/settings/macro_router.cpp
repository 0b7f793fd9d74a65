#include "engine/settings/macro_router.h"

#include "engine/core/log.h"

namespace clavio {

std::uint64_t MacroRouter::mappingKey(std::uint16_t keyCode, VelocityTier tier) noexcept {
    return (std::uint64_t(keyCode) & 0xFFFF) << 8 |
           (static_cast<std::uint64_t>(rawValue(tier)) & 0xFF);
}

void MacroRouter::setMapping(std::uint16_t keyCode, VelocityTier tier, MacroAction action) {
    std::lock_guard lock(_lock);
    _mappings.insert_or_assign(mappingKey(keyCode, tier), std::move(action));
}

void MacroRouter::loadMappings(const std::vector<MacroMapping>& mappings) {
    std::lock_guard lock(_lock);
    _mappings.clear();
    for (const auto& m : mappings) {
        _mappings.insert_or_assign(mappingKey(m.keyCode, m.tier), m.action);
    }
}

std::optional<MacroAction> MacroRouter::route(std::uint16_t keyCode, VelocityTier tier) const {
    if (!isEnabled()) {
        return std::nullopt;
    }
    std::lock_guard lock(_lock);
    if (_mappings.empty()) {
        return std::nullopt;
    }
    auto it = _mappings.find(mappingKey(keyCode, tier));
    if (it == _mappings.end()) {
        return std::nullopt;
    }
    return it->second;
}

void MacroRouter::execute(const MacroAction& action) const {
    switch (action.kind) {
    case MacroAction::Kind::none:
        return;
    case MacroAction::Kind::log:
        logLine("[Clavio Macro] " + action.argument);
        return;
    case MacroAction::Kind::openURL:
        if (_opener && isOpenableAddress(action.argument)) {
            _opener->open(action.argument);
        }
        return;
    case MacroAction::Kind::shellCommand:
        logLine("[Clavio Macro] Shell commands not yet enabled");
        return;
    }
}

} // namespace clavio
