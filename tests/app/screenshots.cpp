// Renders the application's views offscreen into PNG files, for review and
// for the README: screenshots DIR. Fails when a view renders blank or a file
// cannot be written.
#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QPainter>
#include <QWidget>

#include <cstdio>
#include <functional>

#include <QTabWidget>

#include "engine/settings/tocca_settings.h"
#include "app/widgets/clavio_logo.h"
#include "app/views/clavio_settings_view.h"
#include "tests/app/coordinator_fixture.h"
#include "app/views/incompatible_view.h"
#include "app/views/menu_bar_dropdown.h"
#include "app/shell/menu_bar_icon.h"
#include "app/updates/sparkle_controller.h"
#include "app/updates/update_dialog.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

int gFailures = 0;

bool hasContent(const QImage& image) {
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) != first) {
                return true;
            }
        }
    }
    return false;
}

void save(const QDir& dir, const QString& name, const QImage& image) {
    const QString path = dir.filePath(name + QStringLiteral(".png"));
    if (image.isNull() || !hasContent(image)) {
        std::fprintf(stderr, "screenshots: %s is blank\n", qPrintable(name));
        ++gFailures;
        return;
    }
    if (!image.save(path)) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
        ++gFailures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

void saveWidget(const QDir& dir, const QString& name, QWidget& widget) {
    widget.show();
    QApplication::processEvents();
    save(dir, name, widget.grab().toImage());
    widget.hide();
}

// Every tray size of both states on a panel colour, at natural size and
// magnified 8x without smoothing so single pixels can be inspected.
void iconSheet(const QDir& dir, const QString& name, QColor panel) {
    const auto sizes = MenuBarIcon::kSizes;
    const int gap = 12;
    int width = gap;
    for (int s : sizes) {
        width += s + gap;
    }
    const int height = gap + 48 + gap + 48 + gap;
    QImage sheet(width, height, QImage::Format_ARGB32);
    sheet.fill(panel);
    QPainter p(&sheet);
    int x = gap;
    for (int s : sizes) {
        p.drawImage(x, gap + (48 - s) / 2, MenuBarIcon::render(true, s));
        p.drawImage(x, 2 * gap + 48 + (48 - s) / 2, MenuBarIcon::render(false, s));
        x += s + gap;
    }
    p.end();
    save(dir, name, sheet);
    save(dir, name + QStringLiteral("-zoom"), sheet.scaled(sheet.size() * 8));
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: clavio_app_screenshots DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(dir.absolutePath())) {
        std::fprintf(stderr, "screenshots: cannot create %s\n", argv[1]);
        return 1;
    }

    iconSheet(dir, QStringLiteral("tray-icon-light-panel"), QColor(246, 245, 244));
    iconSheet(dir, QStringLiteral("tray-icon-dark-panel"), QColor(36, 36, 36));

    {
        QWidget logos;
        logos.setAutoFillBackground(true);
        auto* row = new QHBoxLayout(&logos);
        for (double size : {16.0, 32.0, 64.0, 128.0}) {
            row->addWidget(new ClavioLogo(size), 0, Qt::AlignBottom);
        }
        saveWidget(dir, QStringLiteral("logo"), logos);
    }

    IncompatibleView incompatible;
    saveWidget(dir, QStringLiteral("incompatible"), incompatible);

    // The panel as it pops up from the tray, before and after keyboard
    // access, on a real coordinator with the built-in packs and one user pack.
    for (const bool access : {false, true}) {
        FixtureOptions options;
        options.keyboardAccess = access;
        CoordinatorFixture fixture(options);
        fixture.addUserPack("midnight", R"({"name": "Midnight Blue", "author": "Clavio",
            "license": "CC0-1.0", "groups": {"alpha": {"soft": ["alpha/soft_1.wav"]}}})");
        fixture.settings().setMasterVolume(0.7f);
        SparkleController::Options updates;
        updates.feedUrl = "http://127.0.0.1:9/appcast.xml"; // never fetched
        SparkleController sparkle(updates);
        MenuBarDropdown panel(fixture.bridge(), &sparkle, {});
        panel.popup(QRect(300, 0, 1, 1));
        QApplication::processEvents();
        save(dir, access ? QStringLiteral("panel") : QStringLiteral("panel-keyboard-access"),
             panel.grab().toImage());
        panel.hide();
    }

    {
        FixtureOptions options;
        options.settingsFile = nlohmann::json{{"masterVolume", 0.8}, {"launchAtLogin", false}};
        CoordinatorFixture fixture(options);
        ClavioSettingsView view(fixture.bridge(), [](bool) { return true; }, {});
        const QString names[] = {QStringLiteral("settings-general"),
                                 QStringLiteral("settings-sound"),
                                 QStringLiteral("settings-about")};
        view.show();
        for (int tab = 0; tab < 3; ++tab) {
            view.tabs()->setCurrentIndex(tab);
            QApplication::processEvents();
            save(dir, names[tab], view.grab().toImage());
        }
        view.hide();
    }

    UpdateCheckResult result;
    result.currentVersion = "0.1.0";
    result.outcome = UpdateCheckResult::Outcome::updateAvailable;
    result.version = "1.2";
    result.link = "https://example.org/clavio/releases/1.2";
    {
        UpdateDialog dialog(result, {});
        saveWidget(dir, QStringLiteral("update-available"), dialog);
    }
    result.outcome = UpdateCheckResult::Outcome::upToDate;
    {
        UpdateDialog dialog(result, {});
        saveWidget(dir, QStringLiteral("update-up-to-date"), dialog);
    }
    result.outcome = UpdateCheckResult::Outcome::failed;
    result.error = "Could not reach https://example.org/appcast.xml: Couldn't connect to server";
    {
        UpdateDialog dialog(result, {});
        saveWidget(dir, QStringLiteral("update-failed"), dialog);
    }
    return gFailures == 0 ? 0 : 1;
}
