#include "app/views/general_tab.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QShowEvent>
#include <QVBoxLayout>

#include "app/services/coordinator_bridge.h"
#include "app/services/user_actions.h"
#include "app/widgets/form_section.h"
#include "app/widgets/toggle_switch.h"
#include "engine/keyboard/key_layout.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/settings/tocca_settings.h"

namespace clavio {

GeneralTab::GeneralTab(CoordinatorBridge& bridge, LoginItemAction loginItem, QWidget* parent)
    : QWidget(parent), _settings(bridge.coordinator().settings()),
      _loginItem(std::move(loginItem)) {
    setObjectName(QStringLiteral("generalTab"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    auto* section = new FormSection;
    _switch = new ToggleSwitch;
    _switch->setObjectName(QStringLiteral("launchAtLogin"));
    _switch->setAccessibleName(QStringLiteral("Launch at login"));
    section->addRow(QStringLiteral("Launch at login"), _switch);
    column->addWidget(section);

    auto* shortcutSection = new FormSection;
    _shortcut = new ShortcutRecorder(bridge.coordinator());
    shortcutSection->addRow(QStringLiteral("Sound on/off shortcut"), _shortcut);
    column->addWidget(shortcutSection);
    column->addStretch(1);

    connect(_switch, &ToggleSwitch::toggled, this, &GeneralTab::setLoginEnabled);
    connect(&bridge, &CoordinatorBridge::settingsChanged, this, [this](SettingsKey key) {
        if (key == SettingsKey::toggleShortcut) {
            _shortcut->refresh();
        }
    });
}

ShortcutRecorder::ShortcutRecorder(ToccaCoordinator& coordinator, QWidget* parent)
    : QWidget(parent), _coordinator(coordinator) {
    setObjectName(QStringLiteral("shortcutRecorder"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    _field = new QPushButton;
    _field->setObjectName(QStringLiteral("shortcutField"));
    _field->setAccessibleName(QStringLiteral("Sound on/off shortcut"));
    _field->setMinimumWidth(150);
    _field->installEventFilter(this);
    _clear = new QPushButton(QStringLiteral("Clear"));
    _clear->setObjectName(QStringLiteral("shortcutClear"));
    row->addWidget(_field);
    row->addWidget(_clear);
    column->addLayout(row);
    _message = new QLabel;
    _message->setObjectName(QStringLiteral("shortcutMessage"));
    _message->setWordWrap(true);
    _message->hide();
    column->addWidget(_message);

    connect(_field, &QPushButton::clicked, this, [this] { setRecording(!_recording); });
    connect(_clear, &QPushButton::clicked, this, [this] {
        setRecording(false);
        applyToggleShortcut(_coordinator, {});
        refresh();
    });
    refresh();
}

void ShortcutRecorder::refresh() {
    const auto chord = parseKeyChord(_coordinator.settings().toggleShortcut());
    if (_recording) {
        _field->setText(QStringLiteral("Press the keys..."));
    } else {
        _field->setText(chord ? QString::fromStdString(formatKeyChord(*chord))
                              : QStringLiteral("Record Shortcut"));
    }
    _clear->setEnabled(chord.has_value() && !_recording);
}

void ShortcutRecorder::setRecording(bool recording) {
    _recording = recording;
    if (recording) {
        _message->hide();
        _field->setFocus();
    }
    refresh();
}

bool ShortcutRecorder::eventFilter(QObject* watched, QEvent* event) {
    if (watched != _field || !_recording || event->type() != QEvent::KeyPress) {
        return QWidget::eventFilter(watched, event);
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    switch (key->key()) {
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_Shift:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_AltGr:
        return true; // wait for the key that completes the chord
    case Qt::Key_Escape:
        setRecording(false);
        return true;
    default:
        break;
    }
    // The text form: Ctrl, Alt, Shift, Super, then the key as Qt names it
    // ("M", "F5", "Space", "PgUp"), which the chord parser reads.
    QString text;
    const Qt::KeyboardModifiers mods = key->modifiers();
    if (mods & Qt::ControlModifier) {
        text += QStringLiteral("Ctrl+");
    }
    if (mods & Qt::AltModifier) {
        text += QStringLiteral("Alt+");
    }
    if (mods & Qt::ShiftModifier) {
        text += QStringLiteral("Shift+");
    }
    if (mods & Qt::MetaModifier) {
        text += QStringLiteral("Super+");
    }
    const QString keyName = QKeySequence(key->key()).toString(QKeySequence::PortableText);
    text += keyName;
    const auto chord = parseKeyChord(text.toStdString());
    if (!chord) {
        const bool noModifier = !(
            mods & (Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier | Qt::MetaModifier));
        _message->setText(noModifier
                              ? QStringLiteral("Hold Ctrl, Alt, Shift or Super with the key.")
                              : QStringLiteral("%1 cannot be used; choose a letter, digit or "
                                               "function key.")
                                    .arg(keyName));
        _message->show();
        return true;
    }
    _recording = false;
    _message->hide();
    applyToggleShortcut(_coordinator, formatKeyChord(*chord));
    refresh();
    return true;
}

void GeneralTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous()) {
        return; // un-minimising is no new appearance
    }
    const bool stored = _settings.launchAtLogin();
    // Each appearance starts from the settings: a true value re-registers.
    _loginEnabled = false;
    _switch->setCheckedSilently(stored);
    if (stored) {
        setLoginEnabled(true);
    }
}

void GeneralTab::setLoginEnabled(bool enabled) {
    _loginEnabled = enabled;
    _switch->setCheckedSilently(enabled);
    _settings.setLaunchAtLogin(enabled);
    _settings.save();
    if (_loginItem) {
        _loginItem(enabled);
    }
}

} // namespace clavio
