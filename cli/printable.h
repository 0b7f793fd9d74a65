// Text that comes from files or devices (pack names, authors, file names,
// paths, keyboard names) printed as it cannot harm a terminal: control
// characters, C0 and C1 (ESC starts sequences that move the cursor, retitle
// the window, ...) and DEL, and bytes that are not UTF-8 come out as \xHH.
// Every command that prints such text passes it through printable().
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace clavio::cli {

std::string printable(std::string_view text);
std::string printable(const std::filesystem::path& path);
inline std::string printable(const std::string& text) {
    return printable(std::string_view(text));
}
inline std::string printable(const char* text) {
    return printable(std::string_view(text));
}

} // namespace clavio::cli
