#include "platform/linux/system/evdev_probe.h"

#include <libevdev/libevdev.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <charconv>

#include <nlohmann/json.hpp>

#include "platform/linux/system/sysfs.h"

namespace clavio::platform {

namespace {

constexpr std::array<unsigned, 26> kLetterKeys = {
    KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I, KEY_J, KEY_K, KEY_L, KEY_M,
    KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R, KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z};

class LibevdevProbe final : public EvdevProbe {
public:
    std::optional<EvdevCapabilities> capabilities(int fd, const std::filesystem::path&) override {
        libevdev* dev = nullptr;
        if (libevdev_new_from_fd(fd, &dev) < 0) {
            return std::nullopt;
        }
        EvdevCapabilities caps;
        if (const char* name = libevdev_get_name(dev)) {
            caps.name = name;
        }
        caps.vendor = static_cast<std::uint16_t>(libevdev_get_id_vendor(dev));
        caps.product = static_cast<std::uint16_t>(libevdev_get_id_product(dev));
        if (libevdev_has_event_type(dev, EV_KEY)) {
            for (unsigned code = 0; code < KEY_CNT; ++code) {
                caps.keys[code] = libevdev_has_event_code(dev, EV_KEY, code) != 0;
            }
        }
        for (unsigned prop = 0; prop < INPUT_PROP_CNT; ++prop) {
            caps.properties[prop] = libevdev_has_property(dev, prop) != 0;
        }
        for (unsigned axis = 0; axis < 3; ++axis) {
            if (const input_absinfo* info = libevdev_get_abs_info(dev, ABS_X + axis)) {
                caps.axes[axis] =
                    EvdevAbsAxis{info->value, info->minimum, info->maximum, info->resolution};
            }
        }
        libevdev_free(dev);
        return caps;
    }

    bool heldKeys(int fd, const std::filesystem::path&, std::bitset<KEY_CNT>& held) override {
        unsigned char bits[KEY_CNT / 8 + 1] = {};
        if (ioctl(fd, EVIOCGKEY(sizeof bits), bits) < 0) {
            return false;
        }
        held.reset();
        for (unsigned code = 0; code < KEY_CNT; ++code) {
            held[code] = (bits[code / 8] >> (code % 8)) & 1;
        }
        return true;
    }
};

constexpr std::size_t kMaxDescriptionBytes = 1 << 20;

std::optional<nlohmann::json> readSidecar(const std::filesystem::path& node) {
    const auto bytes = readBinaryAttribute(node.string() + ".json", kMaxDescriptionBytes);
    if (!bytes) {
        return std::nullopt;
    }
    auto json = nlohmann::json::parse(bytes->begin(), bytes->end(), nullptr,
                                      /*allow_exceptions=*/false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    return json;
}

template <std::size_t N> bool readCodes(const nlohmann::json& list, std::bitset<N>& out) {
    if (!list.is_array()) {
        return false;
    }
    for (const auto& code : list) {
        if (!code.is_number_unsigned() || code.get<std::uint64_t>() >= N) {
            return false;
        }
        out[code.get<std::size_t>()] = true;
    }
    return true;
}

std::int32_t intMember(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_number_integer() ? it->get<std::int32_t>() : 0;
}

class SidecarEvdevProbe final : public EvdevProbe {
public:
    std::optional<EvdevCapabilities> capabilities(int, const std::filesystem::path& node) override {
        const auto json = readSidecar(node);
        if (!json) {
            return std::nullopt;
        }
        EvdevCapabilities caps;
        caps.name = json->value("name", std::string{});
        caps.vendor = static_cast<std::uint16_t>(intMember(*json, "vendor"));
        caps.product = static_cast<std::uint16_t>(intMember(*json, "product"));
        if (json->contains("keys") && !readCodes(json->at("keys"), caps.keys)) {
            return std::nullopt;
        }
        if (json->contains("properties") && !readCodes(json->at("properties"), caps.properties)) {
            return std::nullopt;
        }
        if (const auto abs = json->find("abs"); abs != json->end() && abs->is_object()) {
            const char* names[3] = {"x", "y", "z"};
            for (int axis = 0; axis < 3; ++axis) {
                if (const auto a = abs->find(names[axis]); a != abs->end() && a->is_object()) {
                    caps.axes[axis] =
                        EvdevAbsAxis{intMember(*a, "value"), intMember(*a, "min"),
                                     intMember(*a, "max"), intMember(*a, "resolution")};
                }
            }
        }
        return caps;
    }

    bool heldKeys(int, const std::filesystem::path& node, std::bitset<KEY_CNT>& held) override {
        const auto json = readSidecar(node);
        held.reset();
        return json && (!json->contains("held") || readCodes(json->at("held"), held));
    }
};

} // namespace

std::shared_ptr<EvdevProbe> makeLibevdevProbe() {
    return std::make_shared<LibevdevProbe>();
}
std::shared_ptr<EvdevProbe> makeSidecarEvdevProbe() {
    return std::make_shared<SidecarEvdevProbe>();
}

bool isKeyboard(const EvdevCapabilities& caps) noexcept {
    return std::all_of(kLetterKeys.begin(), kLetterKeys.end(),
                       [&](unsigned code) { return caps.keys[code]; });
}

bool isAccelerometer(const EvdevCapabilities& caps) noexcept {
    return caps.properties[INPUT_PROP_ACCELEROMETER] && caps.axes[0] && caps.axes[1] &&
           caps.axes[2];
}

std::optional<unsigned> eventNodeNumber(std::string_view name) {
    constexpr std::string_view prefix = "event";
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    unsigned number = 0;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    const auto [end, ec] = std::from_chars(first, last, number);
    if (ec != std::errc{} || end != last) {
        return std::nullopt;
    }
    return number;
}

std::vector<std::filesystem::path> listEventNodes(const std::filesystem::path& root) {
    std::vector<std::pair<unsigned, std::filesystem::path>> found;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(root, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (const auto number = eventNodeNumber(it->path().filename().native())) {
            found.emplace_back(*number, it->path());
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::filesystem::path> nodes;
    for (auto& [number, path] : found) {
        nodes.push_back(std::move(path));
    }
    return nodes;
}

} // namespace clavio::platform
