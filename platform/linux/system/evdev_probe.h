// What an evdev device offers, asked through ioctls. This is the one seam of
// the evdev readers: the libevdev probe asks a real device node; the sidecar
// probe answers for the FIFOs of a fake device root from a JSON file next to
// each node, so tests and `clavio-cli devices` drive the real reading code
// without /dev/input. Everything after probing (reading input_event records,
// SYN_DROPPED handling, translation) is shared.
//
// Threading: probes keep no mutable state; any thread.
#pragma once

#include <linux/input.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace clavio::platform {

struct EvdevAbsAxis {
    std::int32_t value = 0;
    std::int32_t minimum = 0;
    std::int32_t maximum = 0;
    std::int32_t resolution = 0; // units per g for accelerometers
};

struct EvdevCapabilities {
    std::string name;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::bitset<KEY_CNT> keys;
    std::bitset<INPUT_PROP_CNT> properties;
    std::array<std::optional<EvdevAbsAxis>, 3> axes; // ABS_X, ABS_Y, ABS_Z
};

class EvdevProbe {
public:
    virtual ~EvdevProbe() = default;
    // The device behind `fd` (opened from `node`); none when it is no evdev device.
    virtual std::optional<EvdevCapabilities> capabilities(int fd,
                                                          const std::filesystem::path& node) = 0;
    // The keys held now, to resynchronise after SYN_DROPPED; false when unknown.
    virtual bool heldKeys(int fd, const std::filesystem::path& node,
                          std::bitset<KEY_CNT>& held) = 0;
};

// Real devices, through libevdev (and EVIOCGKEY for the held keys).
std::shared_ptr<EvdevProbe> makeLibevdevProbe();

// Fake device roots: node "eventN" is described by "eventN.json":
// {"name": "...", "vendor": 1, "product": 2, "keys": [30, 31, ...],
//  "properties": [6], "abs": {"x": {"value": 0, "min": -512, "max": 511,
//  "resolution": 256}, "y": ..., "z": ...}, "held": [42]}
// A missing or malformed description means "not an evdev device".
std::shared_ptr<EvdevProbe> makeSidecarEvdevProbe();

// A keyboard: key events with every letter key.
bool isKeyboard(const EvdevCapabilities& caps) noexcept;
// An accelerometer: INPUT_PROP_ACCELEROMETER and the axes X, Y and Z.
bool isAccelerometer(const EvdevCapabilities& caps) noexcept;

// The number N of an "eventN" node name; none for any other name.
std::optional<unsigned> eventNodeNumber(std::string_view name);

// The "eventN" nodes under `root`, in number order.
std::vector<std::filesystem::path> listEventNodes(const std::filesystem::path& root);

} // namespace clavio::platform
