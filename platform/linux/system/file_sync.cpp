#include "platform/linux/system/file_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include "engine/core/atomic_file.h"

namespace clavio::platform {

bool fsyncPath(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

void installFileSync() noexcept { setFileSyncHook(&fsyncPath); }

} // namespace clavio::platform
