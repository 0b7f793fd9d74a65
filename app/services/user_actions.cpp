#include "app/services/user_actions.h"

#include "engine/audio/audio_engine.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/settings/tocca_settings.h"

namespace clavio {

bool toggleSound(ToccaCoordinator& coordinator) {
    return coordinator.toggleSound();
}

void applyVolume(ToccaCoordinator& coordinator, float volume) {
    coordinator.settings().setMasterVolume(volume);
    coordinator.audioEngine().setMasterVolume(volume);
    coordinator.settings().save();
}

void selectPack(ToccaCoordinator& coordinator, const std::string& packName) {
    const std::string previous = coordinator.settings().selectedPackName();
    coordinator.settings().setSelectedPackName(packName);
    coordinator.settings().save();
    coordinator.loadCurrentPack();
    if (coordinator.packRefusal()) {
        // Over the decoded-audio limits: the pack in use stays, and so does
        // its name, so the next start loads it rather than the refused one.
        coordinator.settings().setSelectedPackName(previous);
        coordinator.settings().save();
        return;
    }
    coordinator.previewPack();
}

void applyDisableModifierSounds(ToccaCoordinator& coordinator, bool disabled) {
    coordinator.settings().setDisableModifierSounds(disabled);
    coordinator.settings().save();
}

void applyPerKeyNormalization(ToccaCoordinator& coordinator, bool enabled) {
    coordinator.settings().setPerKeyNormalization(enabled);
    coordinator.settings().save();
}

void applyPitchVariation(ToccaCoordinator& coordinator, float variation) {
    coordinator.settings().setPitchVariation(variation);
    coordinator.settings().save();
}

void applyGainVariation(ToccaCoordinator& coordinator, float variation) {
    coordinator.settings().setGainVariation(variation);
    coordinator.settings().save();
}

void applyVelocitySource(ToccaCoordinator& coordinator, VelocitySource source) {
    coordinator.settings().setVelocitySource(source);
    coordinator.settings().save();
}

void applyFixedVelocity(ToccaCoordinator& coordinator, float velocity) {
    coordinator.settings().setFixedVelocity(velocity);
    coordinator.settings().save();
}

void applyOutputDevice(ToccaCoordinator& coordinator, const std::string& device) {
    coordinator.settings().setOutputDevice(device);
    coordinator.settings().save();
}

void applyMicrophoneDevice(ToccaCoordinator& coordinator, const std::string& device) {
    coordinator.settings().setMicrophoneDevice(device);
    coordinator.settings().save();
}

void applyStereoWidth(ToccaCoordinator& coordinator, float width) {
    coordinator.settings().setStereoWidth(width);
    coordinator.settings().save();
}

void applyToggleShortcut(ToccaCoordinator& coordinator, const std::string& shortcut) {
    coordinator.settings().setToggleShortcut(shortcut);
    coordinator.settings().save();
}

} // namespace clavio
