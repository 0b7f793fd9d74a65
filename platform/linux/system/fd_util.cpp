#include "platform/linux/system/fd_util.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace clavio::platform {

void UniqueFd::reset(int fd) noexcept {
    if (_fd >= 0) {
        ::close(_fd);
    }
    _fd = fd;
}

WakeEvent::WakeEvent() : _fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void WakeEvent::signal() noexcept {
    if (!_fd) {
        return;
    }
    const std::uint64_t one = 1;
    // A full counter (never in practice) already means "signalled".
    [[maybe_unused]] const auto n = ::write(_fd.get(), &one, sizeof one);
}

void WakeEvent::drain() noexcept {
    if (!_fd) {
        return;
    }
    std::uint64_t value = 0;
    [[maybe_unused]] const auto n = ::read(_fd.get(), &value, sizeof value);
}

int pollFor(pollfd* fds, std::size_t count, double seconds) noexcept {
    using clock = std::chrono::steady_clock;
    const auto deadline =
        clock::now() + std::chrono::duration_cast<clock::duration>(
                           std::chrono::duration<double>(seconds < 0 ? 0 : seconds));
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        // Round up so a slice never ends early and spins on a zero timeout.
        const int timeoutMs = left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
        const int n = ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
        if (clock::now() >= deadline) {
            return 0;
        }
    }
}

UniqueFd openDeviceNode(const char* path) noexcept {
    return UniqueFd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
}

} // namespace clavio::platform
