// Internal helpers shared by the JSON decoders: parsing without exceptions
// escaping, JSON paths for error messages, and type names.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "engine/core/decode_result.h"

namespace clavio::json_support {

// Parses `text`. Invalid JSON (including bytes that are not UTF-8 inside a
// string) gives an error at path "$" with the parser's own description.
DecodeResult<nlohmann::json> parse(std::string_view text);

// "$.groups" + "alpha" -> "$.groups.alpha"; keys that are not plain
// identifiers are quoted: $.groups["my key"].
std::string member(const std::string& path, std::string_view key);
// "$.soft" + 2 -> "$.soft[2]"
std::string element(const std::string& path, size_t index);

// "a string", "a number", "an object", ... for error messages.
std::string_view typeName(const nlohmann::json& value);

DecodeError typeMismatch(const std::string& path, std::string_view expected,
                         const nlohmann::json& found);

// The value as JSON text for an error message, cut to about 60 characters;
// never throws (bytes that are not UTF-8 are replaced), and safe for values
// nested to any depth.
std::string shortDump(const nlohmann::json& value);

// Integer value of a JSON number that holds a whole number in [min, max];
// nothing otherwise.
std::optional<long long> wholeNumber(const nlohmann::json& value, long long min, long long max);

} // namespace clavio::json_support
