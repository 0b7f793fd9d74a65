// Preset files through PresetManager, with the preset's name fuzzed too: the
// input is a name (up to the first newline) and the file's contents (the
// rest), written as $XDG_CONFIG_HOME/Clavio/Presets/<name>.json of a scratch
// home when the name is one the folder can hold.
// Properties: no crash or sanitizer report; load() gives a record exactly
// when decodeSettings accepts the contents, with the same values; loading
// never changes the file; a name that would leave the folder is refused by
// save() with one log line and nothing is written anywhere; a saved preset
// is listed and loads back bit for bit.
// fuzz-max-len: 4096
// fuzz-dict: json.dict
#include "engine/core/log.h"
#include "engine/settings/preset_manager.h"
#include "fuzz/support/fuzz_support.h"

using namespace clavio;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> gLog;

// Every file under the scratch home, folders included.
std::ptrdiff_t entryCount(const fuzz::ScratchHome& home) {
    return std::distance(fs::recursive_directory_iterator(home.dir.path()), {});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::ScratchHome home(fs::path("Clavio") / "Presets");
    [[maybe_unused]] static const bool logged =
        (setLogSink([](std::string_view line) { gLog.emplace_back(line); }), true);
    home.clear();
    gLog.clear();
    const std::string input(reinterpret_cast<const char*>(data), size);
    const auto newline = input.find('\n');
    const std::string name = input.substr(0, newline);
    const std::string contents = newline == std::string::npos ? "" : input.substr(newline + 1);

    const bool valid = PresetManager::isValidName(name);
    CLAVIO_FUZZ_CHECK(valid == (!name.empty() && name != "." && name != ".." &&
                                name.find('/') == std::string::npos &&
                                name.find('\0') == std::string::npos));
    const fs::path file = home.folder / (name + ".json");
    // Names longer than a file name may be are valid but cannot be stored.
    const bool storable = valid && name.size() + 5 <= 255;
    if (storable) {
        fuzz::writeWholeFile(file, contents.data(), contents.size());
    }

    const auto decoded = decodeSettings(contents);
    const auto loaded = PresetManager::load(name);
    CLAVIO_FUZZ_CHECK(loaded.has_value() == (storable && decoded.ok()));
    if (loaded) {
        CLAVIO_FUZZ_CHECK(loaded->values() == *decoded);
    }
    if (storable) {
        CLAVIO_FUZZ_CHECK(fuzz::readWholeFile(file) == contents);
    }
    CLAVIO_FUZZ_CHECK(gLog.empty());

    // Save what loaded (or the defaults) under the same name.
    const auto before = entryCount(home);
    const ToccaSettings settings = loaded ? ToccaSettings(loaded->values()) : ToccaSettings();
    const bool saved = PresetManager::save(settings, name);
    if (!valid) {
        CLAVIO_FUZZ_CHECK(!saved);
        CLAVIO_FUZZ_CHECK(gLog.size() == 1);
        CLAVIO_FUZZ_CHECK(gLog[0].rfind("[Clavio] Failed to save preset '", 0) == 0);
        CLAVIO_FUZZ_CHECK(entryCount(home) == before);
        return 0;
    }
    if (!saved) {
        // The atomic write needs room for its temporary name beside the file.
        CLAVIO_FUZZ_CHECK(name.size() + 5 + 17 > 255);
        CLAVIO_FUZZ_CHECK(gLog.size() == 1);
        CLAVIO_FUZZ_CHECK(entryCount(home) == before);
        return 0;
    }
    CLAVIO_FUZZ_CHECK(gLog.empty());
    const auto again = PresetManager::load(name);
    CLAVIO_FUZZ_CHECK(again.has_value());
    CLAVIO_FUZZ_CHECK(fuzz::sameBits(again->values(), settings.values()));
    const auto listed = PresetManager::availablePresets();
    CLAVIO_FUZZ_CHECK(std::count(listed.begin(), listed.end(), name) == 1);
    return 0;
}
