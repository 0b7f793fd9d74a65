// The tray path on a real X server (run under xvfb-run): once a process owns
// the system tray selection, the icon goes to the tray and the panel does not
// open as a window. The selection owner here is a stand-in for a panel's tray
// area; it accepts the icon's dock request and does nothing else.
#include <QSystemTrayIcon>
#include <QtTest>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "app/shell/tray_controller.h"

using namespace clavio;

namespace {

// Owns _NET_SYSTEM_TRAY_S0 of the default screen for its lifetime.
class TraySelectionOwner {
public:
    TraySelectionOwner() {
        _display = XOpenDisplay(nullptr);
        if (!_display) {
            return;
        }
        const int screen = DefaultScreen(_display);
        _window = XCreateSimpleWindow(_display, RootWindow(_display, screen), 0, 0, 1, 1, 0, 0, 0);
        const Atom selection = XInternAtom(_display, "_NET_SYSTEM_TRAY_S0", False);
        XSetSelectionOwner(_display, selection, _window, CurrentTime);
        // Announce the new tray manager the way panels do.
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = RootWindow(_display, screen);
        event.xclient.message_type = XInternAtom(_display, "MANAGER", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = CurrentTime;
        event.xclient.data.l[1] = static_cast<long>(selection);
        event.xclient.data.l[2] = static_cast<long>(_window);
        XSendEvent(_display, RootWindow(_display, screen), False, StructureNotifyMask, &event);
        XSync(_display, False);
        _owned = XGetSelectionOwner(_display, selection) == _window;
    }
    ~TraySelectionOwner() {
        if (_display) {
            XDestroyWindow(_display, _window);
            XCloseDisplay(_display);
        }
    }
    bool owned() const { return _owned; }

private:
    Display* _display = nullptr;
    Window _window = 0;
    bool _owned = false;
};

} // namespace

class TrayXvfbTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void withATrayTheIconGoesThereAndNoWindowOpens() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server (run under xvfb-run)");
        }
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable()); // a bare Xvfb has none
        TraySelectionOwner owner;
        QVERIFY(owner.owned());
        QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable());

        TrayController tray;
        int opened = 0;
        tray.setPanelOpener([&] { ++opened; });
        QVERIFY(tray.start());
        QVERIFY(tray.usesTray());
        QVERIFY(tray.trayIcon()->isVisible());
        QCOMPARE(opened, 0);
        // A click on the icon opens the panel.
        Q_EMIT tray.trayIcon()->activated(QSystemTrayIcon::Trigger);
        QCOMPARE(opened, 1);
        // The context menu's click does not.
        Q_EMIT tray.trayIcon()->activated(QSystemTrayIcon::Context);
        QCOMPARE(opened, 1);
    }
};

QTEST_MAIN(TrayXvfbTest)
#include "tray_xvfb.moc"
