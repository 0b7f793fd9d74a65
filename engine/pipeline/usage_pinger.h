// Anonymous usage pings: one JSON object per event, posted fire-and-forget
// to the configured base address + "/api/ping". The body holds the base
// fields ("aid", "event", "v", "os", "hw", "chip", "locale", "pack",
// "sensor", "volume", "sound_on", "ts") and then the event's extra fields,
// which replace base fields of the same name. With no base address
// configured nothing is built or sent, and no identifier is created.
//
// A ping carries no key code and nothing typed: the only session data it
// can hold are the counters built by sessionExtra().
//
// Threading: main thread. The network work happens on the HttpSender's own
// thread; sendEvent() returns once the request is queued.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "engine/ports/defaults_store.h"
#include "engine/ports/http_sender.h"
#include "engine/ports/machine_description.h"

namespace clavio {

// The coordinator's state that every ping reports.
struct PingContext {
    std::string packName;
    bool sensorAvailable = false;
    float masterVolume = 0.0f;
    bool soundEnabled = false;
};

class UsagePinger {
public:
    static constexpr std::string_view anonIDKey = "clavio_anon_id";
    static constexpr std::string_view launchCountKey = "clavio_launch_count";
    static constexpr std::string_view pingPath = "/api/ping";

    struct Options {
        // Scheme and host (and optionally a path prefix) of the ping service;
        // none means no pings.
        std::optional<std::string> baseUrl;
        // The application's short version; an empty one is reported as "?".
        std::string appVersion;
        // The wall clock for "ts"; the system clock when empty.
        std::function<std::chrono::system_clock::time_point()> wallClock;
    };
    // baseUrl from CLAVIO_PING_URL (unset or empty: none), appVersion from
    // the build.
    static Options optionsFromEnvironment();

    // The three services must outlive the pinger. A base address that is not
    // an http(s) address turns the pings off with one log line.
    UsagePinger(DefaultsStore& defaults, HttpSender& sender, const MachineDescription& machine,
                Options options);

    // base + "/api/ping" (one slash between them), or none when `baseUrl` is
    // not an http(s) address with a host and without query or fragment.
    static std::optional<std::string> endpointFor(std::string_view baseUrl);
    const std::optional<std::string>& endpoint() const noexcept { return _endpoint; }

    // The stored identifier, or a new random one (upper-case UUID text) that
    // is stored first.
    std::string anonID();
    // Read once at construction: the model ("" when unknown) and the
    // processor ("unknown" when unknown).
    const std::string& hwModel() const noexcept { return _hwModel; }
    const std::string& chipModel() const noexcept { return _chipModel; }

    // The wall clock the pings use ("ts"); the coordinator takes its
    // sessionStart from it too, so tests can move both together.
    std::chrono::system_clock::time_point wallNow() const;

    // Reads "clavio_launch_count", adds 1, stores and returns the sum.
    std::int64_t countLaunch();

    // The request body: base fields, then `extra` (an object; anything else
    // adds nothing) written over them.
    nlohmann::json makeBody(std::string_view event, const nlohmann::json& extra,
                            const PingContext& context);
    // Builds the body and queues the POST; returns at once. Nothing happens
    // without an endpoint.
    void sendEvent(std::string_view event, const nlohmann::json& extra, const PingContext& context);

    // The extra fields of "heartbeat" and "quit": "session_min" (whole
    // minutes, truncated; 0 if the wall clock went backwards), "keys" and
    // "tiers" (always with "soft", "medium", "hard" and "slam").
    static nlohmann::json sessionExtra(std::chrono::system_clock::duration sinceStart,
                                       std::int64_t keystrokes,
                                       const std::map<std::string, std::int64_t>& tierCounts);

    // "2026-01-31T09:15:00Z".
    static std::string isoTimestamp(std::chrono::system_clock::time_point time);
    // A random (version 4) UUID in upper-case text form.
    static std::string makeUUID();

private:
    DefaultsStore& _defaults;
    HttpSender& _sender;
    const MachineDescription& _machine;
    Options _options;
    std::optional<std::string> _endpoint;
    std::string _hwModel;
    std::string _chipModel;
};

} // namespace clavio
