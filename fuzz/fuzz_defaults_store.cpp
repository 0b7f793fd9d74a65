// The per-user defaults store ("defaults.json"): the input is the file as
// found at start, then the launch counter is raised as every launch does.
// Properties: no crash or sanitizer report on any bytes; a file that is a
// JSON object nested at most 64 levels deep gives its string and integer values (an integer beyond
// the signed 64-bit range reads as the largest one) and keeps every other member through the
// rewrite; any other file reads as empty and its bytes are kept unchanged beside the new file; a
// new store reads back what was written.
// fuzz-max-len: 4096
// fuzz-dict: json.dict
#include <nlohmann/json.hpp>

#include "engine/core/log.h"
#include "engine/settings/json_defaults_store.h"
#include "fuzz/support/fuzz_support.h"

using namespace clavio;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCount = "clavio_launch_count";
constexpr std::string_view kId = "clavio_anon_id";

std::int64_t expectedInteger(const nlohmann::json& object, std::string_view key) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer()) {
        return 0;
    }
    return it->is_number_unsigned()
               ? std::int64_t(std::min(it->get<std::uint64_t>(), std::uint64_t(kMax)))
               : it->get<std::int64_t>();
}

// The most containers any value or key lies in (0 for a scalar document).
int nestingDepth(const nlohmann::json& root) {
    int deepest = 0;
    std::vector<std::pair<const nlohmann::json*, int>> pending{{&root, 0}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, depth);
        if (value->is_structured()) {
            for (const auto& child : *value) {
                pending.emplace_back(&child, depth + 1);
            }
        }
    }
    return deepest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::ScratchDir dir;
    [[maybe_unused]] static const bool quiet = (setLogSink([](std::string_view) {}), true);
    const fs::path file = dir.path() / "defaults.json";
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        fs::remove(entry.path());
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    fuzz::writeWholeFile(file, data, size);

    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    // Deeper files are set aside: writing them back would recurse too deep.
    const bool readable =
        !parsed.is_discarded() && parsed.is_object() && nestingDepth(parsed) <= 64;
    const nlohmann::json values = readable ? parsed : nlohmann::json::object();

    std::int64_t count = 0;
    {
        JsonDefaultsStore store(file);
        const auto id = store.stringForKey(kId);
        const auto it = values.find(kId);
        CLAVIO_FUZZ_CHECK(id.has_value() == (it != values.end() && it->is_string()));
        if (id) {
            CLAVIO_FUZZ_CHECK(*id == it->get<std::string>());
        }
        count = store.integerForKey(kCount);
        CLAVIO_FUZZ_CHECK(count == expectedInteger(values, kCount));
        if (count < std::numeric_limits<std::int64_t>::max()) {
            ++count;
        }
        store.setInteger(kCount, count);
    }

    const auto written = fuzz::readWholeFile(file);
    CLAVIO_FUZZ_CHECK(written.has_value());
    const auto rewritten = nlohmann::json::parse(*written, nullptr, false);
    CLAVIO_FUZZ_CHECK(rewritten.is_object());
    nlohmann::json expected = values;
    expected[std::string(kCount)] = count;
    CLAVIO_FUZZ_CHECK(rewritten == expected);
    if (!readable) {
        CLAVIO_FUZZ_CHECK(fuzz::readWholeFile(file.string() + ".unreadable") == text);
    }
    JsonDefaultsStore reopened(file);
    CLAVIO_FUZZ_CHECK(reopened.integerForKey(kCount) == count);
    return 0;
}
