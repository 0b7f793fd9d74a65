// The Linux key source: every keyboard under a device root (default
// /dev/input), opened read-only and never grabbed, so other programs see every
// key as before. Keyboards plugged in later are picked up through inotify. A
// tap polls all keyboards, the inotify descriptor and an eventfd (the stop
// wake-up) in slices; a device that vanishes is dropped and the others go on.
// SYN_DROPPED discards the rest of the frame and resynchronises the modifier
// state from the device's key state.
//
// Access is granted when at least one keyboard can be opened for reading,
// which normally means membership of the `input` group.
//
// Threading: hasAccess, requestAccess, listDevices and
// setAccessRequestHandler from any non-real-time thread; the tap as the
// KeySource port says.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ports/key_source.h"
#include "platform/linux/system/evdev_probe.h"

namespace clavio::platform {

struct EvdevKeySourceOptions {
    std::filesystem::path deviceRoot = "/dev/input";
    std::shared_ptr<EvdevProbe> probe; // null: libevdev
};

struct InputDeviceInfo {
    std::filesystem::path node;
    std::string name;    // empty when the device could not be opened
    bool opened = false; // could be opened for reading
    bool keyboard = false;
    std::string error; // why it could not be opened
};

class EvdevKeySource final : public KeySource {
public:
    explicit EvdevKeySource(EvdevKeySourceOptions options = {});

    bool hasAccess() override;
    // Logs how to get access and passes the same text to the handler, if set.
    void requestAccess() override;
    std::unique_ptr<KeyEventTap> createTap() override;

    // Every "eventN" node of the root in number order: keyboards, and nodes
    // that could not be opened (which might be keyboards). Other devices are
    // left out.
    std::vector<InputDeviceInfo> listDevices() const;

    // The app shows the instructions in a dialog.
    void setAccessRequestHandler(std::function<void(std::string_view)> handler);

    static std::string accessInstructions();

    const std::filesystem::path& deviceRoot() const noexcept { return _options.deviceRoot; }

private:
    EvdevKeySourceOptions _options;
    std::mutex _handlerLock;
    std::function<void(std::string_view)> _accessRequestHandler;
};

} // namespace clavio::platform
