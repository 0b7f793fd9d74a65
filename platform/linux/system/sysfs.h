// Reading and writing sysfs attributes (or the files of a fake sysfs root).
//
// Threading: plain functions; any non-real-time thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace clavio::platform {

// The attribute's text without trailing whitespace; none when unreadable.
std::optional<std::string> readAttribute(const std::filesystem::path& path);
// The attribute's bytes (binary attributes such as report_descriptor).
std::optional<std::vector<std::uint8_t>> readBinaryAttribute(const std::filesystem::path& path,
                                                             std::size_t maxBytes = 4096);
// Writes the value in one write() as sysfs wants; false on failure.
bool writeAttribute(const std::filesystem::path& path, std::string_view value);

// The whole text as a number; none for anything else ("abc", "1.5x", "").
std::optional<double> parseDecimal(std::string_view text);
std::optional<std::int64_t> parseInteger(std::string_view text, int base = 10);

} // namespace clavio::platform
