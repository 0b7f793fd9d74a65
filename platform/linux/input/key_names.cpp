#include "platform/linux/input/key_names.h"

#include <libevdev/libevdev.h>
#include <linux/input-event-codes.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string_view>

#include "platform/linux/input/evdev_keymap.h"

namespace clavio::platform {

namespace {

std::map<std::uint16_t, std::string> buildNames() {
    std::map<std::uint16_t, std::string> names;
    for (unsigned evdev = 0; evdev <= KEY_MAX; ++evdev) {
        if (isEvdevButton(std::uint16_t(evdev))) {
            continue;
        }
        const std::uint16_t code = evdevToVirtualKeyCode(std::uint16_t(evdev));
        const char* raw = libevdev_event_code_get_name(EV_KEY, evdev);
        if (code == kInvalidKeyCode || !raw || names.count(code)) {
            continue; // the lowest evdev code of a shared virtual code names it
        }
        std::string_view name(raw);
        if (name.substr(0, 4) == "KEY_") {
            name.remove_prefix(4);
        }
        std::string lower(name);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        names.emplace(code, std::move(lower));
    }
    return names;
}

} // namespace

std::string virtualKeyName(std::uint16_t code) {
    static const std::map<std::uint16_t, std::string> names = buildNames();
    const auto it = names.find(code);
    return it != names.end() ? it->second : "vk" + std::to_string(code);
}

} // namespace clavio::platform
