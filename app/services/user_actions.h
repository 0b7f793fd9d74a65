// What the panel's and the settings window's controls do to the settings
// record and the coordinator. Every change is saved at once, one save per
// change, so nothing needs saving at quit.
//
// Threading: main thread.
#pragma once

#include <string>

#include "engine/settings/settings_values.h"

namespace clavio {

class ToccaCoordinator;

// The enable row: the coordinator's toggleSound (inverts soundEnabled, saves,
// sends one "sound_toggle" usage event, starts the coordinator when sound is
// now on and it is not running). Returns the new value.
bool toggleSound(ToccaCoordinator& coordinator);

// A volume slider's new value: stored, handed to the mixer at once (heard
// while dragging), saved.
void applyVolume(ToccaCoordinator& coordinator, float volume);

// A pack row: stores the name, saves, has the coordinator load the pack now
// named by the settings (clicking the selected pack reloads it) and play its
// short preview phrase (nothing when sound is off).
void selectPack(ToccaCoordinator& coordinator, const std::string& packName);

// The Sound tab's other controls: stored and saved.
void applyDisableModifierSounds(ToccaCoordinator& coordinator, bool disabled);
void applyPerKeyNormalization(ToccaCoordinator& coordinator, bool enabled);
void applyPitchVariation(ToccaCoordinator& coordinator, float variation);
void applyGainVariation(ToccaCoordinator& coordinator, float variation);
// Where a strike's strength comes from, and the strength used when it is not
// measured: stored and saved; the coordinator follows the settings.
void applyVelocitySource(ToccaCoordinator& coordinator, VelocitySource source);
void applyFixedVelocity(ToccaCoordinator& coordinator, float velocity);
// The Output section: the device name (empty: the system default; the
// coordinator reopens the stream on it) and the stereo width, stored and
// saved.
void applyOutputDevice(ToccaCoordinator& coordinator, const std::string& device);
// A capture device's name; empty: the system's default source.
void applyMicrophoneDevice(ToccaCoordinator& coordinator, const std::string& device);
void applyStereoWidth(ToccaCoordinator& coordinator, float width);
// The General tab's shortcut recorder: the chord in its text form ("" to
// clear), stored and saved; the coordinator watches for it from then on.
void applyToggleShortcut(ToccaCoordinator& coordinator, const std::string& shortcut);

} // namespace clavio
