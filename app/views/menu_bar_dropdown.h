// The panel that opens from the tray icon, 260 px wide, one column of rows
// separated by dividers:
//   1. the keyboard-access warning (only while permission is missing): why
//      the input group is needed and a button that joins it through pkexec
//      (or, without pkexec, the command and a Copy button); a click on the
//      row shows the longer help
//   2. the enable row: a green or grey dot and "Clavio Enabled" /
//      "Clavio Disabled", and under it where the strength of a strike comes
//      from ("Fixed strength: no accelerometer", "Measuring strikes with ...");
//      on the right the mute shortcut when one is set ("Ctrl+Alt+M")
//   3. the volume row: a slider over 0..1 between two speaker symbols
//   4. "Sound Packs" and one row per pack, a check mark on the selected one
//   5. "Settings...", "Check for Updates..." and "Quit" (Ctrl+Q)
// Each time the panel appears it runs the compatibility check, which opens
// the incompatible window once per process on a machine without the
// accelerometer.
//
// The panel shows the coordinator's and the settings' current state and
// redraws through the CoordinatorBridge's signals whenever a shown value
// changes, whoever changed it.
//
// Threading: main thread.
#pragma once

#include <QFrame>
#include <QPointer>

#include <functional>
#include <string>
#include <vector>

#include "app/services/compatibility_check.h"

class QLabel;
class QVBoxLayout;

namespace clavio {

class CoordinatorBridge;
class PanelRow;
class SparkleController;
class SymbolGlyph;
class ToccaCoordinator;
class ValueSlider;

class MenuBarDropdown : public QFrame {
    Q_OBJECT
public:
    static constexpr int kWidth = 260;

    struct Hooks {
        // Opens a window by identifier ("settings", "incompatible") and
        // brings the application forward.
        std::function<void(const std::string& id)> openWindow;
        // Ends the application.
        std::function<void()> quit;
    };

    // `sparkle` may be null: "Check for Updates..." then stays disabled.
    MenuBarDropdown(CoordinatorBridge& bridge, SparkleController* sparkle, Hooks hooks,
                    QWidget* parent = nullptr);

    // Shows the panel as a popup next to `anchor` (the tray icon's
    // rectangle, or a point-sized rectangle at the pointer), on the screen
    // that holds it. A click elsewhere or Escape closes it.
    void popup(const QRect& anchor);
    // Shows the panel as a small normal window, for desktops without a tray.
    // Closing that window ends the application, which has no other face.
    void showAsWindow();
    bool isPopup() const { return _popupMode; }

    const CompatibilityCheck& compatibilityCheck() const { return _compatibility; }
    // The check ran in an earlier panel of this process: it does not run again.
    void skipCompatibilityCheck() { _compatibility.markChecked(); }

    // The pack folder names listed, in order (for tests and screenshots).
    std::vector<std::string> listedPacks() const;

Q_SIGNALS:
    // The panel was hidden (by the program, the user or a click elsewhere).
    void hidden();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* makeWarningRow();
    QWidget* makeAccessAction();
    QWidget* makeEnableRow();
    QWidget* makeVolumeRow();
    QWidget* makePackSection();
    QWidget* makeFooter();
    QFrame* makeDivider(const char* name);

    void refreshWarning();
    void refreshEnable();
    void refreshStrikeSource();
    void refreshVolume();
    void rebuildPacks();
    void refreshPackMarks();
    void openWindowFromPanel(const std::string& id);
    void fitHeight();

    CoordinatorBridge& _bridge;
    ToccaCoordinator& _coordinator;
    QPointer<SparkleController> _sparkle;
    Hooks _hooks;
    CompatibilityCheck _compatibility;
    bool _popupMode = false;

    PanelRow* _warningRow = nullptr;
    QFrame* _warningDivider = nullptr;
    PanelRow* _enableRow = nullptr;
    SymbolGlyph* _enableDot = nullptr;
    QLabel* _enableLabel = nullptr;
    QLabel* _strikeLabel = nullptr;
    QLabel* _shortcutLabel = nullptr;
    QLabel* _accessStatus = nullptr;
    ValueSlider* _volumeSlider = nullptr;
    QVBoxLayout* _packRows = nullptr;
    std::vector<std::pair<std::string, SymbolGlyph*>> _packMarks;
    PanelRow* _updatesRow = nullptr;
};

} // namespace clavio
