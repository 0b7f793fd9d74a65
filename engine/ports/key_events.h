// The records a key source delivers (TCATapEvent) and the key handlers
// receive (TCAKeyEvent). Plain values, trivially copyable: they cross from the
// capture thread to the classify queue by copy.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>

namespace clavio {

// The native record handed to the key handlers (no key group; the front adds it).
struct TCAKeyEvent {
    std::uint16_t keyCode = 0;
    std::uint32_t modifiers = 0;
    std::uint64_t timestamp = 0;
    bool isRepeat = false;

    friend bool operator==(const TCAKeyEvent&, const TCAKeyEvent&) = default;
};
static_assert(std::is_trivially_copyable_v<TCAKeyEvent>);

// Event types, numbered as the tap reports them.
enum class TCATapEventType : std::uint32_t {
    keyDown = 10,
    keyUp = 11,
    flagsChanged = 12,
    // The platform disabled the tap; re-enabling is the tap's own business
    // (an evdev tap resynchronises after SYN_DROPPED), the logic ignores these.
    tapDisabledByTimeout = 0xFFFFFFFE,
    tapDisabledByUserInput = 0xFFFFFFFF,
};

// One observed event as a tap delivers it: raw (unmasked) modifier flags.
struct TCATapEvent {
    constexpr TCATapEvent() noexcept = default;
    // The time is optional, and stays so for brace initialisation by taps
    // that leave it out.
    constexpr TCATapEvent(TCATapEventType type_, std::uint16_t keyCode_, std::uint64_t flags_,
                          bool autorepeat_,
                          std::optional<std::uint64_t> timestamp_ = std::nullopt) noexcept
        : type(type_), keyCode(keyCode_), flags(flags_), autorepeat(autorepeat_),
          timestamp(timestamp_) {}

    TCATapEventType type = TCATapEventType::keyDown;
    std::uint16_t keyCode = 0;
    std::uint64_t flags = 0;
    bool autorepeat = false;
    // When the event happened, for a tap that knows it better than the clock
    // does when the callback runs: a trace replay stamps each key with its due
    // time, not the moment its thread woke up. None for live capture, whose
    // events are stamped with the host clock read inside the callback.
    std::optional<std::uint64_t> timestamp;
};
static_assert(std::is_trivially_copyable_v<TCATapEvent>);

} // namespace clavio
