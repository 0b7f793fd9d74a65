// The application-will-terminate notification: observers run once, on the
// main queue, when the application is about to end (a quit from the user
// interface, SIGTERM or SIGINT).
//
// Threading: addQuitObserver() on the main thread; notifyTermination() from
// any thread (a signal watcher calls it from its own thread).
// Implementation: TerminationCenter; platform TerminationSignals feeds it
// from the signals.
#pragma once

#include <functional>

namespace clavio {

class TerminationNotifier {
public:
    virtual ~TerminationNotifier() = default;

    // Main thread. Registers an observer; registrations are never removed,
    // so an observer must hold what it needs weakly.
    virtual void addQuitObserver(std::function<void()> observer) = 0;

    // Any thread. Announces termination. On the main thread the observers
    // run before this returns (an application quitting from its event loop
    // may not turn it again); from another thread they are posted to the
    // main queue. Only the first call delivers.
    virtual void notifyTermination() = 0;
};

} // namespace clavio
