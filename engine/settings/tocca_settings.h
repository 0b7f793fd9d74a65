// The live settings record: the 29 user settings, observable, read from and
// written to $XDG_CONFIG_HOME/Clavio/settings.json.
//
// Threading: every setter, load() and save() runs on the main thread, which
// is also where observers are notified (just before the new value is stored).
// Getters may be called from any thread: each scalar is an atomic (relaxed
// order: the values are independent, and a reader needs only an untorn
// value), and the three strings are guarded by one lock. The keyboard thread
// reads disableModifierSounds; the classify queue reads soundEnabled, the
// three upper thresholds, crossfadeWidth, pitchVariation, gainVariation,
// velocitySource and fixedVelocity.
#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "engine/runtime/observer_list.h"
#include "engine/sensing/impact_config.h"
#include "engine/settings/settings_values.h"

namespace clavio {

class ToccaSettings {
public:
    // Every default.
    ToccaSettings() : ToccaSettings(SettingsValues{}) {}
    explicit ToccaSettings(const SettingsValues& values);
    // Moves the values and the unreadable-file note; observers stay behind.
    ToccaSettings(ToccaSettings&& other);
    ToccaSettings(const ToccaSettings&) = delete;
    ToccaSettings& operator=(const ToccaSettings&) = delete;
    ToccaSettings& operator=(ToccaSettings&&) = delete;

    // $XDG_CONFIG_HOME/Clavio/settings.json. Resolved on every call (tests
    // move the XDG folders); each resolution creates the "Clavio" folder if
    // missing, ignoring failure (the following save then reports it).
    static std::filesystem::path fileURL();

    // The record stored in the settings file, or every default when the file
    // is missing, unreadable or does not decode. Never writes the file. When
    // the file exists but cannot be used, the returned record remembers it,
    // and its first save() keeps that file beside the new one as
    // "settings.json.unreadable" (logging one line) instead of overwriting it.
    static ToccaSettings load();

    // Writes all 29 keys atomically. On failure logs
    // "[Clavio] Failed to save settings: <reason>" and returns false; the
    // previous file and the values in memory stay as they were.
    bool save();

    // Snapshot for a classifier; baselineAlpha is always 0.01.
    ImpactConfig impactConfig() const;

    // Snapshot of every value; assign() sets each value through its setter.
    SettingsValues values() const;
    void assign(const SettingsValues& values);

    // True when load() found a settings file it could not use; the next
    // save() keeps that file aside before writing.
    bool hasUnreadableFile() const noexcept { return _unreadableFile; }
    // Why load() could not use the file: one line naming the file (and the
    // JSON path of a bad member); empty when it could.
    const std::string& unreadableFileReason() const noexcept { return _unreadableReason; }
    // Sets the unreadable settings file aside now rather than at the first
    // save(), so that the program does not run for a session on defaults
    // with the bad file still in place: renames it to
    // "settings.json.unreadable" (or ".unreadable.N", never replacing one)
    // and logs one line naming both. True when nothing is left to set aside.
    // Main thread.
    bool setUnreadableFileAside();

    ObserverToken subscribe(ObserverList<SettingsKey>::Callback callback) {
        return _observers.subscribe(std::move(callback));
    }
    void unsubscribe(ObserverToken token) { _observers.unsubscribe(token); }

    // Any thread.
    bool soundEnabled() const noexcept { return get(_soundEnabled); }
    float masterVolume() const noexcept { return get(_masterVolume); }
    std::string selectedPackName() const;
    double searchPreMs() const noexcept { return get(_searchPreMs); }
    double searchPostMs() const noexcept { return get(_searchPostMs); }
    double baselineWindowMs() const noexcept { return get(_baselineWindowMs); }
    bool highpassEnabled() const noexcept { return get(_highpassEnabled); }
    float highpassAlpha() const noexcept { return get(_highpassAlpha); }
    float deadzone() const noexcept { return get(_deadzone); }
    float hardCap() const noexcept { return get(_hardCap); }
    float compressGamma() const noexcept { return get(_compressGamma); }
    float softThreshold() const noexcept { return get(_softThreshold); }
    float mediumThreshold() const noexcept { return get(_mediumThreshold); }
    float hardThreshold() const noexcept { return get(_hardThreshold); }
    float slamThreshold() const noexcept { return get(_slamThreshold); }
    bool macroEnabled() const noexcept { return get(_macroEnabled); }
    float pitchVariation() const noexcept { return get(_pitchVariation); }
    float gainVariation() const noexcept { return get(_gainVariation); }
    float crossfadeWidth() const noexcept { return get(_crossfadeWidth); }
    bool launchAtLogin() const noexcept { return get(_launchAtLogin); }
    bool hideMenuBarIcon() const noexcept { return get(_hideMenuBarIcon); }
    bool disableMenuBarIconOpacity() const noexcept { return get(_disableMenuBarIconOpacity); }
    std::string menuBarClickAction() const;
    bool disableModifierSounds() const noexcept { return get(_disableModifierSounds); }
    std::string toggleShortcut() const;
    bool useAdaptiveClassifier() const noexcept { return get(_useAdaptiveClassifier); }
    double minInterKeyGapMs() const noexcept { return get(_minInterKeyGapMs); }
    VelocitySource velocitySource() const noexcept { return get(_velocitySource); }
    float fixedVelocity() const noexcept { return get(_fixedVelocity); }
    std::string outputDevice() const;
    float stereoWidth() const noexcept { return get(_stereoWidth); }
    bool earlyDecision() const noexcept { return get(_earlyDecision); }
    bool perKeyNormalization() const noexcept { return get(_perKeyNormalization); }
    bool lowRateSensing() const noexcept { return get(_lowRateSensing); }
    float microphoneHardCap() const noexcept { return get(_microphoneHardCap); }
    std::string microphoneDevice() const;

    // Main thread. Values are kept as given: nothing is clamped.
    void setSoundEnabled(bool v) { set(SettingsKey::soundEnabled, _soundEnabled, v); }
    void setMasterVolume(float v) { set(SettingsKey::masterVolume, _masterVolume, v); }
    void setSelectedPackName(std::string v);
    void setSearchPreMs(double v) { set(SettingsKey::searchPreMs, _searchPreMs, v); }
    void setSearchPostMs(double v) { set(SettingsKey::searchPostMs, _searchPostMs, v); }
    void setBaselineWindowMs(double v) { set(SettingsKey::baselineWindowMs, _baselineWindowMs, v); }
    void setHighpassEnabled(bool v) { set(SettingsKey::highpassEnabled, _highpassEnabled, v); }
    void setHighpassAlpha(float v) { set(SettingsKey::highpassAlpha, _highpassAlpha, v); }
    void setDeadzone(float v) { set(SettingsKey::deadzone, _deadzone, v); }
    void setHardCap(float v) { set(SettingsKey::hardCap, _hardCap, v); }
    void setCompressGamma(float v) { set(SettingsKey::compressGamma, _compressGamma, v); }
    void setSoftThreshold(float v) { set(SettingsKey::softThreshold, _softThreshold, v); }
    void setMediumThreshold(float v) { set(SettingsKey::mediumThreshold, _mediumThreshold, v); }
    void setHardThreshold(float v) { set(SettingsKey::hardThreshold, _hardThreshold, v); }
    void setSlamThreshold(float v) { set(SettingsKey::slamThreshold, _slamThreshold, v); }
    void setMacroEnabled(bool v) { set(SettingsKey::macroEnabled, _macroEnabled, v); }
    void setPitchVariation(float v) { set(SettingsKey::pitchVariation, _pitchVariation, v); }
    void setGainVariation(float v) { set(SettingsKey::gainVariation, _gainVariation, v); }
    void setCrossfadeWidth(float v) { set(SettingsKey::crossfadeWidth, _crossfadeWidth, v); }
    void setLaunchAtLogin(bool v) { set(SettingsKey::launchAtLogin, _launchAtLogin, v); }
    void setHideMenuBarIcon(bool v) { set(SettingsKey::hideMenuBarIcon, _hideMenuBarIcon, v); }
    void setDisableMenuBarIconOpacity(bool v) {
        set(SettingsKey::disableMenuBarIconOpacity, _disableMenuBarIconOpacity, v);
    }
    void setMenuBarClickAction(std::string v);
    void setDisableModifierSounds(bool v) {
        set(SettingsKey::disableModifierSounds, _disableModifierSounds, v);
    }
    void setToggleShortcut(std::string v);
    void setUseAdaptiveClassifier(bool v) {
        set(SettingsKey::useAdaptiveClassifier, _useAdaptiveClassifier, v);
    }
    void setMinInterKeyGapMs(double v) { set(SettingsKey::minInterKeyGapMs, _minInterKeyGapMs, v); }
    void setVelocitySource(VelocitySource v) {
        set(SettingsKey::velocitySource, _velocitySource, v);
    }
    void setFixedVelocity(float v) { set(SettingsKey::fixedVelocity, _fixedVelocity, v); }
    void setOutputDevice(std::string v);
    void setStereoWidth(float v) { set(SettingsKey::stereoWidth, _stereoWidth, v); }
    void setEarlyDecision(bool v) { set(SettingsKey::earlyDecision, _earlyDecision, v); }
    void setPerKeyNormalization(bool v) {
        set(SettingsKey::perKeyNormalization, _perKeyNormalization, v);
    }
    void setMicrophoneDevice(std::string v);
    void setLowRateSensing(bool v) { set(SettingsKey::lowRateSensing, _lowRateSensing, v); }
    void setMicrophoneHardCap(float v) {
        set(SettingsKey::microphoneHardCap, _microphoneHardCap, v);
    }

private:
    template <class T> static T get(const std::atomic<T>& a) noexcept {
        return a.load(std::memory_order_relaxed);
    }
    template <class T> void set(SettingsKey key, std::atomic<T>& a, T v) {
        _observers.notify(key);
        a.store(v, std::memory_order_relaxed);
    }
    void setString(SettingsKey key, std::string& field, std::string v);

    std::atomic<bool> _soundEnabled;
    std::atomic<float> _masterVolume;
    std::atomic<double> _searchPreMs;
    std::atomic<double> _searchPostMs;
    std::atomic<double> _baselineWindowMs;
    std::atomic<bool> _highpassEnabled;
    std::atomic<float> _highpassAlpha;
    std::atomic<float> _deadzone;
    std::atomic<float> _hardCap;
    std::atomic<float> _compressGamma;
    std::atomic<float> _softThreshold;
    std::atomic<float> _mediumThreshold;
    std::atomic<float> _hardThreshold;
    std::atomic<float> _slamThreshold;
    std::atomic<bool> _macroEnabled;
    std::atomic<float> _pitchVariation;
    std::atomic<float> _gainVariation;
    std::atomic<float> _crossfadeWidth;
    std::atomic<bool> _launchAtLogin;
    std::atomic<bool> _hideMenuBarIcon;
    std::atomic<bool> _disableMenuBarIconOpacity;
    std::atomic<bool> _disableModifierSounds;
    std::atomic<bool> _useAdaptiveClassifier;
    std::atomic<double> _minInterKeyGapMs;
    std::atomic<VelocitySource> _velocitySource;
    std::atomic<float> _fixedVelocity;
    std::atomic<float> _stereoWidth;
    std::atomic<bool> _earlyDecision;
    std::atomic<bool> _perKeyNormalization;
    std::atomic<bool> _lowRateSensing;
    std::atomic<float> _microphoneHardCap;

    mutable std::mutex _stringMutex; // guards the five strings below
    std::string _selectedPackName;
    std::string _menuBarClickAction;
    std::string _toggleShortcut;
    std::string _outputDevice;
    std::string _microphoneDevice;

    bool _unreadableFile = false;  // main thread only
    std::string _unreadableReason; // main thread only
    ObserverList<SettingsKey> _observers;

    static_assert(std::atomic<float>::is_always_lock_free &&
                  std::atomic<double>::is_always_lock_free);
};

} // namespace clavio
