// The tray application's composition root: it builds the real services and
// hands them to the views. It runs as a background accessory: a tray icon and
// no main window, and closing a window never ends it.
#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>

#include "clavio_logo.h"
#include "clavio_platform/file_sync.h"
#include "incompatible_view.h"
#include "open_url_hook.h"
#include "sparkle_controller.h"
#include "tray_controller.h"
#include "window_registry.h"

using namespace clavio;

namespace {

QIcon applicationIcon() {
    QIcon icon = QIcon::fromTheme(QStringLiteral("clavio"));
    if (icon.isNull()) {
        for (int size : {16, 24, 32, 48, 64, 128, 256}) {
            icon.addPixmap(QPixmap::fromImage(ClavioLogo::render(size)));
        }
    }
    return icon;
}

// Without a tray the application still needs a face: a small window with
// the same entries as the tray menu.
QWidget* makeFallbackPanel(SparkleController& sparkle) {
    auto* panel = new QWidget;
    panel->setWindowTitle(QStringLiteral("Clavio"));
    auto* column = new QVBoxLayout(panel);
    column->addWidget(new ClavioLogo(48), 0, Qt::AlignHCenter);
    auto* check = new QPushButton(QStringLiteral("Check for Updates..."));
    check->setEnabled(sparkle.canCheckForUpdates());
    QObject::connect(&sparkle, &SparkleController::canCheckForUpdatesChanged, check,
                     &QPushButton::setEnabled);
    QObject::connect(check, &QPushButton::clicked, &sparkle, &SparkleController::checkForUpdates);
    column->addWidget(check);
    auto* quit = new QPushButton(QStringLiteral("Quit"));
    QObject::connect(quit, &QPushButton::clicked, qApp, &QApplication::quit);
    column->addWidget(quit);
    auto* shortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Q")), panel);
    QObject::connect(shortcut, &QShortcut::activated, qApp, &QApplication::quit);
    return panel;
}

} // namespace

int main(int argc, char** argv) {
    platform::installFileSync();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Clavio"));
    QApplication::setApplicationVersion(QStringLiteral(CLAVIO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("clavio"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(applicationIcon());

    const OpenUrlHook openUrl = [](std::string url) {
        if (isWebAddress(url)) {
            QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
        }
    };

    SparkleController sparkle;
    sparkle.setUrlOpener(openUrl);

    WindowRegistry windows;
    windows.declare("incompatible", [&] {
        auto* view = new IncompatibleView;
        view->setUrlOpener(openUrl);
        QObject::connect(view, &IncompatibleView::quitRequested, qApp, &QApplication::quit);
        return view;
    });
    windows.declare("panel", [&] { return makeFallbackPanel(sparkle); });

    QMenu menu;
    QAction* check = menu.addAction(QStringLiteral("Check for Updates..."));
    check->setEnabled(sparkle.canCheckForUpdates());
    QObject::connect(&sparkle, &SparkleController::canCheckForUpdatesChanged, check,
                     &QAction::setEnabled);
    QObject::connect(check, &QAction::triggered, &sparkle, &SparkleController::checkForUpdates);
    menu.addSeparator();
    QAction* quit = menu.addAction(QStringLiteral("Quit"));
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    QObject::connect(quit, &QAction::triggered, qApp, &QApplication::quit);

    TrayController tray;
    tray.setSoundEnabled(true);
    tray.setContextMenu(&menu);
    tray.setPanelOpener([&] { windows.open("panel"); });
    tray.start();

    return app.exec();
}
