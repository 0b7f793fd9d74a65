#include "engine/packs/pack_import.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <map>
#include <set>

#include "engine/core/file_read.h"
#include "engine/core/json_support.h"

namespace clavio {

namespace fs = std::filesystem;
using nlohmann::json;
namespace js = json_support;

namespace {

constexpr std::uint32_t kExtended = 0xE000;
// The peak of an imported pack's loudest hard layer (-6 dBFS).
constexpr double kHardPeak = 0.5;

// Extended set-1 codes (after 0xE0) and their KEY_* numbers from
// linux/input-event-codes.h.
constexpr std::pair<std::uint32_t, std::uint16_t> kExtendedKeys[] = {
    {0x1C, 96},  // KEY_KPENTER
    {0x1D, 97},  // KEY_RIGHTCTRL
    {0x35, 98},  // KEY_KPSLASH
    {0x37, 99},  // KEY_SYSRQ
    {0x38, 100}, // KEY_RIGHTALT
    {0x47, 102}, // KEY_HOME
    {0x48, 103}, // KEY_UP
    {0x49, 104}, // KEY_PAGEUP
    {0x4B, 105}, // KEY_LEFT
    {0x4D, 106}, // KEY_RIGHT
    {0x4F, 107}, // KEY_END
    {0x50, 108}, // KEY_DOWN
    {0x51, 109}, // KEY_PAGEDOWN
    {0x52, 110}, // KEY_INSERT
    {0x53, 111}, // KEY_DELETE
    {0x5B, 125}, // KEY_LEFTMETA
    {0x5C, 126}, // KEY_RIGHTMETA
    {0x5D, 127}, // KEY_COMPOSE (menu)
};

std::string str(std::string_view s) {
    return std::string(s);
}

} // namespace

std::optional<std::uint16_t> evdevCodeForScanCode(std::uint32_t scanCode) noexcept {
    if (scanCode >= 1 && scanCode < 0x59) {
        // The first 88 evdev codes were numbered after the set-1 codes.
        return static_cast<std::uint16_t>(scanCode);
    }
    if ((scanCode & 0xFF00) == kExtended && scanCode <= 0xE0FF) {
        for (const auto& [code, key] : kExtendedKeys) {
            if ((scanCode & 0xFF) == code) {
                return key;
            }
        }
    }
    return std::nullopt;
}

DecodeResult<MechvibesConfig> decodeMechvibesConfig(std::string_view text) {
    auto parsed = js::parse(text);
    if (!parsed) {
        return parsed.error();
    }
    const json& root = parsed.value();
    if (!root.is_object()) {
        return js::typeMismatch("$", "an object", root);
    }
    MechvibesConfig config;
    auto optionalString = [&](std::string_view key,
                              std::optional<std::string>& out) -> std::optional<DecodeError> {
        auto it = root.find(key);
        if (it == root.end() || it->is_null()) {
            return std::nullopt;
        }
        if (!it->is_string()) {
            return js::typeMismatch(js::member("$", key), "a string", *it);
        }
        out = it->get<std::string>();
        return std::nullopt;
    };
    std::optional<std::string> name, id, type;
    for (auto [key, out] : {std::pair<std::string_view, std::optional<std::string>*>{"name", &name},
                            {"id", &id},
                            {"key_define_type", &type},
                            {"sound", &config.sound},
                            {"soundup", &config.soundUp}}) {
        if (auto error = optionalString(key, *out)) {
            return *error;
        }
    }
    config.name = name.value_or("");
    config.id = id.value_or("");
    if (!type || (*type != "single" && *type != "multi")) {
        return DecodeError{"$.key_define_type",
                           type ? "expected \"single\" or \"multi\", found " + json(*type).dump(
                                      -1, ' ', false, json::error_handler_t::replace)
                                : "required member is missing"};
    }
    config.multi = *type == "multi";
    if (auto it = root.find("includes_numpad"); it != root.end() && !it->is_null()) {
        if (!it->is_boolean()) {
            return js::typeMismatch("$.includes_numpad", "a boolean", *it);
        }
        config.includesNumpad = it->get<bool>();
    }
    if (!config.multi && !config.sound) {
        return DecodeError{"$.sound", "required member is missing (a \"single\" pack slices it)"};
    }
    auto defines = root.find("defines");
    if (defines == root.end()) {
        return DecodeError{"$.defines", "required member is missing"};
    }
    if (!defines->is_object()) {
        return js::typeMismatch("$.defines", "an object of key codes", *defines);
    }
    if (defines->size() > kMaxForeignDefines) {
        return DecodeError{"$.defines", std::to_string(defines->size()) +
                                            " keys defined; a pack defines at most " +
                                            std::to_string(kMaxForeignDefines)};
    }
    std::set<std::uint32_t> seen;
    for (const auto& [key, value] : defines->items()) {
        const std::string path = js::member("$.defines", key);
        std::uint32_t code = 0;
        const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), code);
        if (ec != std::errc{} || end != key.data() + key.size() || key.empty() || code > 0xFFFF) {
            return DecodeError{path, "the key is not a decimal key code"};
        }
        if (!seen.insert(code).second) {
            return DecodeError{path, "key code " + std::to_string(code) + " is defined twice"};
        }
        if (value.is_null()) {
            ++config.nullDefines;
            continue;
        }
        ForeignKeyDefine define;
        define.scanCode = code;
        if (config.multi) {
            if (!value.is_string()) {
                return js::typeMismatch(path, "a file name or null", value);
            }
            define.file = value.get<std::string>();
        } else {
            if (!value.is_array() || value.size() != 2 || !value[0].is_number() ||
                !value[1].is_number()) {
                return js::typeMismatch(path, "[start_ms, duration_ms] or null", value);
            }
            define.startMs = value[0].get<double>();
            define.durationMs = value[1].get<double>();
            if (!std::isfinite(define.startMs) || !std::isfinite(define.durationMs) ||
                define.startMs < 0 || define.durationMs <= 0 || define.startMs > 1e9 ||
                define.durationMs > 1e9) {
                return DecodeError{path, "the slice " + js::shortDump(value) +
                                             " is not a start >= 0 and a length > 0"};
            }
        }
        config.defines.push_back(std::move(define));
    }
    std::sort(config.defines.begin(), config.defines.end(),
              [](const auto& a, const auto& b) { return a.scanCode < b.scanCode; });
    return config;
}

namespace {

// One-pole low-pass per channel, in place.
void lowPass(DecodedAudio& audio, double cutoffHz) {
    const double a = 1.0 - std::exp(-2.0 * std::numbers::pi * cutoffHz / audio.sampleRate);
    const std::size_t ch = audio.channelCount;
    for (std::size_t c = 0; c < ch; ++c) {
        double y = 0.0;
        for (std::size_t i = c; i < audio.frames.size(); i += ch) {
            y += a * (double(audio.frames[i]) - y);
            audio.frames[i] = float(y);
        }
    }
}

void scale(DecodedAudio& audio, double gain) {
    for (float& v : audio.frames) {
        v = float(v * gain);
    }
}

float peakOf(const DecodedAudio& audio) {
    float p = 0.0f;
    for (float v : audio.frames) {
        p = std::max(p, std::fabs(v));
    }
    return p;
}

} // namespace

std::array<DecodedAudio, 4> makeVelocityLayers(const DecodedAudio& source) {
    // Soft and medium peak 11.5 dB and 5.5 dB below the sound, as the
    // built-in packs' layers do; set by their peaks after filtering, since a
    // low-pass takes much of a bright click's peak and little of a dull one's.
    const float sourcePeak = peakOf(source);
    auto quieter = [&](DecodedAudio layer, double cutoffHz, int passes, double ratio) {
        for (int i = 0; i < passes; ++i) {
            lowPass(layer, cutoffHz);
        }
        if (const float p = peakOf(layer); p > 0.0f) {
            scale(layer, ratio * sourcePeak / p);
        }
        return layer;
    };
    DecodedAudio soft = quieter(source, 1500.0, 2, 0.266);
    DecodedAudio medium = quieter(source, 4000.0, 1, 0.531);

    // Slam: the sound plus a third of its content above about 2.5 kHz (a
    // high shelf), with the first 12 ms raised by up to half, fading to the
    // sound's own level by 25 ms.
    DecodedAudio slam = source;
    DecodedAudio low = source;
    lowPass(low, 2500.0);
    const std::size_t ch = std::max<std::uint32_t>(1, source.channelCount);
    const double boostFrames = 0.012 * source.sampleRate;
    const double fadeFrames = 0.025 * source.sampleRate;
    for (std::size_t i = 0; i < slam.frames.size(); ++i) {
        const double frame = double(i / ch);
        const double boost = frame < boostFrames ? 1.5
                             : frame < fadeFrames
                                 ? 1.5 - 0.5 * (frame - boostFrames) / (fadeFrames - boostFrames)
                                 : 1.0;
        const double v = source.frames[i] + 0.35 * (source.frames[i] - low.frames[i]);
        slam.frames[i] = float(v * boost);
    }
    // Never past full scale: the boost gives way to headroom.
    if (const float p = peakOf(slam); p > 0.99f) {
        scale(slam, 0.99 / p);
    }
    return {std::move(soft), std::move(medium), source, std::move(slam)};
}

namespace {

struct KeySound {
    std::uint32_t scanCode = 0;
    bool release = false;
    std::string file;       // inside the folder
    bool sliced = false;    // a slice of `file`
    double startMs = 0.0;
    double durationMs = 0.0;
    bool allKeys = false;   // a release sound for every key
    bool sameSound(const KeySound& o) const {
        return file == o.file && sliced == o.sliced && startMs == o.startMs &&
               durationMs == o.durationMs;
    }
};

std::string hexCode(std::uint32_t code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", code);
    return buf;
}

std::optional<std::uint32_t> scanCodeFileName(const std::string& name, bool& release) {
    // "XX-1.wav" or "XX-0.wav"
    if (name.size() != 8 || name[2] != '-' || (name[3] != '0' && name[3] != '1') ||
        name.substr(4) != ".wav" || !std::isxdigit(static_cast<unsigned char>(name[0])) ||
        !std::isxdigit(static_cast<unsigned char>(name[1]))) {
        return std::nullopt;
    }
    release = name[3] == '0';
    return static_cast<std::uint32_t>(std::stoul(name.substr(0, 2), nullptr, 16));
}

class Importer {
public:
    Importer(const fs::path& folder, const PackImportOptions& options, const PackImportPorts& ports)
        : _folder(folder), _options(options), _ports(ports) {}

    DecodeResult<PackImportSummary> run() {
        std::vector<KeySound> sounds;
        std::string name;
        std::error_code ec;
        if (fs::is_regular_file(_folder / "config.json", ec)) {
            const auto read = readFileLimited(_folder / "config.json", kMaxForeignConfigBytes);
            if (!read.ok()) {
                return DecodeResult<PackImportSummary>::failure(read.error);
            }
            auto config = decodeMechvibesConfig(read.contents);
            if (!config) {
                return DecodeResult<PackImportSummary>::failure("config.json: " +
                                                                config.error().text());
            }
            name = config->name;
            _summary.format = config->multi ? "config.json (multi)" : "config.json (single)";
            for (const auto& d : config->defines) {
                KeySound s{d.scanCode, false, d.file.value_or(config->sound.value_or("")),
                           !config->multi, d.startMs, d.durationMs, false};
                sounds.push_back(std::move(s));
            }
            if (config->nullDefines > 0) {
                _summary.leftOut.push_back(std::to_string(config->nullDefines) +
                                           " keys defined as null: silent");
            }
            if (config->soundUp) {
                sounds.push_back({0, true, *config->soundUp, false, 0, 0, true});
            }
        } else {
            _summary.format = "scan-code WAV folder";
            std::vector<std::string> names;
            for (fs::directory_iterator it(_folder, ec); !ec && it != fs::directory_iterator();
                 it.increment(ec)) {
                names.push_back(it->path().filename().string());
            }
            std::sort(names.begin(), names.end());
            for (const auto& file : names) {
                bool release = false;
                if (auto code = scanCodeFileName(file, release)) {
                    sounds.push_back({*code, release, file, false, 0, 0, false});
                }
            }
            if (sounds.empty()) {
                return DecodeResult<PackImportSummary>::failure(
                    _folder.string() + ": no config.json and no scan-code WAV files (\"1e-1.wav\")");
            }
            if (sounds.size() > 2 * kMaxForeignDefines) {
                return DecodeResult<PackImportSummary>::failure(
                    _folder.string() + ": " + std::to_string(sounds.size()) +
                    " scan-code files; a pack has at most " +
                    std::to_string(2 * kMaxForeignDefines));
            }
        }
        _summary.manifest.name = !_options.name.empty() ? _options.name
                                 : !name.empty()        ? name
                                 : !_options.fallbackName.empty() ? _options.fallbackName
                                                                  : _folder.filename().string();
        _summary.manifest.author = "Unknown";
        _summary.manifest.license = "As the original pack's";
        if (auto error = place(sounds)) {
            return DecodeResult<PackImportSummary>::failure(*error);
        }
        if (_summary.manifest.groups.empty()) {
            return DecodeResult<PackImportSummary>::failure(
                "no key of the pack has a sound Clavio can play");
        }
        return std::move(_summary);
    }

private:
    // Groups the sounds by key group, keeps the first variants of each and
    // writes them.
    std::optional<std::string> place(const std::vector<KeySound>& sounds) {
        // (group, release) -> distinct sounds in scan-code order
        std::map<std::pair<int, bool>, std::vector<const KeySound*>> byGroup;
        for (const auto& s : sounds) {
            KeyGroup group = KeyGroup::alpha;
            if (!s.allKeys) {
                const auto evdev = evdevCodeForScanCode(s.scanCode);
                if (!evdev) {
                    _summary.leftOut.push_back("key code " + std::to_string(s.scanCode) + " (" +
                                               hexCode(s.scanCode) + "): no such key");
                    continue;
                }
                group = _ports.groupOf(*evdev);
            }
            auto& list = byGroup[{rawValue(group), s.release}];
            if (std::none_of(list.begin(), list.end(),
                             [&](const KeySound* o) { return o->sameSound(s); })) {
                list.push_back(&s);
            }
        }
        for (auto& [key, list] : byGroup) {
            const KeyGroup group = keyGroupFromRaw(key.first).value_or(KeyGroup::other);
            const std::string g = str(SoundPackManifest::groupName(group));
            if (list.size() > _options.maxVariants) {
                _summary.leftOut.push_back(
                    (key.second ? "release of " : "") + g + ": " + std::to_string(list.size()) +
                    " distinct sounds, the first " + std::to_string(_options.maxVariants) +
                    " kept (" + std::to_string(list.size() - _options.maxVariants) +
                    " left out)");
                list.resize(_options.maxVariants);
            }
        }
        // One gain for the whole pack, so the loudest press sound's hard
        // layer peaks at -6 dBFS as the built-in packs' do (keys keep their
        // levels relative to each other; at most +12 dB for a quiet pack).
        float loudest = 0.0f;
        for (const auto& [key, list] : byGroup) {
            if (key.second) {
                continue; // release sounds follow with the same gain
            }
            for (const KeySound* sound : list) {
                DecodedAudio audio;
                if (auto error = soundOf(*sound, audio)) {
                    return error;
                }
                loudest = std::max(loudest, peakOf(audio));
            }
        }
        const double gain = loudest > 0.0f ? std::min(kHardPeak / loudest, 4.0) : 1.0;
        for (auto& [key, list] : byGroup) {
            const KeyGroup group = keyGroupFromRaw(key.first).value_or(KeyGroup::other);
            const std::string g = str(SoundPackManifest::groupName(group));
            for (std::size_t i = 0; i < list.size(); ++i) {
                DecodedAudio audio;
                if (auto error = soundOf(*list[i], audio)) {
                    return error;
                }
                scale(audio, gain);
                char index[24];
                std::snprintf(index, sizeof index, "%02zu", i + 1);
                if (key.second) {
                    const std::string file = "release_" + g + "_" + index + ".flac";
                    if (auto error = write(file, audio)) {
                        return error;
                    }
                    if (!_summary.manifest.release) {
                        _summary.manifest.release.emplace();
                    }
                    (*_summary.manifest.release)[g].push_back(file);
                    continue;
                }
                const auto layers = makeVelocityLayers(audio);
                auto& samples = _summary.manifest.groups[g];
                std::optional<std::vector<std::string>>* members[] = {
                    &samples.soft, &samples.medium, &samples.hard, &samples.slam};
                for (std::size_t t = 0; t < layers.size(); ++t) {
                    const auto tier = static_cast<VelocityTier>(t + 1);
                    const std::string file = g + "_" + str(name(tier)) + "_" + index + ".flac";
                    if (auto error = write(file, layers[t])) {
                        return error;
                    }
                    if (!*members[t]) {
                        members[t]->emplace();
                    }
                    (*members[t])->push_back(file);
                }
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> write(const std::string& file, const DecodedAudio& audio) {
        if (auto error = _ports.writeAudio(file, audio)) {
            return error;
        }
        ++_summary.filesWritten;
        return std::nullopt;
    }

    // The key's sound: its file, or its slice of the shared file.
    std::optional<std::string> soundOf(const KeySound& s, DecodedAudio& out) {
        if (!isSafeSampleEntry(s.file) || s.file.find('/') != std::string::npos) {
            return "\"" + s.file + "\" is not a file name inside the pack folder";
        }
        // Only the shared sound of a "single" pack is kept decoded; a key's
        // own file is decoded for its one use.
        auto cached = _decoded.find(s.file);
        if (cached == _decoded.end() || !s.sliced) {
            const fs::path path = _folder / s.file;
            std::error_code ec;
            if (!fs::is_regular_file(fs::symlink_status(path, ec))) {
                return s.file + ": no such file in the pack";
            }
            DecodedAudio audio;
            std::string error;
            DecodeLimits limits;
            if (s.sliced) {
                limits.maxSeconds = kMaxSharedSoundSeconds;
            }
            if (!_ports.decoder->decode(path, audio, error, limits)) {
                return "does not decode: " + error;
            }
            if (!s.sliced) {
                out = std::move(audio);
                return std::nullopt;
            }
            cached = _decoded.emplace(s.file, std::move(audio)).first;
        }
        const DecodedAudio& whole = cached->second;
        const double rate = whole.sampleRate;
        const auto start = static_cast<std::uint64_t>(std::llround(s.startMs * rate / 1000.0));
        auto count = static_cast<std::uint64_t>(std::llround(s.durationMs * rate / 1000.0));
        // A slice may end up to 1 ms past the last frame (rounding of the
        // millisecond figures); more is a slice of audio that is not there.
        const double fileMs = whole.frameCount * 1000.0 / rate;
        if (s.durationMs > kMaxSampleSeconds * 1000.0) {
            char line[160];
            std::snprintf(line, sizeof line,
                          "key code %u: the slice lasts %g ms; a key's sound may last at most %g s",
                          s.scanCode, s.durationMs, kMaxSampleSeconds);
            return std::string(line);
        }
        if (s.startMs + s.durationMs > fileMs + 1.0 || start >= whole.frameCount) {
            char line[160];
            std::snprintf(line, sizeof line,
                          "key code %u: the slice [%g, %g] ms ends beyond %s (%.1f ms long)",
                          s.scanCode, s.startMs, s.durationMs, s.file.c_str(), fileMs);
            return std::string(line);
        }
        count = std::max<std::uint64_t>(1, std::min<std::uint64_t>(count, whole.frameCount - start));
        out.sampleRate = rate;
        out.channelCount = whole.channelCount;
        out.frameCount = static_cast<std::uint32_t>(count);
        const auto first = whole.frames.begin() + std::ptrdiff_t(start * whole.channelCount);
        out.frames.assign(first, first + std::ptrdiff_t(count * whole.channelCount));
        return std::nullopt;
    }

    fs::path _folder;
    const PackImportOptions& _options;
    const PackImportPorts& _ports;
    PackImportSummary _summary;
    std::map<std::string, DecodedAudio> _decoded;
};

} // namespace

DecodeResult<PackImportSummary> importForeignPack(const fs::path& folder,
                                                  const PackImportOptions& options,
                                                  const PackImportPorts& ports) {
    auto result = Importer(folder, options, ports).run();
    if (result) {
        return result;
    }
    // File names come from the pack: a line break or NUL in one must not
    // split or cut the one-line error.
    std::string line = result.error().text();
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20) {
            c = '?';
        }
    }
    return DecodeResult<PackImportSummary>::failure(std::move(line));
}

} // namespace clavio
