// The primary usage of a HID report descriptor: the usage page and usage of
// its first top-level collection, which is how sensor services identify the
// accelerometer (usage page 0xFF00, usage 3).
//
// Threading: pure function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace clavio::platform {

struct HidUsage {
    std::uint32_t page = 0;
    std::uint32_t usage = 0;
    friend bool operator==(const HidUsage&, const HidUsage&) = default;
};

// None for a descriptor that is truncated or has no top-level collection
// with a usage.
std::optional<HidUsage> parsePrimaryUsage(const std::uint8_t* data, std::size_t size) noexcept;

} // namespace clavio::platform
