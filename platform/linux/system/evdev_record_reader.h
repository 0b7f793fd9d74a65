// Reads struct input_event records from a non-blocking descriptor: an evdev
// node, or a FIFO of a fake device root carrying the same records. Keeps a
// partial record across reads (a FIFO may split one).
//
// Threading: owned by the thread that reads the descriptor; no allocation.
#pragma once

#include <linux/input.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace clavio::platform {

class EvdevRecordReader {
public:
    enum class Status {
        drained, // nothing more to read now
        gone,    // end of file or a read error: the device went away
    };

    // Reads what is there and calls onEvent(const input_event&) for each
    // complete record. Bounded, so one busy device cannot starve the others.
    template <typename OnEvent> Status drain(int fd, OnEvent&& onEvent) {
        for (int reads = 0; reads < kMaxReadsPerDrain; ++reads) {
            const ssize_t n = ::read(fd, _buffer + _have, sizeof _buffer - _have);
            if (n == 0) {
                return Status::gone;
            }
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno == EAGAIN || errno == EWOULDBLOCK ? Status::drained : Status::gone;
            }
            _have += static_cast<std::size_t>(n);
            std::size_t used = 0;
            while (_have - used >= sizeof(input_event)) {
                input_event event;
                std::memcpy(&event, _buffer + used, sizeof event);
                used += sizeof event;
                onEvent(event);
            }
            std::memmove(_buffer, _buffer + used, _have - used);
            _have -= used;
        }
        return Status::drained;
    }

private:
    static constexpr int kMaxReadsPerDrain = 16;
    unsigned char _buffer[64 * sizeof(input_event)];
    std::size_t _have = 0;
};

} // namespace clavio::platform
