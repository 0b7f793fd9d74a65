#include "app/updates/sparkle_controller.h"

#include <QCoreApplication>
#include <QDialog>

#include <cstdlib>

#include "app/updates/appcast.h"
#include "app/updates/update_dialog.h"
#include "engine/core/log.h"
#include "platform/linux/net/http_fetch.h"

namespace clavio {

UpdateCheckResult evaluateFeed(const QByteArray& feed, const std::string& currentVersion) {
    UpdateCheckResult result;
    result.currentVersion = currentVersion;
    const AppcastParse parsed = parseAppcast(feed);
    if (!parsed.error.empty()) {
        result.error = parsed.error;
        return result;
    }
    const auto order = compareVersions(parsed.newest->version, currentVersion);
    if (!order) {
        result.error = "This build's version \"" + currentVersion + "\" cannot be compared";
        return result;
    }
    result.version = parsed.newest->displayVersion;
    result.link = parsed.newest->link;
    result.outcome = *order > 0 ? UpdateCheckResult::Outcome::updateAvailable
                                : UpdateCheckResult::Outcome::upToDate;
    return result;
}

std::string SparkleController::configuredFeed() {
    if (const char* feed = std::getenv("CLAVIO_UPDATE_FEED")) {
        return feed;
    }
    return CLAVIO_DEFAULT_UPDATE_FEED;
}

SparkleController::SparkleController(QObject* parent)
    : SparkleController(Options{configuredFeed()}, parent) {}

SparkleController::SparkleController(Options options, QObject* parent)
    : QObject(parent), _options(std::move(options)) {
    _canCheck = !_options.feedUrl.empty();
}

SparkleController::~SparkleController() {
    // The worker posts its result to this object; it must be gone before the
    // object is. Cancelling makes the join take at most about a second.
    _cancel.store(true, std::memory_order_release);
    if (_worker.joinable()) {
        _worker.join();
    }
    delete _dialog.data();
}

void SparkleController::checkForUpdates() {
    if (!_canCheck) {
        return;
    }
    if (_worker.joinable()) {
        _worker.join(); // the previous check has posted its result already
    }
    setCanCheck(false);
    _cancel.store(false, std::memory_order_release);

    const std::string url = _options.feedUrl;
    const std::string current = _options.currentVersion;
    platform::FetchOptions fetchOptions;
    fetchOptions.timeout = _options.timeout;
    fetchOptions.cancel = &_cancel;
    _worker = std::thread([this, url, current, fetchOptions] {
        const platform::FetchResult fetched = platform::fetchUrl(url, fetchOptions);
        UpdateCheckResult result;
        if (fetched.ok) {
            result = evaluateFeed(QByteArray::fromStdString(fetched.body), current);
        } else {
            result.currentVersion = current;
            result.error = fetched.error;
        }
        QMetaObject::invokeMethod(
            this, [this, result = std::move(result)]() mutable { finishCheck(std::move(result)); },
            Qt::QueuedConnection);
    });
}

void SparkleController::finishCheck(UpdateCheckResult result) {
    if (result.outcome == UpdateCheckResult::Outcome::failed) {
        logLine("[Clavio] Update check failed: " + result.error);
    }
    _lastResult = std::move(result);
    setCanCheck(!_options.feedUrl.empty());
    if (_options.showDialogs) {
        showResult(*_lastResult);
    }
    Q_EMIT checkFinished();
}

void SparkleController::setCanCheck(bool canCheck) {
    if (canCheck == _canCheck) {
        return;
    }
    _canCheck = canCheck;
    Q_EMIT canCheckForUpdatesChanged(canCheck);
}

void SparkleController::showResult(const UpdateCheckResult& result) {
    delete _dialog.data(); // one answer on screen at a time
    auto* dialog = new UpdateDialog(result, _openUrl);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    _dialog = dialog;
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

} // namespace clavio
