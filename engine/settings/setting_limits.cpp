#include "engine/settings/setting_limits.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <string>

#include "engine/core/log.h"

namespace clavio {

namespace {

template <class T> std::string formatNumber(T value) {
    char text[48];
    const auto written = std::to_chars(text, text + sizeof text, value);
    return std::string(text, written.ptr);
}

double defaultOf(SettingsKey key) noexcept {
    const SettingsValues d;
    switch (key) {
    case SettingsKey::masterVolume:
        return d.masterVolume;
    case SettingsKey::pitchVariation:
        return d.pitchVariation;
    case SettingsKey::gainVariation:
        return d.gainVariation;
    case SettingsKey::searchPreMs:
        return d.searchPreMs;
    case SettingsKey::searchPostMs:
        return d.searchPostMs;
    case SettingsKey::baselineWindowMs:
        return d.baselineWindowMs;
    case SettingsKey::minInterKeyGapMs:
        return d.minInterKeyGapMs;
    case SettingsKey::microphoneHardCap:
        return d.microphoneHardCap;
    default:
        return 0.0;
    }
}

} // namespace

std::optional<SettingRange> usableRange(SettingsKey key) noexcept {
    switch (key) {
    // The sliders' ranges: the mixer sums up to 32 voices without a limiter.
    case SettingsKey::masterVolume:
        return SettingRange{0.0, 1.0};
    // Half the gain or half an octave's worth of speed either way is already
    // far past what the sliders offer (0.2 and 0.15).
    case SettingsKey::pitchVariation:
    case SettingsKey::gainVariation:
        return SettingRange{0.0, 0.5};
    // A press sounds searchPostMs + 10 ms after its key: a second is far past
    // what any accelerometer needs, and the ring holds a few seconds.
    case SettingsKey::searchPreMs:
    case SettingsKey::searchPostMs:
    case SettingsKey::minInterKeyGapMs:
        return SettingRange{0.0, 1000.0};
    case SettingsKey::baselineWindowMs:
        return SettingRange{0.0, 60000.0};
    // Above the microphone's deadzone (0.004), or every strike would score
    // the slam; a clipping click peaks near 2 once high-passed.
    case SettingsKey::microphoneHardCap:
        return SettingRange{0.005, 2.0};
    default:
        return std::nullopt;
    }
}

namespace {

template <class T> T usedValue(SettingsKey key, T value, const SettingRange& range) {
    if (std::isfinite(value) && value >= range.low && value <= range.high) {
        return value;
    }
    return T(std::isfinite(value) && value > range.high ? range.high : defaultOf(key));
}

template <class T> T clampSetting(SettingsKey key, T value, SettingLogFlags& logged) {
    const auto range = usableRange(key);
    if (!range) {
        return value;
    }
    std::atomic<std::uint64_t>& lastLogged = logged[std::size_t(key)];
    if (std::isfinite(value) && value >= range->low && value <= range->high) {
        lastLogged.store(0, std::memory_order_relaxed);
        return value;
    }
    const T used = usedValue(key, value, *range);
    const auto bits = std::bit_cast<std::uint64_t>(double(value));
    if (lastLogged.exchange(bits, std::memory_order_relaxed) != bits) {
        logLine("[Clavio] " + std::string(name(key)) + " " + formatNumber(value) +
                " refused: it must be a number from " + formatNumber(range->low) + " to " +
                formatNumber(range->high) + "; using " + formatNumber(used));
    }
    return used;
}

} // namespace

double usableSetting(SettingsKey key, double value, SettingLogFlags& logged) {
    return clampSetting(key, value, logged);
}

float usableSetting(SettingsKey key, float value, SettingLogFlags& logged) {
    return clampSetting(key, value, logged);
}

double usableSettingValue(SettingsKey key, double value) noexcept {
    const auto range = usableRange(key);
    return range ? usedValue(key, value, *range) : value;
}

ImpactConfig usableImpactConfig(ImpactConfig c, SettingLogFlags& logged) {
    c.searchPreMs = usableSetting(SettingsKey::searchPreMs, c.searchPreMs, logged);
    c.searchPostMs = usableSetting(SettingsKey::searchPostMs, c.searchPostMs, logged);
    c.baselineWindowMs = usableSetting(SettingsKey::baselineWindowMs, c.baselineWindowMs, logged);
    c.minInterKeyGapMs = usableSetting(SettingsKey::minInterKeyGapMs, c.minInterKeyGapMs, logged);
    return c;
}

} // namespace clavio
