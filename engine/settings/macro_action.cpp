#include "engine/settings/macro_action.h"

#include <array>

#include "engine/core/json_support.h"

namespace clavio {

using nlohmann::json;
namespace js = json_support;

namespace {
constexpr std::array<std::string_view, 4> kKindNames = {"none", "log", "openURL", "shellCommand"};
}

std::string_view name(MacroAction::Kind kind) noexcept {
    return kKindNames[static_cast<size_t>(kind)];
}

json toJson(const MacroAction& action) {
    json payload = json::object();
    if (action.kind != MacroAction::Kind::none) {
        payload["_0"] = action.argument;
    }
    return json{{std::string(name(action.kind)), std::move(payload)}};
}

json toJson(const MacroMapping& mapping) {
    return json{{"keyCode", mapping.keyCode},
                {"tier", rawValue(mapping.tier)},
                {"action", toJson(mapping.action)}};
}

json toJson(const std::vector<MacroMapping>& mappings) {
    json array = json::array();
    for (const auto& m : mappings) {
        array.push_back(toJson(m));
    }
    return array;
}

DecodeResult<MacroAction> decodeMacroAction(const json& value, const std::string& path) {
    if (!value.is_object()) {
        return js::typeMismatch(path, "an object", value);
    }
    if (value.size() != 1) {
        return DecodeError{path, "Invalid number of keys found, expected one."};
    }
    const auto only = value.begin();
    const std::string& key = only.key();
    const json& payload = only.value();
    const std::string payloadPath = js::member(path, key);
    MacroAction action;
    bool known = false;
    for (size_t i = 0; i < kKindNames.size(); ++i) {
        if (key == kKindNames[i]) {
            action.kind = static_cast<MacroAction::Kind>(i);
            known = true;
        }
    }
    if (!known) {
        // Quoted as JSON: a key may hold a line break or a NUL, which must
        // not split or cut the one-line error.
        return DecodeError{path, "unknown action " + js::shortDump(json(key)) +
                                     " (expected none, log, openURL or shellCommand)"};
    }
    if (!payload.is_object()) {
        return js::typeMismatch(payloadPath, "an object", payload);
    }
    if (action.kind == MacroAction::Kind::none) {
        return action;
    }
    auto argument = payload.find("_0");
    if (argument == payload.end()) {
        return DecodeError{js::member(payloadPath, "_0"), "required member is missing"};
    }
    if (!argument->is_string()) {
        return js::typeMismatch(js::member(payloadPath, "_0"), "a string", *argument);
    }
    action.argument = argument->get<std::string>();
    return action;
}

DecodeResult<MacroMapping> decodeMacroMapping(const json& value, const std::string& path) {
    if (!value.is_object()) {
        return js::typeMismatch(path, "an object", value);
    }
    MacroMapping mapping;
    for (const char* key : {"keyCode", "tier", "action"}) {
        if (!value.contains(key)) {
            return DecodeError{js::member(path, key), "required member is missing"};
        }
    }
    const json& keyCode = value["keyCode"];
    auto code = js::wholeNumber(keyCode, 0, 0xFFFF);
    if (!code) {
        return DecodeError{js::member(path, "keyCode"),
                           "expected a key code 0..65535, found " + js::shortDump(keyCode)};
    }
    mapping.keyCode = static_cast<std::uint16_t>(*code);
    const json& tierValue = value["tier"];
    auto raw = js::wholeNumber(tierValue, 0, 4);
    if (!raw) {
        return DecodeError{js::member(path, "tier"),
                           "expected a tier 0..4, found " + js::shortDump(tierValue)};
    }
    mapping.tier = *velocityTierFromRaw(*raw);
    auto action = decodeMacroAction(value["action"], js::member(path, "action"));
    if (!action) {
        return action.error();
    }
    mapping.action = std::move(action).value();
    return mapping;
}

DecodeResult<std::vector<MacroMapping>> decodeMacroMappings(std::string_view text) {
    auto parsed = js::parse(text);
    if (!parsed) {
        return parsed.error();
    }
    const json& root = parsed.value();
    if (!root.is_array()) {
        return js::typeMismatch("$", "an array of mappings", root);
    }
    std::vector<MacroMapping> mappings;
    for (size_t i = 0; i < root.size(); ++i) {
        auto mapping = decodeMacroMapping(root[i], js::element("$", i));
        if (!mapping) {
            return mapping.error();
        }
        mappings.push_back(std::move(mapping).value());
    }
    return mappings;
}

} // namespace clavio
