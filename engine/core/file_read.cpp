#include "engine/core/file_read.h"

#include <fstream>

namespace clavio {

FileReadResult readFileLimited(const std::filesystem::path& path, std::uintmax_t maxBytes) {
    FileReadResult result;
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        result.status = FileReadResult::Status::missing;
        result.error = path.string() + ": no such file";
        return result;
    }
    if (ec) {
        result.error = path.string() + ": " + ec.message();
        return result;
    }
    if (status.type() != std::filesystem::file_type::regular) {
        result.status = FileReadResult::Status::notAFile;
        result.error = path.string() + ": not a regular file";
        return result;
    }
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec && size > maxBytes) {
        result.status = FileReadResult::Status::tooLarge;
        result.error = path.string() + ": larger than " + std::to_string(maxBytes) + " bytes";
        return result;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        result.error = path.string() + ": cannot be opened";
        return result;
    }
    // Read at most one byte past the limit: the file may have grown since
    // its size was taken.
    std::string data;
    char buffer[16384];
    while (in && data.size() <= maxBytes) {
        in.read(buffer, sizeof buffer);
        data.append(buffer, static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        result.error = path.string() + ": read error";
        return result;
    }
    if (data.size() > maxBytes) {
        result.status = FileReadResult::Status::tooLarge;
        result.error = path.string() + ": larger than " + std::to_string(maxBytes) + " bytes";
        return result;
    }
    result.status = FileReadResult::Status::ok;
    result.contents = std::move(data);
    return result;
}

} // namespace clavio
