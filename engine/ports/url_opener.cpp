#include "engine/ports/url_opener.h"

namespace clavio {

bool isOpenableAddress(std::string_view address) noexcept {
    const auto colon = address.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == address.size()) {
        return false;
    }
    auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (!isAlpha(address[0])) {
        return false;
    }
    for (size_t i = 1; i < colon; ++i) {
        const char c = address[i];
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    for (char c : address) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) {
            return false;
        }
    }
    return true;
}

} // namespace clavio
