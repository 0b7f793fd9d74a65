#include "platform/linux/sensors/linux_sensor_registry.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "engine/sensing/tca_spu_sensor.h"
#include "platform/linux/sensors/hid_report_descriptor.h"
#include "platform/linux/sensors/sensor_sources.h"
#include "platform/linux/system/evdev_probe.h"
#include "platform/linux/system/install_prefix.h"
#include "platform/linux/system/sysfs.h"

namespace clavio::platform {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kHidraw = "hidraw";
constexpr std::string_view kIio = "iio";
constexpr std::string_view kEvdev = "evdev";
constexpr const char* kAxisNames[] = {"x", "y", "z"};

// Entries of `dir` named prefix + number, in number order.
std::vector<fs::path> numberedEntries(const fs::path& dir, std::string_view prefix) {
    std::vector<std::pair<unsigned, fs::path>> found;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        unsigned number = 0;
        const char* first = name.data() + prefix.size();
        const char* last = name.data() + name.size();
        const auto [end, err] = std::from_chars(first, last, number);
        if (err == std::errc{} && end == last) {
            found.emplace_back(number, it->path());
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<fs::path> paths;
    for (auto& entry : found) {
        paths.push_back(std::move(entry.second));
    }
    return paths;
}

std::string makeId(std::string_view kind, const fs::path& node) {
    return std::string(kind) + ":" + node.string();
}

// Splits "kind:/path" into kind and path.
std::pair<std::string_view, fs::path> splitId(std::string_view id) {
    const auto colon = id.find(':');
    if (colon == std::string_view::npos) {
        return {{}, {}};
    }
    return {id.substr(0, colon), fs::path(id.substr(colon + 1))};
}

void setAccelUsage(SensorService& service) {
    service.properties["PrimaryUsagePage"] = kAccelUsagePage;
    service.properties["PrimaryUsage"] = kAccelUsage;
}

// HID_ID=0003:000005AC:00008104 (bus, vendor, product in hex), HID_NAME, HID_UNIQ.
void readHidUevent(const fs::path& path, SensorService& service) {
    const auto text = readAttribute(path);
    if (!text) {
        return;
    }
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "HID_NAME" && !value.empty()) {
            service.properties["Product"] = value;
        } else if (key == "HID_UNIQ" && !value.empty()) {
            service.properties["SerialNumber"] = value;
        } else if (key == "HID_ID") {
            const auto first = value.find(':');
            const auto second = value.find(':', first + 1);
            if (first == std::string::npos || second == std::string::npos) {
                continue;
            }
            const auto vendor = parseInteger(value.substr(first + 1, second - first - 1), 16);
            const auto product = parseInteger(value.substr(second + 1), 16);
            if (vendor && product) {
                service.properties["VendorID"] = *vendor;
                service.properties["ProductID"] = *product;
            }
        }
    }
}

// Three accelerometer axes, as scan elements of the buffer or as raw
// attributes to poll.
bool isIioAccelerometer(const fs::path& sysDir) {
    std::error_code ec;
    auto all = [&](const fs::path& dir, const char* suffix) {
        return std::all_of(std::begin(kAxisNames), std::end(kAxisNames), [&](const char* axis) {
            return fs::exists(dir / (std::string("in_accel_") + axis + suffix), ec);
        });
    };
    return all(sysDir / "scan_elements", "_en") || all(sysDir, "_raw");
}

void setReadMode(SensorService& service, std::string_view mode, double rateHz) {
    service.properties["ReadMode"] = std::string(mode);
    if (rateHz > 0) {
        service.properties["SampleRate"] = static_cast<std::int64_t>(std::lround(rateHz));
    }
}

std::string_view modeName(IioReadMode mode) {
    return mode == IioReadMode::buffer ? "buffer" : "polling";
}

std::string rateText(double hz) {
    return hz > 0 ? " at " + std::to_string(std::lround(hz)) + " Hz" : std::string();
}

std::string ruleAdvice() {
    const std::string rule = accelerometerUdevRule().string();
    const bool udevReadsIt = rule.rfind("/usr/lib/", 0) == 0 || rule.rfind("/lib/", 0) == 0 ||
                             rule.rfind("/etc/", 0) == 0;
    return "Install the udev rule " + rule +
           (udevReadsIt ? std::string() : " (copy it to /etc/udev/rules.d, where udev reads it)") +
           ", then run `sudo udevadm control --reload && sudo udevadm trigger`.";
}

std::string formatFrequency(double hz) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, hz);
    return ec == std::errc{} ? std::string(text, end) : std::to_string(hz);
}

} // namespace

LinuxSensorRegistry::LinuxSensorRegistry(LinuxSensorRoots roots) : _roots(std::move(roots)) {
    if (!_roots.probe) {
        _roots.probe = makeLibevdevProbe();
    }
}

std::optional<std::vector<SensorService>>
LinuxSensorRegistry::matchingServices(std::string_view serviceClass) {
    std::vector<SensorService> services;
    if (serviceClass == kSensorDeviceClass) {
        for (auto&& found : {hidrawServices(), iioServices(true), evdevServices()}) {
            services.insert(services.end(), found.begin(), found.end());
        }
    } else if (serviceClass == kSensorDriverClass) {
        services = iioServices(false);
    }
    return services;
}

std::vector<SensorService> LinuxSensorRegistry::hidrawServices() const {
    std::vector<SensorService> services;
    for (const auto& entry : numberedEntries(_roots.sysRoot / "class" / "hidraw", "hidraw")) {
        SensorService service;
        service.id = makeId(kHidraw, _roots.devRoot / entry.filename());
        // An unreadable or malformed descriptor leaves the usage out, so the
        // search passes over the device.
        if (const auto descriptor = readBinaryAttribute(entry / "device" / "report_descriptor")) {
            if (const auto usage = parsePrimaryUsage(descriptor->data(), descriptor->size())) {
                service.properties["PrimaryUsagePage"] = std::int64_t{usage->page};
                service.properties["PrimaryUsage"] = std::int64_t{usage->usage};
            }
        }
        readHidUevent(entry / "device" / "uevent", service);
        setReadMode(service, kHidraw, 0);
        services.push_back(std::move(service));
    }
    return services;
}

std::vector<SensorService> LinuxSensorRegistry::iioServices(bool withReadMode) const {
    std::vector<SensorService> services;
    for (const auto& dir :
         numberedEntries(_roots.sysRoot / "bus" / "iio" / "devices", "iio:device")) {
        if (!isIioAccelerometer(dir)) {
            continue;
        }
        SensorService service;
        service.id = makeId(kIio, _roots.devRoot / dir.filename());
        setAccelUsage(service);
        if (const auto name = readAttribute(dir / "name"); name && !name->empty()) {
            service.properties["Product"] = *name;
        }
        const IioReadPlan plan =
            withReadMode ? planIioRead(dir, _roots.devRoot / dir.filename()) : IioReadPlan{};
        if (plan.mode != IioReadMode::none) {
            setReadMode(service, modeName(plan.mode), plan.rateHz);
        }
        services.push_back(std::move(service));
    }
    return services;
}

std::vector<SensorService> LinuxSensorRegistry::evdevServices() const {
    std::vector<SensorService> services;
    for (const auto& node : listEventNodes(_roots.inputRoot)) {
        UniqueFd fd = openDeviceNode(node.c_str());
        if (!fd) {
            continue;
        }
        const auto caps = _roots.probe->capabilities(fd.get(), node);
        if (!caps || !isAccelerometer(*caps)) {
            continue;
        }
        SensorService service;
        service.id = makeId(kEvdev, node);
        setAccelUsage(service);
        if (!caps->name.empty()) {
            service.properties["Product"] = caps->name;
        }
        service.properties["VendorID"] = std::int64_t{caps->vendor};
        service.properties["ProductID"] = std::int64_t{caps->product};
        setReadMode(service, kEvdev, 0);
        services.push_back(std::move(service));
    }
    return services;
}

bool LinuxSensorRegistry::setProperty(const SensorService& service, std::string_view name,
                                      std::int32_t value) {
    const auto [kind, node] = splitId(service.id);
    // The IIO counterpart of a report interval is the sampling frequency;
    // reporting and power states have none (the buffer is enabled on open).
    if (kind != kIio || name != "ReportInterval" || value <= 0) {
        return false;
    }
    const fs::path sysDir = _roots.sysRoot / "bus" / "iio" / "devices" / node.filename();
    const double targetHz = 1e6 / value;
    for (const char* prefix : {"", "in_accel_"}) {
        const std::string base = std::string(prefix) + "sampling_frequency";
        const auto available = readAttribute(sysDir / (base + "_available"));
        std::error_code ec;
        if (!available || !fs::exists(sysDir / base, ec)) {
            continue;
        }
        const auto chosen = chooseSamplingFrequency(*available, targetHz);
        return chosen && writeAttribute(sysDir / base, formatFrequency(*chosen));
    }
    return false;
}

SensorAccess LinuxSensorRegistry::access(const SensorService& service) const {
    const auto [kind, node] = splitId(service.id);
    SensorAccess access;
    if (kind == kIio) {
        const IioReadPlan plan =
            planIioRead(_roots.sysRoot / "bus" / "iio" / "devices" / node.filename(), node);
        access.readable = plan.mode != IioReadMode::none;
        const std::string rate = rateText(plan.rateHz);
        if (plan.mode == IioReadMode::buffer) {
            access.text = "Read through the IIO buffer" + rate + ".";
        } else if (plan.mode == IioReadMode::polling) {
            access.text = "Read by polling in_accel_*_raw" + rate + ": ";
            switch (plan.bufferProblem) {
            case IioBufferProblem::busy:
                access.text += "another service (such as iio-sensor-proxy) holds the buffer.";
                break;
            case IioBufferProblem::permission:
                access.text += "the buffer needs root (" + plan.detail +
                               "; its sysfs attributes stay root's even with the udev rule).";
                break;
            case IioBufferProblem::noBuffer:
                access.text += "the device has no buffer.";
                break;
            default:
                access.text += "the buffer could not be used (" + plan.detail + ").";
            }
        } else if (plan.bufferProblem == IioBufferProblem::busy) {
            access.text = "Cannot be read: another service (such as iio-sensor-proxy) holds the "
                          "buffer and the driver refuses raw reads meanwhile (" +
                          plan.detail + "). Stop that service to measure strikes.";
        } else {
            access.text = "Cannot be read (" + plan.detail + "). " + ruleAdvice();
        }
        return access;
    }
    const bool isNode = kind == kHidraw || kind == kEvdev;
    const UniqueFd fd = isNode ? openDeviceNode(node.c_str()) : UniqueFd();
    access.readable = fd.valid();
    if (fd) {
        access.text = "Read from " + node.string() + " (" + std::string(kind) + ").";
    } else if (isNode) {
        access.text = "Cannot be read (" + node.string() + ": " + std::strerror(errno) + "). " +
                      (kind == kEvdev ? ruleAdvice()
                                      : "Give your user read access to " + node.string() + ".");
    }
    return access;
}

std::string LinuxSensorRegistry::noAccelerometerAdvice() {
    return "An evdev accelerometer whose device node you cannot open is not listed. " +
           ruleAdvice();
}

std::filesystem::path accelerometerUdevRule() {
    return installPrefix() / CLAVIO_UDEV_RULE_PATH;
}

std::unique_ptr<SensorDevice> LinuxSensorRegistry::createDevice(const SensorService& service) {
    const auto [kind, node] = splitId(service.id);
    if (kind == kHidraw) {
        return createHidrawDevice(node);
    }
    if (kind == kIio) {
        return createIioDevice(_roots.sysRoot / "bus" / "iio" / "devices" / node.filename(), node,
                               _roots.sysRoot);
    }
    if (kind == kEvdev) {
        return createEvdevAccelDevice(node, _roots.probe);
    }
    return nullptr;
}

} // namespace clavio::platform
