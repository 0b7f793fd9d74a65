// How views open an address in the default browser. Views take the opener as
// a plain function so the composition root decides what runs (xdg-open in the
// application, a recorder in tests).
#pragma once

#include <functional>
#include <string>

namespace clavio {

using OpenUrlHook = std::function<void(std::string)>;

// True for the http and https addresses that views are willing to hand over;
// anything else (file:, javascript:, a bare path) coming from a feed or a
// configuration value is not opened.
bool isWebAddress(const std::string& url);

} // namespace clavio
