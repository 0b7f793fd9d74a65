// The tray path on a real X server (under xvfb-run): once a process owns the
// tray selection (standing in for a panel's tray area), the icon goes there.
#include <QSystemTrayIcon>
#include <QtTest>

#include <X11/Xlib.h>

#include "app/shell/tray_controller.h"

using namespace clavio;

class TrayXvfbTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void withATrayTheIconGoesThereAndNoWindowOpens() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server (run under xvfb-run)");
        }
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable()); // a bare Xvfb has none
        // Own _NET_SYSTEM_TRAY_S0 and announce the new tray manager as panels do.
        Display* display = XOpenDisplay(nullptr);
        QVERIFY(display);
        const Window root = DefaultRootWindow(display);
        const Window owner = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
        const Atom selection = XInternAtom(display, "_NET_SYSTEM_TRAY_S0", False);
        XSetSelectionOwner(display, selection, owner, CurrentTime);
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = root;
        event.xclient.message_type = XInternAtom(display, "MANAGER", False);
        event.xclient.format = 32;
        event.xclient.data.l[1] = static_cast<long>(selection);
        event.xclient.data.l[2] = static_cast<long>(owner);
        XSendEvent(display, root, False, StructureNotifyMask, &event);
        XSync(display, False);
        QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable());

        TrayController tray;
        int opened = 0;
        tray.setPanelOpener([&] { ++opened; });
        QVERIFY(tray.start() && tray.trayIcon()->isVisible() && opened == 0);
        Q_EMIT tray.trayIcon()->activated(QSystemTrayIcon::Trigger); // a click opens the panel
        Q_EMIT tray.trayIcon()->activated(QSystemTrayIcon::Context); // the menu's does not
        QCOMPARE(opened, 1);
        XDestroyWindow(display, owner);
        XCloseDisplay(display);
    }
};

QTEST_MAIN(TrayXvfbTest)
#include "tray_xvfb.moc"
