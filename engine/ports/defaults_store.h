// The per-user defaults store: a few small values that are not settings (the
// anonymous installation identifier, the launch counter).
//
// Threading: any thread; implementations lock internally. Writes persist
// before the setter returns (or log why they could not).
// Implementation: JsonDefaultsStore.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace clavio {

class DefaultsStore {
public:
    virtual ~DefaultsStore() = default;

    // No value when the key is absent or holds something other than a string.
    virtual std::optional<std::string> stringForKey(std::string_view key) const = 0;
    virtual void setString(std::string_view key, std::string value) = 0;

    // 0 when the key is absent or holds something other than an integer.
    virtual std::int64_t integerForKey(std::string_view key) const = 0;
    virtual void setInteger(std::string_view key, std::int64_t value) = 0;
};

} // namespace clavio
