// Small descriptor helpers shared by the device readers: an owning
// descriptor, an eventfd used to wake a poll() slice at once, and a poll()
// that waits out a slice across signal interruptions.
//
// Threading: UniqueFd is owned by one thread. WakeEvent::signal may be called
// from any thread while the WakeEvent lives; drain and wait are for its owner.
#pragma once

#include <poll.h>

#include <cstddef>
#include <utility>

namespace clavio::platform {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : _fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : _fd(std::exchange(other._fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other._fd, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return _fd; }
    bool valid() const noexcept { return _fd >= 0; }
    explicit operator bool() const noexcept { return valid(); }
    void reset(int fd = -1) noexcept;

private:
    int _fd = -1;
};

// An eventfd: signal() makes it readable until drain().
class WakeEvent {
public:
    WakeEvent();
    bool valid() const noexcept { return _fd.valid(); }
    int fd() const noexcept { return _fd.get(); }
    // Any thread.
    void signal() noexcept;
    // Owner. Clears a pending signal.
    void drain() noexcept;

private:
    UniqueFd _fd;
};

// poll() for up to `seconds`, restarted with the remaining time when a signal
// interrupts it. Returns poll's result (-1 only for real failures).
int pollFor(pollfd* fds, std::size_t count, double seconds) noexcept;

// Opens a device node read-only, non-blocking, close-on-exec (a FIFO opens
// without waiting for a writer). Invalid on failure, errno set.
UniqueFd openDeviceNode(const char* path) noexcept;

} // namespace clavio::platform
