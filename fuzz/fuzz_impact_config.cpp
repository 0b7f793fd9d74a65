// The impact configuration's JSON form (decodeImpactConfigText).
// Properties: no crash or sanitizer report on any text; a refusal is one line
// that says which format failed; whatever decodes survives encode -> decode
// unchanged, as an object and as text.
// fuzz-max-len: 4096
// fuzz-dict: json.dict
#include <nlohmann/json.hpp>

#include "engine/sensing/impact_config.h"
#include "fuzz/support/fuzz_support.h"

using namespace clavio;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto decoded = decodeImpactConfigText(text);
    if (!decoded) {
        CLAVIO_FUZZ_CHECK(fuzz::isOneLine(decoded.error().text()));
        CLAVIO_FUZZ_CHECK(decoded.error().text().rfind("impact configuration: ", 0) == 0);
        return 0;
    }
    const nlohmann::json encoded = encodeImpactConfig(*decoded);
    const auto again = decodeImpactConfig(encoded);
    CLAVIO_FUZZ_CHECK(again.ok() && *again == *decoded);
    const auto fromText = decodeImpactConfigText(encoded.dump());
    CLAVIO_FUZZ_CHECK(fromText.ok() && *fromText == *decoded);
    return 0;
}
