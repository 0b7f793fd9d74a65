// The window for a machine without a readable accelerometer, "No
// accelerometer found": a warning symbol, why the strength of a strike needs
// one, that every key plays at a fixed strength set in Settings, a link to
// the product's web site, and two buttons: Continue (the default, closes the
// window) and Quit Clavio. It reads nothing from the engine; everything it
// shows is fixed.
//
// Threading: main thread.
#pragma once

#include <QWidget>

#include "app/services/open_url_hook.h"

class QLabel;
class QPushButton;

namespace clavio {

class IncompatibleView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 440;
    static constexpr int kHeight = 380;
    static constexpr int kTextWidth = 340; // the explanation's widest line

    // `websiteUrl` defaults to the build's CLAVIO_WEBSITE_URL.
    explicit IncompatibleView(QWidget* parent = nullptr,
                              const std::string& websiteUrl = CLAVIO_WEBSITE_URL);

    // Where the link goes; without an opener the click does nothing.
    void setUrlOpener(OpenUrlHook openUrl) { _openUrl = std::move(openUrl); }

    const std::string& websiteUrl() const { return _websiteUrl; }

Q_SIGNALS:
    // "Quit Clavio" was clicked; the composition root ends the application.
    // Continue only closes the window.
    void quitRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void openWebsite();

    std::string _websiteUrl;
    OpenUrlHook _openUrl;
};

} // namespace clavio
