// Macro bindings in their JSON form (an array of {"keyCode","tier","action"}),
// and single actions: the input is decoded both as a list of mappings and,
// when it parses as JSON, as one action.
// Properties: no crash or sanitizer report on any text; a refusal is one line
// starting with its JSON path; whatever decodes survives toJson -> text ->
// decode unchanged; an action's JSON form has exactly one key.
// fuzz-max-len: 4096
// fuzz-dict: json.dict
#include <nlohmann/json.hpp>

#include "engine/settings/macro_action.h"
#include "fuzz/support/fuzz_support.h"

using namespace clavio;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const auto mappings = decodeMacroMappings(text);
    if (!mappings) {
        fuzz::checkRefusal(mappings.error());
    } else {
        const nlohmann::json encoded = toJson(*mappings);
        CLAVIO_FUZZ_CHECK(encoded.is_array() && encoded.size() == mappings->size());
        const auto again = decodeMacroMappings(encoded.dump());
        CLAVIO_FUZZ_CHECK(again.ok() && *again == *mappings);
    }

    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        return 0;
    }
    const auto action = decodeMacroAction(parsed);
    if (!action) {
        fuzz::checkRefusal(action.error());
        return 0;
    }
    const nlohmann::json encoded = toJson(*action);
    CLAVIO_FUZZ_CHECK(encoded.is_object() && encoded.size() == 1);
    const auto again = decodeMacroAction(nlohmann::json::parse(encoded.dump()));
    CLAVIO_FUZZ_CHECK(again.ok() && *again == *action);
    return 0;
}
