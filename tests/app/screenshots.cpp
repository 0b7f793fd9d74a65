// Renders the views offscreen into DIR/*.png (screenshots DIR), for review and
// the README; fails when a view renders blank or a file cannot be written.
#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QPainter>
#include <QTabWidget>

#include <cstdio>
#include <numeric>

#include "app/shell/menu_bar_icon.h"
#include "app/updates/sparkle_controller.h"
#include "app/updates/update_dialog.h"
#include "app/views/clavio_settings_view.h"
#include "app/views/incompatible_view.h"
#include "app/views/menu_bar_dropdown.h"
#include "app/widgets/clavio_logo.h"
#include "tests/app/coordinator_fixture.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

int gFailures = 0;
QDir gDir;

void save(const QString& name, const QImage& image) {
    const QString path = gDir.filePath(name + QStringLiteral(".png"));
    QImage flat(image.size(), image.format());
    flat.fill(image.isNull() ? QColor() : QColor::fromRgba(image.pixel(0, 0)));
    const bool ok = !image.isNull() && image != flat && image.save(path);
    gFailures += ok ? 0 : 1;
    std::fprintf(ok ? stdout : stderr, ok ? "%s\n" : "screenshots: %s is blank or unwritable\n",
                 qPrintable(path));
}

void save(const QString& name, QWidget& widget) {
    widget.show();
    QApplication::processEvents();
    save(name, widget.grab().toImage());
    widget.hide();
}

// Every tray size of both states on a panel colour, at natural size and
// magnified 8x without smoothing so single pixels can be inspected.
void iconSheet(const QString& name, QColor panel) {
    const int gap = 12;
    QImage sheet(gap + std::accumulate(MenuBarIcon::kSizes.begin(), MenuBarIcon::kSizes.end(), 0) +
                     gap * int(MenuBarIcon::kSizes.size()),
                 3 * gap + 2 * 48, QImage::Format_ARGB32);
    sheet.fill(panel);
    QPainter p(&sheet);
    int x = gap;
    for (int s : MenuBarIcon::kSizes) {
        p.drawImage(x, gap + (48 - s) / 2, MenuBarIcon::render(true, s));
        p.drawImage(x, 2 * gap + 48 + (48 - s) / 2, MenuBarIcon::render(false, s));
        x += s + gap;
    }
    p.end();
    save(name, sheet);
    save(name + QStringLiteral("-zoom"), sheet.scaled(sheet.size() * 8));
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2 || !QDir().mkpath(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "usage: clavio_app_screenshots DIR (a folder it can create)\n");
        return 2;
    }
    gDir = QDir(QString::fromLocal8Bit(argv[1]));
    iconSheet(QStringLiteral("tray-icon-light-panel"), QColor(246, 245, 244));
    iconSheet(QStringLiteral("tray-icon-dark-panel"), QColor(36, 36, 36));
    QWidget logos;
    logos.setAutoFillBackground(true);
    auto* row = new QHBoxLayout(&logos);
    for (double size : {16.0, 32.0, 64.0, 128.0}) {
        row->addWidget(new ClavioLogo(size), 0, Qt::AlignBottom);
    }
    save(QStringLiteral("logo"), logos);
    IncompatibleView incompatible;
    save(QStringLiteral("incompatible"), incompatible);

    // The panel as it pops up, before and after keyboard access, with one user pack.
    for (const bool access : {false, true}) {
        CoordinatorFixture fixture({.keyboardAccess = access});
        fixture.addUserPack("midnight", R"({"name": "Midnight Blue", "author": "Clavio",
            "license": "CC0-1.0", "groups": {"alpha": {"soft": ["alpha/soft_1.wav"]}}})");
        fixture.settings().setMasterVolume(0.7f);
        fixture.settings().setToggleShortcut("Ctrl+Alt+M");
        SparkleController sparkle({.feedUrl = "http://127.0.0.1:9/appcast.xml"}); // never fetched
        MenuBarDropdown panel(fixture.bridge(), &sparkle, {});
        panel.popup(QRect(300, 0, 1, 1));
        QApplication::processEvents();
        save(access ? QStringLiteral("panel") : QStringLiteral("panel-keyboard-access"),
             panel.grab().toImage());
    }
    CoordinatorFixture fixture({.settingsFile = nlohmann::json{{"masterVolume", 0.8},
                                                               {"launchAtLogin", false},
                                                               {"toggleShortcut", "Ctrl+Alt+M"},
                                                               {"stereoWidth", 0.5}}});
    ClavioSettingsView view(fixture.bridge(), [](bool) { return true; }, {});
    view.show();
    for (int tab = 0; tab < 3; ++tab) {
        view.tabs()->setCurrentIndex(tab);
        QApplication::processEvents();
        save(QStringLiteral("settings-") + QStringList{"general", "sound", "about"}[tab],
             view.grab().toImage());
    }
    // The Sound tab with the microphone chosen: its device and what is analysed.
    view.tabs()->setCurrentIndex(1);
    fixture.settings().setVelocitySource(VelocitySource::microphone);
    QApplication::processEvents();
    save(QStringLiteral("settings-sound-microphone"), view.grab().toImage());

    using Outcome = UpdateCheckResult::Outcome;
    for (const auto& [name, outcome] : {std::pair{"update-available", Outcome::updateAvailable},
                                        {"update-up-to-date", Outcome::upToDate},
                                        {"update-failed", Outcome::failed}}) {
        UpdateDialog dialog({outcome, "0.1.0", "1.2", "https://example.org/clavio/releases/1.2",
                             "Could not reach https://example.org/appcast.xml: "
                             "Couldn't connect to server"},
                            {});
        save(QLatin1String(name), dialog);
    }
    return gFailures == 0 ? 0 : 1;
}
