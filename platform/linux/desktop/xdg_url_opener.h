// Opens addresses with the desktop's default handler through `xdg-open`,
// started with posix_spawn and an argument vector (never a shell, so nothing
// in the address is interpreted), only for addresses with a URL scheme.
//
// Threading: open() may be called from any non-real-time thread. Each
// started handler is reaped by a short-lived detached thread, so no zombie
// remains and the caller never waits for the handler.
#pragma once

#include <string>

#include "engine/ports/url_opener.h"

namespace clavio::platform {

class XdgUrlOpener final : public UrlOpener {
public:
    // `program` is looked up in PATH like a shell would, without a shell.
    explicit XdgUrlOpener(std::string program = "xdg-open") : _program(std::move(program)) {}

    bool open(const std::string& address) override;

private:
    std::string _program;
};

} // namespace clavio::platform
