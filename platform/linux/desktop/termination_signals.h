// SIGTERM and SIGINT as the application's termination notification. The
// signal handler only writes one byte to a pipe (the self-pipe: nothing else
// is safe in a handler); a watcher thread "com.nomari.clavio.signals" reads
// it and calls notifyTermination(), which delivers the quit observers on the
// main queue. A second signal while the first is being handled ends the
// process the default way, so a stuck quit can still be interrupted.
// (signalfd was rejected: it needs the signals blocked in every thread, and
// threads started before the mask was set would still take them.)
//
// Install it only where a main queue turns (the tray application, a command
// that runs its RunLoop): the observers are delivered through it.
//
// Threading: construct and destroy on the main thread. One instance at a
// time; while it lives it owns the two signals' dispositions, and its
// destructor restores the previous ones.
#pragma once

#include <thread>

#include "engine/ports/termination.h"

namespace clavio::platform {

class TerminationSignals {
public:
    // `notifier` must outlive this object. Failure (another instance is
    // active, no pipe) logs one line and leaves the signals alone.
    explicit TerminationSignals(TerminationNotifier& notifier);
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    bool active() const noexcept { return _active; }

private:
    void watch(int readFd);

    TerminationNotifier& _notifier;
    bool _active = false;
    int _readFd = -1;
    std::thread _watcher;
};

} // namespace clavio::platform
