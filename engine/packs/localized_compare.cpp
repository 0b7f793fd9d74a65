#include "engine/packs/localized_compare.h"

#include <locale>
#include <string>

namespace clavio {

namespace {

// The user's locale, or the classic one when the named locale is missing
// (std::locale("") throws then). Built once; std::locale is safe to share.
const std::locale& userLocale() {
    static const std::locale locale = [] {
        try {
            return std::locale("");
        } catch (const std::exception&) {
            return std::locale::classic();
        }
    }();
    return locale;
}

// Decodes UTF-8; a byte that does not start a valid sequence becomes
// U+DC00 + byte, so invalid names still order deterministically.
std::u32string decodeUtf8(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        int length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        char32_t cp = length == 1   ? b
                      : length == 2 ? (b & 0x1F)
                      : length == 3 ? (b & 0x0F)
                                    : (b & 0x07);
        bool valid = length > 0 && i + static_cast<size_t>(length) <= s.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto c = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
            valid = (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (valid) {
            // Reject overlong forms, surrogates and values past U+10FFFF.
            static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
            valid = cp >= kMin[length] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        }
        if (!valid) {
            out.push_back(0xDC00 + b);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += static_cast<size_t>(length);
    }
    return out;
}

// Lower case for the scripts pack names are likely to use, independent of
// whether the locale's tables cover them (the C locale folds ASCII only).
char32_t foldCase(char32_t c) {
    if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ||
        (c >= 0x391 && c <= 0x3AB && c != 0x3A2) || (c >= 0x410 && c <= 0x42F)) {
        return c + 0x20;
    }
    if (c >= 0x400 && c <= 0x40F) {
        return c + 0x50;
    }
    // Latin Extended-A pairs capital/small, with the parity flipping at U+0139.
    if ((c >= 0x100 && c <= 0x137 && c % 2 == 0) || (c >= 0x14A && c <= 0x177 && c % 2 == 0) ||
        (c >= 0x139 && c <= 0x148 && c % 2 == 1) || c == 0x179 || c == 0x17B || c == 0x17D) {
        return c + 1;
    }
    if (c == 0x178) {
        return 0xFF;
    }
    return c;
}

std::wstring folded(std::string_view s) {
    const auto& ctype = std::use_facet<std::ctype<wchar_t>>(userLocale());
    std::wstring out;
    for (char32_t c : decodeUtf8(s)) {
        out.push_back(ctype.tolower(static_cast<wchar_t>(foldCase(c))));
    }
    return out;
}

} // namespace

int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b) {
    static_assert(sizeof(wchar_t) == 4, "wchar_t holds a code point on this platform");
    const std::wstring fa = folded(a);
    const std::wstring fb = folded(b);
    const auto& collate = std::use_facet<std::collate<wchar_t>>(userLocale());
    return collate.compare(fa.data(), fa.data() + fa.size(), fb.data(), fb.data() + fb.size());
}

} // namespace clavio
