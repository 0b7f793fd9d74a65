#include "engine/packs/sound_pack_manifest.h"

#include <filesystem>
#include <limits>

#include "engine/core/json_support.h"

namespace clavio {

using nlohmann::json;
namespace js = json_support;

namespace {
const std::optional<std::vector<std::string>> kAbsent;

constexpr std::array<VelocityTier, 4> kLayerTiers = {VelocityTier::soft, VelocityTier::medium,
                                                     VelocityTier::hard, VelocityTier::slam};
} // namespace

const std::optional<std::vector<std::string>>& KeyGroupSamples::member(VelocityTier tier) const {
    switch (tier) {
    case VelocityTier::soft:
        return soft;
    case VelocityTier::medium:
        return medium;
    case VelocityTier::hard:
        return hard;
    case VelocityTier::slam:
        return slam;
    case VelocityTier::silent:
        break;
    }
    return kAbsent;
}

std::vector<std::string> KeyGroupSamples::samples(VelocityTier tier) const {
    if (tier == VelocityTier::silent) {
        return {};
    }
    // Walk down from the tier to soft; the first present member wins.
    for (int t = rawValue(tier); t >= rawValue(VelocityTier::soft); --t) {
        if (const auto& m = member(static_cast<VelocityTier>(t))) {
            return *m;
        }
    }
    return {};
}

std::string_view SoundPackManifest::groupName(KeyGroup group) noexcept {
    return clavio::name(group);
}

std::vector<std::string> SoundPackManifest::samplesFor(KeyGroup group, VelocityTier tier) const {
    if (auto it = groups.find(std::string(groupName(group))); it != groups.end()) {
        auto files = it->second.samples(tier);
        if (!files.empty()) {
            return files;
        }
    }
    if (auto alpha = groups.find("alpha"); alpha != groups.end()) {
        return alpha->second.samples(tier);
    }
    return {};
}

std::vector<std::string> SoundPackManifest::releaseSamplesFor(KeyGroup group) const {
    if (!release) {
        return {};
    }
    if (auto it = release->find(std::string(groupName(group)));
        it != release->end() && !it->second.empty()) {
        return it->second;
    }
    if (auto alpha = release->find("alpha"); alpha != release->end() && !alpha->second.empty()) {
        return alpha->second;
    }
    return {};
}

std::vector<SoundPackManifest::Entry> SoundPackManifest::allEntries() const {
    std::vector<Entry> entries;
    for (const auto& [group, samples] : groups) {
        const std::string groupPath = js::member(js::member("$", "groups"), group);
        for (VelocityTier tier : kLayerTiers) {
            if (const auto& files = samples.member(tier)) {
                const std::string tierPath = js::member(groupPath, clavio::name(tier));
                for (size_t i = 0; i < files->size(); ++i) {
                    entries.push_back({js::element(tierPath, i), (*files)[i]});
                }
            }
        }
    }
    if (release) {
        for (const auto& [group, files] : *release) {
            const std::string path = js::member(js::member("$", "release"), group);
            for (size_t i = 0; i < files.size(); ++i) {
                entries.push_back({js::element(path, i), files[i]});
            }
        }
    }
    return entries;
}

std::vector<SoundPackManifest::Entry> SoundPackManifest::unsafeEntries() const {
    std::vector<Entry> unsafe;
    for (auto& entry : allEntries()) {
        if (!isSafeSampleEntry(entry.file)) {
            unsafe.push_back(std::move(entry));
        }
    }
    return unsafe;
}

bool isSafeSampleEntry(std::string_view entry) {
    if (entry.empty() || entry.find('\0') != std::string_view::npos) {
        return false;
    }
    const std::filesystem::path path{std::string(entry)};
    if (path.is_absolute() || path.has_root_path()) {
        return false;
    }
    // "sub/../a.wav" stays inside; "../a.wav" and "sub/../../a.wav" do not.
    const auto normal = path.lexically_normal();
    if (normal.empty() || normal == ".") {
        return false;
    }
    return *normal.begin() != "..";
}

namespace {

using Files = std::vector<std::string>;

std::optional<DecodeError> decodeStringArray(const json& value, const std::string& path,
                                             Files& out) {
    if (!value.is_array()) {
        return js::typeMismatch(path, "an array of strings", value);
    }
    out.clear();
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        const json& item = value[i];
        if (!item.is_string()) {
            return js::typeMismatch(js::element(path, i), "a string", item);
        }
        out.push_back(item.get<std::string>());
    }
    return std::nullopt;
}

std::optional<DecodeError> requiredString(const json& object, std::string_view key,
                                          std::string& out) {
    const std::string path = js::member("$", key);
    auto it = object.find(key);
    if (it == object.end()) {
        return DecodeError{path, "required member is missing"};
    }
    if (!it->is_string()) {
        return js::typeMismatch(path, "a string", *it);
    }
    out = it->get<std::string>();
    return std::nullopt;
}

// An optional member that is absent or null decodes as absent.
const json* optionalMember(const json& object, std::string_view key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return nullptr;
    }
    return &*it;
}

std::optional<DecodeError> decodeGroupSamples(const json& value, const std::string& path,
                                              KeyGroupSamples& out) {
    if (!value.is_object()) {
        return js::typeMismatch(path, "an object of velocity layers", value);
    }
    std::optional<Files>* members[] = {&out.soft, &out.medium, &out.hard, &out.slam};
    for (size_t i = 0; i < kLayerTiers.size(); ++i) {
        const std::string_view key = name(kLayerTiers[i]);
        if (const json* m = optionalMember(value, key)) {
            Files files;
            if (auto error = decodeStringArray(*m, js::member(path, key), files)) {
                return error;
            }
            *members[i] = std::move(files);
        }
    }
    return std::nullopt;
}

DecodeResult<SoundPackManifest> decodeDocument(const json& root) {
    if (!root.is_object()) {
        return js::typeMismatch("$", "an object", root);
    }
    SoundPackManifest manifest;
    for (auto [key, out] : {std::pair<std::string_view, std::string*>{"name", &manifest.name},
                            {"author", &manifest.author},
                            {"license", &manifest.license}}) {
        if (auto error = requiredString(root, key, *out)) {
            return *error;
        }
    }
    if (const json* homepage = optionalMember(root, "homepage")) {
        if (!homepage->is_string()) {
            return js::typeMismatch("$.homepage", "a string", *homepage);
        }
        manifest.homepage = homepage->get<std::string>();
    }
    if (const json* rate = optionalMember(root, "sampleRate")) {
        auto value = js::wholeNumber(*rate, std::numeric_limits<std::int64_t>::min(),
                                     std::numeric_limits<std::int64_t>::max());
        if (!value) {
            return DecodeError{"$.sampleRate",
                               rate->is_number()
                                   ? "expected an integer, found " + js::shortDump(*rate)
                                   : "expected an integer, found " +
                                         std::string(js::typeName(*rate))};
        }
        manifest.sampleRate = *value;
    }
    auto groups = root.find("groups");
    if (groups == root.end()) {
        return DecodeError{"$.groups", "required member is missing"};
    }
    if (!groups->is_object()) {
        return js::typeMismatch("$.groups", "an object of key groups", *groups);
    }
    for (const auto& [key, value] : groups->items()) {
        KeyGroupSamples samples;
        if (auto error = decodeGroupSamples(value, js::member("$.groups", key), samples)) {
            return *error;
        }
        manifest.groups.emplace(key, std::move(samples));
    }
    if (const json* release = optionalMember(root, "release")) {
        if (!release->is_object()) {
            return js::typeMismatch("$.release", "an object of key groups", *release);
        }
        manifest.release.emplace();
        for (const auto& [key, value] : release->items()) {
            Files files;
            if (auto error = decodeStringArray(value, js::member("$.release", key), files)) {
                return *error;
            }
            manifest.release->emplace(key, std::move(files));
        }
    }
    return manifest;
}

} // namespace

DecodeResult<SoundPackManifest> decodeSoundPackManifest(std::string_view text) {
    auto parsed = js::parse(text);
    if (!parsed) {
        return parsed.error();
    }
    return decodeDocument(parsed.value());
}

std::string encodeSoundPackManifest(const SoundPackManifest& manifest, bool pretty) {
    nlohmann::ordered_json root;
    root["name"] = manifest.name;
    root["author"] = manifest.author;
    root["license"] = manifest.license;
    if (manifest.homepage) {
        root["homepage"] = *manifest.homepage;
    }
    if (manifest.sampleRate) {
        root["sampleRate"] = *manifest.sampleRate;
    }
    auto& groups = root["groups"] = nlohmann::ordered_json::object();
    for (const auto& [group, samples] : manifest.groups) {
        auto& g = groups[group] = nlohmann::ordered_json::object();
        for (VelocityTier tier : kLayerTiers) {
            if (const auto& files = samples.member(tier)) {
                g[std::string(name(tier))] = *files;
            }
        }
    }
    if (manifest.release) {
        auto& release = root["release"] = nlohmann::ordered_json::object();
        for (const auto& [group, files] : *manifest.release) {
            release[group] = files;
        }
    }
    // Strings came from valid JSON or from the program; replace rather than
    // throw should one not be valid UTF-8.
    return root.dump(pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace clavio
