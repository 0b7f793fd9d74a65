// The update checker. It reads an appcast feed (see appcast.h) from the
// address in CLAVIO_UPDATE_FEED (the environment, else the build's default),
// compares the newest release with this build's version and shows the answer
// in a dialog: up to date, a newer version with its link, or the error.
//
// `canCheckForUpdates` is true while a feed is configured and no check is
// running; the "Check for Updates..." entries follow it through
// canCheckForUpdatesChanged.
//
// Threading: every member function is main-thread only. A check fetches the
// feed on one worker thread that touches nothing of this object except the
// cancel flag; its result comes back as a queued call on the main thread.
// The destructor cancels a running check and joins the worker.
#pragma once

#include <QDialog>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "app/services/open_url_hook.h"

namespace clavio {

struct UpdateCheckResult {
    enum class Outcome { upToDate, updateAvailable, failed };
    Outcome outcome = Outcome::failed;
    std::string currentVersion;
    std::string version; // the newest release's display version
    std::string link;    // its page or download; empty when the feed gave none
    std::string error;   // for failed
};

class SparkleController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
public:
    struct Options {
        std::string feedUrl;                         // empty: no updates
        std::string currentVersion = CLAVIO_VERSION; // this build
        std::chrono::milliseconds timeout{20000};    // the whole fetch
        bool showDialogs = true;
    };

    // The feed address: CLAVIO_UPDATE_FEED from the environment when set
    // (set but empty turns checks off), else the build's default.
    static std::string configuredFeed();

    explicit SparkleController(QObject* parent = nullptr);
    explicit SparkleController(Options options, QObject* parent = nullptr);
    ~SparkleController() override;

    bool canCheckForUpdates() const { return _canCheck; }

    // A user-initiated check. Does nothing while canCheckForUpdates is false.
    void checkForUpdates();

    // The answer of the last finished check.
    const std::optional<UpdateCheckResult>& lastResult() const { return _lastResult; }
    // The dialog showing it, while open.
    QDialog* dialog() const { return _dialog.data(); }

    void setUrlOpener(OpenUrlHook openUrl) { _openUrl = std::move(openUrl); }

Q_SIGNALS:
    void canCheckForUpdatesChanged(bool canCheckForUpdates);
    void checkFinished();

private:
    void finishCheck(UpdateCheckResult result);
    void setCanCheck(bool canCheck);
    void showResult(const UpdateCheckResult& result);

    Options _options;
    bool _canCheck = false;
    std::thread _worker;
    std::atomic<bool> _cancel{false};
    std::optional<UpdateCheckResult> _lastResult;
    QPointer<QDialog> _dialog;
    OpenUrlHook _openUrl;
};

// Turns a fetched feed into the answer; pure, any thread.
UpdateCheckResult evaluateFeed(const QByteArray& feed, const std::string& currentVersion);

} // namespace clavio
