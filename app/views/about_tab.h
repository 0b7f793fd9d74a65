// The settings window's About tab: the logo, "Clavio" and its version, the
// tagline, a "Website" link and a one-line notice at the bottom.
//
// Threading: main thread.
#pragma once

#include <QWidget>

#include <string>

#include "app/services/open_url_hook.h"

namespace clavio {

class AboutTab : public QWidget {
    Q_OBJECT
public:
    // `version` is the build's (CLAVIO_VERSION); empty shows "?".
    explicit AboutTab(OpenUrlHook openUrl, QWidget* parent = nullptr,
                      const std::string& websiteUrl = CLAVIO_WEBSITE_URL,
                      const std::string& version = CLAVIO_VERSION);

    static QString versionText(const std::string& version);

private:
    std::string _websiteUrl;
    OpenUrlHook _openUrl;
};

} // namespace clavio
