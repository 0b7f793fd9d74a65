#include "engine/pipeline/usage_pinger.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>

#include "engine/core/log.h"

namespace clavio {

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? char(text[i] - 'A' + 'a') : text[i];
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

// The float as its shortest decimal text, so 0.8f is sent as 0.8 rather
// than 0.800000011920929.
double shortestDecimal(float value) {
    if (!std::isfinite(value)) {
        return 0.0;
    }
    std::array<char, 32> text{};
    const auto written = std::to_chars(text.data(), text.data() + text.size(), value);
    double result = 0.0;
    std::from_chars(text.data(), written.ptr, result);
    return result;
}

} // namespace

UsagePinger::Options UsagePinger::optionsFromEnvironment() {
    Options options;
    if (const char* url = std::getenv("CLAVIO_PING_URL"); url && *url) {
        options.baseUrl = url;
    }
#ifdef CLAVIO_VERSION
    options.appVersion = CLAVIO_VERSION;
#endif
    return options;
}

UsagePinger::UsagePinger(DefaultsStore& defaults, HttpSender& sender,
                         const MachineDescription& machine, Options options)
    : _defaults(defaults), _sender(sender), _machine(machine), _options(std::move(options)),
      _hwModel(machine.hardwareModel()), _chipModel(machine.processorName()) {
    if (_chipModel.empty()) {
        _chipModel = "unknown";
    }
    if (_options.baseUrl) {
        _endpoint = endpointFor(*_options.baseUrl);
        if (!_endpoint) {
            logLine("[Clavio] Ping address '" + *_options.baseUrl +
                    "' is not an http(s) address; usage pings are off");
        }
    }
}

std::optional<std::string> UsagePinger::endpointFor(std::string_view baseUrl) {
    std::size_t schemeLength = 0;
    if (startsWithNoCase(baseUrl, "http://")) {
        schemeLength = 7;
    } else if (startsWithNoCase(baseUrl, "https://")) {
        schemeLength = 8;
    } else {
        return std::nullopt;
    }
    for (const char c : baseUrl) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f || c == '?' || c == '#') {
            return std::nullopt;
        }
    }
    while (baseUrl.size() > schemeLength && baseUrl.back() == '/') {
        baseUrl.remove_suffix(1);
    }
    const std::string_view rest = baseUrl.substr(schemeLength);
    const std::string_view host = rest.substr(0, rest.find('/'));
    if (host.empty() || host.front() == ':' || host.front() == '@') {
        return std::nullopt;
    }
    return std::string(baseUrl) + std::string(pingPath);
}

std::string UsagePinger::anonID() {
    // An empty stored identifier would make every installation look alike.
    if (auto stored = _defaults.stringForKey(anonIDKey); stored && !stored->empty()) {
        return *stored;
    }
    std::string id = makeUUID();
    _defaults.setString(anonIDKey, id);
    return id;
}

std::chrono::system_clock::time_point UsagePinger::wallNow() const {
    return _options.wallClock ? _options.wallClock() : std::chrono::system_clock::now();
}

std::int64_t UsagePinger::countLaunch() {
    const std::int64_t previous = _defaults.integerForKey(launchCountKey);
    const std::int64_t count =
        previous == std::numeric_limits<std::int64_t>::max() ? previous : previous + 1;
    _defaults.setInteger(launchCountKey, count);
    return count;
}

nlohmann::json UsagePinger::makeBody(std::string_view event, const nlohmann::json& extra,
                                     const PingContext& context) {
    const auto now = wallNow();
    nlohmann::json body = {
        {"aid", anonID()},
        {"event", std::string(event)},
        {"v", _options.appVersion.empty() ? std::string("?") : _options.appVersion},
        {"os", _machine.osVersion()},
        {"hw", _hwModel},
        {"chip", _chipModel},
        {"locale", _machine.localeIdentifier()},
        {"pack", context.packName},
        {"sensor", context.sensorAvailable ? "yes" : "no"},
        {"volume", shortestDecimal(context.masterVolume)},
        {"sound_on", context.soundEnabled},
        {"ts", isoTimestamp(now)},
    };
    if (extra.is_object()) {
        for (const auto& [key, value] : extra.items()) {
            body[key] = value;
        }
    }
    return body;
}

void UsagePinger::sendEvent(std::string_view event, const nlohmann::json& extra,
                            const PingContext& context) {
    if (!_endpoint) {
        return;
    }
    // Invalid UTF-8 (a pack folder name, say) is replaced rather than
    // failing the whole body.
    std::string body = makeBody(event, extra, context)
                           .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    _sender.post(*_endpoint, std::move(body));
}

nlohmann::json UsagePinger::sessionExtra(std::chrono::system_clock::duration sinceStart,
                                         std::int64_t keystrokes,
                                         const std::map<std::string, std::int64_t>& tierCounts) {
    const double seconds = std::chrono::duration<double>(sinceStart).count();
    const double minutes = std::trunc(seconds / 60.0);
    nlohmann::json tiers = nlohmann::json::object();
    for (const char* tier : {"soft", "medium", "hard", "slam"}) {
        tiers[tier] = 0;
    }
    for (const auto& [tier, count] : tierCounts) {
        tiers[tier] = count;
    }
    return {
        {"session_min", minutes > 0 ? static_cast<std::int64_t>(minutes) : 0},
        {"keys", keystrokes},
        {"tiers", std::move(tiers)},
    };
}

std::string UsagePinger::isoTimestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(time);
    const auto day = floor<days>(seconds);
    const year_month_day date{day};
    const hh_mm_ss clock{seconds - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                  int(clock.minutes().count()), int(clock.seconds().count()));
    return text;
}

std::string UsagePinger::makeUUID() {
    thread_local std::mt19937_64 random{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    std::array<unsigned char, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        const std::uint64_t word = random();
        for (std::size_t j = 0; j < 8; ++j) {
            bytes[i + j] = static_cast<unsigned char>(word >> (8 * j));
        }
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(kHex[bytes[i] >> 4]);
        text.push_back(kHex[bytes[i] & 0x0f]);
    }
    return text;
}

} // namespace clavio
