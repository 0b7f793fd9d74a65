#include "engine/core/json_support.h"

#include <cmath>

namespace clavio::json_support {

DecodeResult<nlohmann::json> parse(std::string_view text) {
    try {
        return nlohmann::json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& e) {
        // Drop the library's "[json.exception.parse_error.101] " prefix.
        std::string what = e.what();
        if (auto close = what.find("] ");
            what.rfind("[json.exception", 0) == 0 && close != std::string::npos) {
            what.erase(0, close + 2);
        }
        return DecodeError{"$", "invalid JSON: " + what};
    } catch (const std::exception& e) {
        return DecodeError{"$", std::string("cannot parse: ") + e.what()};
    }
}

namespace {
bool isIdentifier(std::string_view key) {
    if (key.empty()) {
        return false;
    }
    for (size_t i = 0; i < key.size(); ++i) {
        const char c = key[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !(digit && i > 0)) {
            return false;
        }
    }
    return true;
}
} // namespace

std::string member(const std::string& path, std::string_view key) {
    if (isIdentifier(key)) {
        return path + "." + std::string(key);
    }
    // The key came from valid JSON, so it is valid UTF-8 and dumps cleanly.
    return path + "[" + nlohmann::json(std::string(key)).dump() + "]";
}

std::string element(const std::string& path, size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

std::string_view typeName(const nlohmann::json& value) {
    switch (value.type()) {
    case nlohmann::json::value_t::null:
        return "null";
    case nlohmann::json::value_t::object:
        return "an object";
    case nlohmann::json::value_t::array:
        return "an array";
    case nlohmann::json::value_t::string:
        return "a string";
    case nlohmann::json::value_t::boolean:
        return "a boolean";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
        return "a number";
    case nlohmann::json::value_t::binary:
        return "binary data";
    case nlohmann::json::value_t::discarded:
        break;
    }
    return "nothing";
}

DecodeError typeMismatch(const std::string& path, std::string_view expected,
                         const nlohmann::json& found) {
    return DecodeError{path, "expected " + std::string(expected) + ", found " +
                                 std::string(typeName(found))};
}

namespace {
constexpr std::size_t kShortDumpLength = 60;
// Deeper than any message needs; bounds the recursion below whatever the
// document's nesting (a few hundred thousand levels fit in a small file).
constexpr int kShortDumpDepth = 16;

// Appends the compact JSON text of `value` until `out` is longer than the
// short length; from there on nothing more is written.
void appendShort(const nlohmann::json& value, std::string& out, int depth) {
    if (out.size() > kShortDumpLength) {
        return;
    }
    if (!value.is_structured()) {
        out += value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        return;
    }
    if (depth >= kShortDumpDepth) {
        out += value.is_array() ? "[...]" : "{...}";
        return;
    }
    out += value.is_array() ? '[' : '{';
    bool first = true;
    for (auto it = value.begin(); it != value.end() && out.size() <= kShortDumpLength; ++it) {
        if (!first) {
            out += ',';
        }
        first = false;
        if (value.is_object()) {
            out += nlohmann::json(it.key()).dump(-1, ' ', false,
                                                 nlohmann::json::error_handler_t::replace);
            out += ':';
        }
        appendShort(*it, out, depth + 1);
    }
    out += value.is_array() ? ']' : '}';
}
} // namespace

std::string shortDump(const nlohmann::json& value) {
    // Not value.dump(): it recurses once per nesting level, and a deeply
    // nested value in a bad document would overflow the stack.
    std::string text;
    appendShort(value, text, 0);
    if (text.size() > kShortDumpLength) {
        // Cut before a character, not inside one: the text stays UTF-8.
        std::size_t cut = kShortDumpLength - 3;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        text.resize(cut);
        text += "...";
    }
    return text;
}

std::optional<long long> wholeNumber(const nlohmann::json& value, long long min, long long max) {
    if (value.is_number_unsigned()) {
        const auto v = value.get<unsigned long long>();
        if (v > static_cast<unsigned long long>(max)) {
            return std::nullopt;
        }
        const auto s = static_cast<long long>(v);
        return s >= min ? std::optional(s) : std::nullopt;
    }
    if (value.is_number_integer()) {
        const auto v = value.get<long long>();
        return v >= min && v <= max ? std::optional(v) : std::nullopt;
    }
    if (value.is_number_float()) {
        // 48000.0 is a whole number; 0.5 and 1e300 are not integers we hold.
        const double d = value.get<double>();
        // 2^63 itself does not fit a long long, so compare against it exclusively.
        if (!std::isfinite(d) || d != std::floor(d) || d < -9223372036854775808.0 ||
            d >= 9223372036854775808.0) {
            return std::nullopt;
        }
        if (d < static_cast<double>(min) || d > static_cast<double>(max)) {
            return std::nullopt;
        }
        return static_cast<long long>(d);
    }
    return std::nullopt;
}

} // namespace clavio::json_support
