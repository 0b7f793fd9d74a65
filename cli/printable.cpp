#include "cli/printable.h"

namespace clavio::cli {

namespace {

// Length of the well-formed UTF-8 sequence at text[i] (2 to 4 bytes) that is
// not a C1 control, or 0.
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    const std::size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                               : lead >= 0xE0                 ? 3
                               : lead >= 0xC2 && lead <= 0xDF ? 2
                                                              : 0;
    if (length == 0 || i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
    }
    if ((lead == 0xC2 && byte(i + 1) < 0xA0) || (lead == 0xE0 && byte(i + 1) < 0xA0) ||
        (lead == 0xED && byte(i + 1) >= 0xA0) || (lead == 0xF0 && byte(i + 1) < 0x90) ||
        (lead == 0xF4 && byte(i + 1) >= 0x90)) {
        return 0; // C1 control, overlong form, surrogate or beyond U+10FFFF
    }
    return length;
}

} // namespace

std::string printable(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += char(c);
            ++i;
        } else if (const std::size_t n = c >= 0x80 ? utf8Length(text, i) : 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
            ++i;
        }
    }
    return out;
}

std::string printable(const std::filesystem::path& path) {
    return printable(std::string_view(path.native()));
}

} // namespace clavio::cli
