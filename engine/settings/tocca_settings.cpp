#include "engine/settings/tocca_settings.h"

#include "engine/core/atomic_file.h"
#include "engine/core/file_read.h"
#include "engine/core/log.h"
#include "engine/core/paths.h"

namespace clavio {

namespace fs = std::filesystem;

ToccaSettings::ToccaSettings(const SettingsValues& v)
    : _soundEnabled(v.soundEnabled), _masterVolume(v.masterVolume), _searchPreMs(v.searchPreMs),
      _searchPostMs(v.searchPostMs), _baselineWindowMs(v.baselineWindowMs),
      _highpassEnabled(v.highpassEnabled), _highpassAlpha(v.highpassAlpha), _deadzone(v.deadzone),
      _hardCap(v.hardCap), _compressGamma(v.compressGamma), _softThreshold(v.softThreshold),
      _mediumThreshold(v.mediumThreshold), _hardThreshold(v.hardThreshold),
      _slamThreshold(v.slamThreshold), _macroEnabled(v.macroEnabled),
      _pitchVariation(v.pitchVariation), _gainVariation(v.gainVariation),
      _crossfadeWidth(v.crossfadeWidth), _launchAtLogin(v.launchAtLogin),
      _hideMenuBarIcon(v.hideMenuBarIcon), _disableMenuBarIconOpacity(v.disableMenuBarIconOpacity),
      _disableModifierSounds(v.disableModifierSounds),
      _useAdaptiveClassifier(v.useAdaptiveClassifier), _minInterKeyGapMs(v.minInterKeyGapMs),
      _velocitySource(v.velocitySource), _fixedVelocity(v.fixedVelocity),
      _stereoWidth(v.stereoWidth), _earlyDecision(v.earlyDecision),
      _perKeyNormalization(v.perKeyNormalization), _lowRateSensing(v.lowRateSensing),
      _microphoneHardCap(v.microphoneHardCap), _selectedPackName(v.selectedPackName),
      _menuBarClickAction(v.menuBarClickAction), _toggleShortcut(v.toggleShortcut),
      _outputDevice(v.outputDevice), _microphoneDevice(v.microphoneDevice) {}

ToccaSettings::ToccaSettings(ToccaSettings&& other) : ToccaSettings(other.values()) {
    _unreadableFile = other._unreadableFile;
    _unreadableReason = std::move(other._unreadableReason);
    other._unreadableFile = false;
}

fs::path ToccaSettings::fileURL() {
    const fs::path folder = xdgConfigHome() / "Clavio";
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    return folder / "settings.json";
}

ToccaSettings ToccaSettings::load() {
    const fs::path file = fileURL();
    const auto read = readFileLimited(file, kMaxSettingsBytes);
    if (read.status == FileReadResult::Status::missing) {
        return ToccaSettings();
    }
    std::string reason = read.error;
    if (read.ok()) {
        auto decoded = decodeSettings(read.contents);
        if (decoded) {
            return ToccaSettings(decoded.value());
        }
        reason = file.string() + ": " + decoded.error().text();
    }
    ToccaSettings defaults;
    defaults._unreadableFile = true;
    defaults._unreadableReason = std::move(reason);
    return defaults;
}

namespace {
// "settings.json.unreadable", or ".unreadable.2" and upwards when an earlier
// one is still there, so no kept file is ever replaced. Should the folder not
// even be readable, the first name is returned and the rename reports it;
// when every name is taken there is none.
std::optional<fs::path> asideName(const fs::path& file) {
    const std::string base = file.string() + ".unreadable";
    for (int n = 1; n < 1000; ++n) {
        const fs::path candidate =
            n == 1 ? fs::path(base) : fs::path(base + "." + std::to_string(n));
        std::error_code ec;
        const auto type = fs::symlink_status(candidate, ec).type();
        if (type == fs::file_type::not_found || (ec && type == fs::file_type::none)) {
            return candidate;
        }
    }
    return std::nullopt;
}
} // namespace

bool ToccaSettings::save() {
    std::string json;
    std::string error;
    if (!encodeSettings(values(), json, error)) {
        logLine("[Clavio] Failed to save settings: " + error);
        return false;
    }
    const fs::path file = fileURL();
    if (!setUnreadableFileAside()) {
        logLine("[Clavio] Failed to save settings: the unreadable " + file.string() +
                " is still in place");
        return false;
    }
    if (auto failure = writeFileAtomically(file, json)) {
        logLine("[Clavio] Failed to save settings: " + *failure);
        return false;
    }
    return true;
}

bool ToccaSettings::setUnreadableFileAside() {
    if (!_unreadableFile) {
        return true;
    }
    const fs::path file = fileURL();
    std::error_code ec;
    if (fs::symlink_status(file, ec).type() != fs::file_type::not_found) {
        const auto aside = asideName(file);
        if (aside) {
            fs::rename(file, *aside, ec);
        }
        if (!aside || ec) {
            logLine("[Clavio] Settings file could not be read and cannot be kept aside: " +
                    file.string() + (ec ? ": " + ec.message() : std::string()));
            return false;
        }
        logLine("[Clavio] Settings file could not be read (" + _unreadableReason +
                "); kept it as " + aside->string() + " and started from the defaults");
    }
    _unreadableFile = false;
    return true;
}

ImpactConfig ToccaSettings::impactConfig() const {
    ImpactConfig c;
    c.searchPreMs = searchPreMs();
    c.searchPostMs = searchPostMs();
    c.baselineWindowMs = baselineWindowMs();
    c.baselineAlpha = 0.01f;
    c.highpassEnabled = highpassEnabled();
    c.highpassAlpha = highpassAlpha();
    c.deadzone = deadzone();
    c.hardCap = hardCap();
    c.compressGamma = compressGamma();
    c.softThreshold = softThreshold();
    c.mediumThreshold = mediumThreshold();
    c.hardThreshold = hardThreshold();
    c.slamThreshold = slamThreshold();
    c.minInterKeyGapMs = minInterKeyGapMs();
    return c;
}

SettingsValues ToccaSettings::values() const {
    SettingsValues v;
    v.soundEnabled = soundEnabled();
    v.masterVolume = masterVolume();
    v.searchPreMs = searchPreMs();
    v.searchPostMs = searchPostMs();
    v.baselineWindowMs = baselineWindowMs();
    v.highpassEnabled = highpassEnabled();
    v.highpassAlpha = highpassAlpha();
    v.deadzone = deadzone();
    v.hardCap = hardCap();
    v.compressGamma = compressGamma();
    v.softThreshold = softThreshold();
    v.mediumThreshold = mediumThreshold();
    v.hardThreshold = hardThreshold();
    v.slamThreshold = slamThreshold();
    v.macroEnabled = macroEnabled();
    v.pitchVariation = pitchVariation();
    v.gainVariation = gainVariation();
    v.crossfadeWidth = crossfadeWidth();
    v.launchAtLogin = launchAtLogin();
    v.hideMenuBarIcon = hideMenuBarIcon();
    v.disableMenuBarIconOpacity = disableMenuBarIconOpacity();
    v.disableModifierSounds = disableModifierSounds();
    v.useAdaptiveClassifier = useAdaptiveClassifier();
    v.minInterKeyGapMs = minInterKeyGapMs();
    v.velocitySource = velocitySource();
    v.fixedVelocity = fixedVelocity();
    v.stereoWidth = stereoWidth();
    v.earlyDecision = earlyDecision();
    v.perKeyNormalization = perKeyNormalization();
    v.lowRateSensing = lowRateSensing();
    v.microphoneHardCap = microphoneHardCap();
    std::lock_guard lock(_stringMutex);
    v.selectedPackName = _selectedPackName;
    v.menuBarClickAction = _menuBarClickAction;
    v.toggleShortcut = _toggleShortcut;
    v.outputDevice = _outputDevice;
    v.microphoneDevice = _microphoneDevice;
    return v;
}

void ToccaSettings::assign(const SettingsValues& v) {
    setSoundEnabled(v.soundEnabled);
    setMasterVolume(v.masterVolume);
    setSelectedPackName(v.selectedPackName);
    setSearchPreMs(v.searchPreMs);
    setSearchPostMs(v.searchPostMs);
    setBaselineWindowMs(v.baselineWindowMs);
    setHighpassEnabled(v.highpassEnabled);
    setHighpassAlpha(v.highpassAlpha);
    setDeadzone(v.deadzone);
    setHardCap(v.hardCap);
    setCompressGamma(v.compressGamma);
    setSoftThreshold(v.softThreshold);
    setMediumThreshold(v.mediumThreshold);
    setHardThreshold(v.hardThreshold);
    setSlamThreshold(v.slamThreshold);
    setMacroEnabled(v.macroEnabled);
    setPitchVariation(v.pitchVariation);
    setGainVariation(v.gainVariation);
    setCrossfadeWidth(v.crossfadeWidth);
    setLaunchAtLogin(v.launchAtLogin);
    setHideMenuBarIcon(v.hideMenuBarIcon);
    setDisableMenuBarIconOpacity(v.disableMenuBarIconOpacity);
    setMenuBarClickAction(v.menuBarClickAction);
    setDisableModifierSounds(v.disableModifierSounds);
    setToggleShortcut(v.toggleShortcut);
    setUseAdaptiveClassifier(v.useAdaptiveClassifier);
    setMinInterKeyGapMs(v.minInterKeyGapMs);
    setVelocitySource(v.velocitySource);
    setFixedVelocity(v.fixedVelocity);
    setOutputDevice(v.outputDevice);
    setStereoWidth(v.stereoWidth);
    setEarlyDecision(v.earlyDecision);
    setPerKeyNormalization(v.perKeyNormalization);
    setLowRateSensing(v.lowRateSensing);
    setMicrophoneHardCap(v.microphoneHardCap);
    setMicrophoneDevice(v.microphoneDevice);
}

std::string ToccaSettings::selectedPackName() const {
    std::lock_guard lock(_stringMutex);
    return _selectedPackName;
}

std::string ToccaSettings::menuBarClickAction() const {
    std::lock_guard lock(_stringMutex);
    return _menuBarClickAction;
}

std::string ToccaSettings::toggleShortcut() const {
    std::lock_guard lock(_stringMutex);
    return _toggleShortcut;
}

void ToccaSettings::setString(SettingsKey key, std::string& field, std::string v) {
    _observers.notify(key);
    std::lock_guard lock(_stringMutex);
    field = std::move(v);
}

void ToccaSettings::setSelectedPackName(std::string v) {
    setString(SettingsKey::selectedPackName, _selectedPackName, std::move(v));
}

void ToccaSettings::setMenuBarClickAction(std::string v) {
    setString(SettingsKey::menuBarClickAction, _menuBarClickAction, std::move(v));
}

void ToccaSettings::setToggleShortcut(std::string v) {
    setString(SettingsKey::toggleShortcut, _toggleShortcut, std::move(v));
}

std::string ToccaSettings::outputDevice() const {
    std::lock_guard lock(_stringMutex);
    return _outputDevice;
}

void ToccaSettings::setOutputDevice(std::string v) {
    setString(SettingsKey::outputDevice, _outputDevice, std::move(v));
}

std::string ToccaSettings::microphoneDevice() const {
    std::lock_guard lock(_stringMutex);
    return _microphoneDevice;
}

void ToccaSettings::setMicrophoneDevice(std::string v) {
    setString(SettingsKey::microphoneDevice, _microphoneDevice, std::move(v));
}

} // namespace clavio
