// Helpers for the JSON formats: reading required members of an object with
// strict type checks, and writing single-precision values as the shortest
// decimal that reads back to the same float (0.01f is written 0.01, not
// 0.009999999776482582).
//
// Threading: pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace clavio {

// The JSON number for a float: the shortest decimal that reads back to the
// same float. Non-finite values have no JSON form and become null, which
// every decoder rejects with the member's name.
nlohmann::json jsonFromFloat(float value);

// Each reader looks up `key` in `object` (which must be a JSON object) and
// stores the value in `out`. It returns nothing on success or a one-line
// error naming the key: missing, wrong type, or out of range. `out` is only
// written on success.
std::optional<std::string> readRequiredDouble(const nlohmann::json& object, std::string_view key,
                                              double& out);
// A JSON number that fits a 32-bit float (finite after conversion).
std::optional<std::string> readRequiredFloat(const nlohmann::json& object, std::string_view key,
                                             float& out);
std::optional<std::string> readRequiredBool(const nlohmann::json& object, std::string_view key,
                                            bool& out);

} // namespace clavio
