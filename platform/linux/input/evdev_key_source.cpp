#include "platform/linux/input/evdev_key_source.h"

#include <sys/inotify.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "engine/core/log.h"
#include "platform/linux/input/evdev_key_translator.h"
#include "platform/linux/system/evdev_record_reader.h"
#include "platform/linux/system/fd_util.h"

namespace clavio::platform {

namespace {

struct KeyboardDevice {
    std::filesystem::path node;
    UniqueFd fd;
    EvdevRecordReader reader;
    EvdevKeyTranslator::HeldModifiers held = 0;
    bool dropping = false; // after SYN_DROPPED, until the next SYN_REPORT
};

// Opens `node` if it is a keyboard.
UniqueFd openKeyboard(const std::filesystem::path& node, EvdevProbe& probe) {
    UniqueFd fd = openDeviceNode(node.c_str());
    if (!fd) {
        return fd;
    }
    const auto caps = probe.capabilities(fd.get(), node);
    if (!caps || !isKeyboard(*caps)) {
        return UniqueFd{};
    }
    return fd;
}

class EvdevKeyTap final : public KeyEventTap {
public:
    EvdevKeyTap(std::filesystem::path root, std::shared_ptr<EvdevProbe> probe)
        : _root(std::move(root)), _probe(std::move(probe)) {}

    // Opens every keyboard there is and watches the root for new ones.
    bool openAll() {
        for (const auto& node : listEventNodes(_root)) {
            tryOpen(node);
        }
        if (_devices.empty()) {
            return false;
        }
        _inotify.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        // Without a watch the tap still serves the keyboards it has.
        if (_inotify && inotify_add_watch(_inotify.get(), _root.c_str(),
                                          IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_DELETE |
                                              IN_MOVED_FROM) < 0) {
            _inotify.reset();
        }
        return true;
    }

    // Capture thread, when the tap was just made: the keyboards opened.
    std::size_t keyboardCount() const override { return _devices.size(); }

    bool runSlice(double seconds, TapEventCallback callback, void* context) override {
        _pollFds.clear();
        _pollFds.push_back({_wake.fd(), POLLIN, 0});
        _pollFds.push_back({_inotify.get(), POLLIN, 0});
        for (const auto& device : _devices) {
            _pollFds.push_back({device->fd.get(), POLLIN, 0});
        }
        const int ready = pollFor(_pollFds.data(), _pollFds.size(), seconds);
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            return true;
        }
        if (_pollFds[0].revents != 0) {
            _wake.drain();
            return true;
        }
        bool anyGone = false;
        for (std::size_t i = 0; i < _devices.size(); ++i) {
            if (_pollFds[i + 2].revents == 0) {
                continue;
            }
            KeyboardDevice& device = *_devices[i];
            const auto status = device.reader.drain(device.fd.get(), [&](const input_event& e) {
                handleRecord(device, e, callback, context);
            });
            if (status == EvdevRecordReader::Status::gone || (_pollFds[i + 2].revents & POLLNVAL)) {
                _translator.forget(device.held);
                device.fd.reset();
                anyGone = true;
            }
        }
        if (anyGone) {
            std::erase_if(_devices, [](const auto& d) { return !d->fd; });
        }
        if (_pollFds[1].revents & POLLIN) {
            handleInotify();
        }
        return true;
    }

    void interrupt() noexcept override { _wake.signal(); }

private:
    void tryOpen(const std::filesystem::path& node) {
        for (const auto& device : _devices) {
            if (device->node == node) {
                return;
            }
        }
        UniqueFd fd = openKeyboard(node, *_probe);
        if (!fd) {
            return;
        }
        auto device = std::make_unique<KeyboardDevice>();
        device->node = node;
        device->fd = std::move(fd);
        _devices.push_back(std::move(device));
    }

    void remove(const std::filesystem::path& node) {
        std::erase_if(_devices, [&](auto& d) {
            if (d->node != node) {
                return false;
            }
            _translator.forget(d->held);
            return true;
        });
    }

    void handleInotify() {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(_inotify.get(), buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            for (ssize_t offset = 0; offset < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (event->len == 0 || !eventNodeNumber(event->name)) {
                    continue;
                }
                const auto node = _root / event->name;
                if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
                    remove(node);
                } else {
                    // A fresh node may not be readable until udev has set its
                    // permissions; the IN_ATTRIB that follows retries.
                    tryOpen(node);
                }
            }
        }
    }

    void handleRecord(KeyboardDevice& device, const input_event& e, TapEventCallback callback,
                      void* context) {
        if (device.dropping) {
            if (e.type == EV_SYN && e.code == SYN_REPORT) {
                device.dropping = false;
                std::bitset<KEY_CNT> held;
                if (_probe->heldKeys(device.fd.get(), device.node, held)) {
                    _translator.resync(device.held, held);
                } else {
                    _translator.forget(device.held);
                }
            }
            return;
        }
        if (e.type == EV_SYN && e.code == SYN_DROPPED) {
            device.dropping = true;
            return;
        }
        if (e.type != EV_KEY) {
            return;
        }
        if (const auto event = _translator.translate(device.held, e.code, e.value)) {
            callback(context, *event);
        }
    }

    std::filesystem::path _root;
    std::shared_ptr<EvdevProbe> _probe;
    WakeEvent _wake;
    UniqueFd _inotify;
    std::vector<std::unique_ptr<KeyboardDevice>> _devices;
    std::vector<pollfd> _pollFds;
    EvdevKeyTranslator _translator;
};

} // namespace

EvdevKeySource::EvdevKeySource(EvdevKeySourceOptions options) : _options(std::move(options)) {
    if (!_options.probe) {
        _options.probe = makeLibevdevProbe();
    }
}

bool EvdevKeySource::hasAccess() {
    for (const auto& node : listEventNodes(_options.deviceRoot)) {
        if (openKeyboard(node, *_options.probe)) {
            return true;
        }
    }
    return false;
}

std::string EvdevKeySource::accessInstructions() {
    return "Clavio needs to read the keyboards in /dev/input. Add your user to the input group "
           "with `sudo usermod -aG input $USER`, then log out and log in again.";
}

void EvdevKeySource::requestAccess() {
    const std::string text = accessInstructions();
    logLine("[Clavio:Keyboard] " + text);
    std::function<void(std::string_view)> handler;
    {
        std::lock_guard lock(_handlerLock);
        handler = _accessRequestHandler;
    }
    if (handler) {
        handler(text);
    }
}

void EvdevKeySource::setAccessRequestHandler(std::function<void(std::string_view)> handler) {
    std::lock_guard lock(_handlerLock);
    _accessRequestHandler = std::move(handler);
}

std::unique_ptr<KeyEventTap> EvdevKeySource::createTap() {
    auto tap = std::make_unique<EvdevKeyTap>(_options.deviceRoot, _options.probe);
    if (!tap->openAll()) {
        return nullptr;
    }
    return tap;
}

std::vector<InputDeviceInfo> EvdevKeySource::listDevices() const {
    std::vector<InputDeviceInfo> devices;
    for (const auto& node : listEventNodes(_options.deviceRoot)) {
        UniqueFd fd = openDeviceNode(node.c_str());
        if (!fd) {
            devices.push_back({node, {}, false, false, std::strerror(errno)});
            continue;
        }
        const auto caps = _options.probe->capabilities(fd.get(), node);
        if (caps && isKeyboard(*caps)) {
            devices.push_back({node, caps->name, true, true, {}});
        }
    }
    return devices;
}

} // namespace clavio::platform
