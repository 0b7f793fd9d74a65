// Opening an address (a web page, a mailto: link) with the user's default
// handler. The macro router and the application's links use it.
//
// Threading: open() may be called from any non-real-time thread; it starts
// the handler and returns without waiting for it.
#pragma once

#include <string>
#include <string_view>

namespace clavio {

class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    // Asks the default handler to open the address. Returns false when the
    // address is refused (see isOpenableAddress) or the handler could not be
    // started.
    virtual bool open(const std::string& address) = 0;
};

// An address the system agrees to hand to a handler: it begins with a URL
// scheme (a letter, then letters, digits, "+", "-" or ".", then ":") and
// holds no spaces, control characters or NUL. So a plain path or a text that
// could be taken for a command-line option never reaches the handler.
bool isOpenableAddress(std::string_view address) noexcept;

} // namespace clavio
