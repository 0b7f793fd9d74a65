#include "platform/linux/desktop/termination_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "engine/core/log.h"
#include "engine/runtime/thread_naming.h"

namespace clavio::platform {

namespace {

constexpr unsigned char kStopByte = 0;
constexpr int kSignals[] = {SIGTERM, SIGINT};

// The pipe lives as long as the process: a handler that loaded the write end
// just before an instance went away must never write into a reused number.
int gPipe[2] = {-1, -1};
std::atomic<int> gWriteFd{-1};
std::atomic<bool> gSignalled{false};
std::atomic<bool> gInstalled{false};
struct sigaction gPrevious[2];

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "signal handlers may only touch lock-free atomics");

extern "C" void onTerminationSignal(int signal) {
    const int savedErrno = errno;
    if (gSignalled.exchange(true)) {
        // Second signal: the quit in progress is not finishing; end now.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    } else if (const int fd = gWriteFd.load(); fd >= 0) {
        const auto byte = static_cast<unsigned char>(signal);
        (void)!::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(TerminationNotifier& notifier) : _notifier(notifier) {
    if (gInstalled.exchange(true)) {
        logLine("[Clavio] Termination signals are already handled elsewhere");
        return;
    }
    if (gPipe[0] < 0 && ::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        logLine(std::string("[Clavio] Cannot watch termination signals: ") + std::strerror(errno));
        gPipe[0] = gPipe[1] = -1;
        gInstalled.store(false);
        return;
    }
    _readFd = gPipe[0];
    // Bytes left from an earlier instance are not signals for this one.
    unsigned char stale[64];
    while (::read(_readFd, stale, sizeof stale) > 0) {
    }
    gSignalled.store(false);
    gWriteFd.store(gPipe[1]);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        struct sigaction action {};
        action.sa_handler = &onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(kSignals[i], &action, &gPrevious[i]);
    }
    _active = true;
    _watcher = std::thread([this, fd = _readFd] { watch(fd); });
}

TerminationSignals::~TerminationSignals() {
    if (!_active) {
        return;
    }
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], &gPrevious[i], nullptr);
    }
    gWriteFd.store(-1);
    (void)!::write(gPipe[1], &kStopByte, 1);
    _watcher.join();
    gInstalled.store(false);
}

void TerminationSignals::watch(int readFd) {
    nameCurrentThread("com.nomari.clavio.signals");
    for (;;) {
        pollfd pfd{readFd, POLLIN, 0};
        if (::poll(&pfd, 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            logLine(std::string("[Clavio] Termination signal watcher stopped: ") +
                    std::strerror(errno));
            return;
        }
        unsigned char byte = 0;
        const ssize_t n = ::read(readFd, &byte, 1);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0 || byte == kStopByte) {
            return;
        }
        logLine(std::string("[Clavio] Received ") + (byte == SIGINT ? "SIGINT" : "SIGTERM") +
                "; quitting");
        _notifier.notifyTermination();
    }
}

} // namespace clavio::platform
