// Macro actions and their bindings to a key code and velocity tier, with
// their JSON form: an action is {"log":{"_0":"text"}} (one key, the case
// name; "none" holds an empty object), a mapping is
// {"keyCode":36,"tier":4,"action":{...}}.
//
// Plain values: copied freely between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/core/core_types.h"
#include "engine/core/decode_result.h"

namespace clavio {

struct MacroAction {
    enum class Kind { none, log, openURL, shellCommand };

    Kind kind = Kind::none;
    std::string argument; // the message, address or command; empty for none

    static MacroAction none() { return {}; }
    static MacroAction log(std::string message) { return {Kind::log, std::move(message)}; }
    static MacroAction openURL(std::string address) { return {Kind::openURL, std::move(address)}; }
    static MacroAction shellCommand(std::string command) {
        return {Kind::shellCommand, std::move(command)};
    }

    friend bool operator==(const MacroAction&, const MacroAction&) = default;
};

// "none", "log", "openURL", "shellCommand".
std::string_view name(MacroAction::Kind kind) noexcept;

struct MacroMapping {
    std::uint16_t keyCode = 0;
    VelocityTier tier = VelocityTier::silent;
    MacroAction action;

    friend bool operator==(const MacroMapping&, const MacroMapping&) = default;
};

nlohmann::json toJson(const MacroAction& action);
nlohmann::json toJson(const MacroMapping& mapping);
nlohmann::json toJson(const std::vector<MacroMapping>& mappings);

// An object with no key or several keys fails with the message
// "Invalid number of keys found, expected one."; an unknown case name, a
// missing "_0" or a value that is not a string fail too. `path` names the
// value in error messages.
DecodeResult<MacroAction> decodeMacroAction(const nlohmann::json& value,
                                            const std::string& path = "$");
// Every key is required; keyCode must be 0..65535 and tier 0..4.
DecodeResult<MacroMapping> decodeMacroMapping(const nlohmann::json& value,
                                              const std::string& path = "$");
// A JSON text holding an array of mappings.
DecodeResult<std::vector<MacroMapping>> decodeMacroMappings(std::string_view json);

} // namespace clavio
