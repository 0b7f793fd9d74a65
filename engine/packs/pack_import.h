// Turning a keyboard-sound pack of another format into a Clavio pack: the
// formats' manifests, the PC scan codes they name keys by, the velocity
// layers made from a pack's single layer, and the mapping of every key's
// sound to its key group.
//
// Two foreign formats are read:
//   - a "config.json" folder: `key_define_type` "single" (every key is a
//     [start_ms, duration_ms] slice of the one `sound` file) or "multi"
//     (every key names its own file); `soundup` is a release sound;
//   - a folder of WAV files named by scan code: "1e-1.wav" (press) and
//     "1e-0.wav" (release), the set-1 code in two hex digits.
// Keys are PC set-1 scan codes, extended keys with 0xE000 added.
//
// The import reads the folder and decodes through the AudioDecoder port;
// files go out through a writer the caller gives (the platform writes them
// into a temporary folder and moves it into place). Not thread-safe; runs on
// whatever non-real-time thread calls it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/core_types.h"
#include "engine/core/decode_result.h"
#include "engine/packs/sound_pack_manifest.h"
#include "engine/ports/audio_decoder.h"

namespace clavio {

// The Linux evdev key code (KEY_*) of a set-1 scan code; nothing for a code
// that names no key.
std::optional<std::uint16_t> evdevCodeForScanCode(std::uint32_t scanCode) noexcept;

struct ForeignKeyDefine {
    std::uint32_t scanCode = 0;
    // "multi": the file; "single": the slice in milliseconds.
    std::optional<std::string> file;
    double startMs = 0.0;
    double durationMs = 0.0;
};

struct MechvibesConfig {
    std::string name;
    std::string id;
    bool multi = false;
    bool includesNumpad = false;
    std::optional<std::string> sound;
    std::optional<std::string> soundUp;
    // Defined keys in scan-code order; missing and null defines are absent.
    std::vector<ForeignKeyDefine> defines;
    std::size_t nullDefines = 0;
};

// More defines than any keyboard has keys is not a pack.
inline constexpr std::size_t kMaxForeignDefines = 1024;
// The largest "config.json" read.
inline constexpr std::uintmax_t kMaxForeignConfigBytes = 1u << 20;

DecodeResult<MechvibesConfig> decodeMechvibesConfig(std::string_view json);

// The four velocity layers (soft, medium, hard, slam) made from one sound:
// soft and medium are quieter and low-passed, hard is the sound itself, slam
// has a brighter top and a boosted attack. Level and brightness rise from
// soft to slam for any sound with content above a few hundred hertz whose
// peak lies in its attack. Same rate and channels as the source.
std::array<DecodedAudio, 4> makeVelocityLayers(const DecodedAudio& source);

struct PackImportOptions {
    // The pack's name in pack.json; empty: the config's name, else
    // `fallbackName`, else the folder's.
    std::string name;
    std::string fallbackName;
    // Variants kept per group (press and release alike); more are left out.
    std::size_t maxVariants = 16;
};

// The longest shared sound of a pack whose keys are slices of one file.
inline constexpr double kMaxSharedSoundSeconds = 180.0;

struct PackImportPorts {
    // Decodes the pack's files: a key's own file within the usual sample
    // limit, the shared sound of a "single" pack (it holds every key) within
    // kMaxSharedSoundSeconds.
    const AudioDecoder* decoder = nullptr;
    // The key group of an evdev key code, as Clavio files the key.
    std::function<KeyGroup(std::uint16_t evdevCode)> groupOf;
    // Writes one file of the new pack (a name without folders); an error
    // line on failure.
    std::function<std::optional<std::string>(const std::string& file, const DecodedAudio&)>
        writeAudio;
};

struct PackImportSummary {
    std::string format; // "config.json (single)", "config.json (multi)", "scan-code WAV folder"
    SoundPackManifest manifest;
    std::size_t filesWritten = 0;
    // What was left out and why, one line each.
    std::vector<std::string> leftOut;
};

// Imports the foreign pack in `folder`. Any problem (unreadable or broken
// config, a slice beyond the end of its file, a missing or undecodable file,
// no key with a sound) is one error line; files already written are then
// the caller's to discard.
DecodeResult<PackImportSummary> importForeignPack(const std::filesystem::path& folder,
                                                  const PackImportOptions& options,
                                                  const PackImportPorts& ports);

} // namespace clavio
