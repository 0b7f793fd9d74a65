#include "app/views/menu_bar_dropdown.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>

#include <algorithm>

#include "app/services/coordinator_bridge.h"
#include "app/services/input_group_join.h"
#include "app/services/user_actions.h"
#include "app/updates/sparkle_controller.h"
#include "app/widgets/app_style.h"
#include "app/widgets/panel_row.h"
#include "app/widgets/symbol_glyph.h"
#include "app/widgets/value_slider.h"
#include "app/widgets/warning_glyph.h"
#include "engine/keyboard/key_layout.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/packs/sound_pack_manager.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/settings/tocca_settings.h"

namespace clavio {

namespace {

QLabel* label(const QString& text, const QFont& font, const char* name) {
    auto* l = new QLabel(text);
    l->setObjectName(QLatin1String(name));
    l->setFont(font);
    l->setTextFormat(Qt::PlainText);
    return l;
}

void setTextColour(QWidget* w, const QColor& colour) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::Active, QPalette::WindowText, colour);
    pal.setColor(QPalette::Inactive, QPalette::WindowText, colour);
    w->setPalette(pal);
}

// Popups need a parent surface on Wayland that a tray application does not
// have; there the panel is a frameless tool window that closes when it
// loses activation, which looks and behaves the same.
bool popupsNeedParent() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace

MenuBarDropdown::MenuBarDropdown(CoordinatorBridge& bridge, SparkleController* sparkle, Hooks hooks,
                                 QWidget* parent)
    : QFrame(parent), _bridge(bridge), _coordinator(bridge.coordinator()), _sparkle(sparkle),
      _hooks(std::move(hooks)), _compatibility([this] { openWindowFromPanel("incompatible"); }) {
    setObjectName(QStringLiteral("panel"));
    setWindowTitle(QStringLiteral("Clavio"));
    setFixedWidth(kWidth);
    setAutoFillBackground(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 5, 0, 5);
    column->setSpacing(0);

    column->addWidget(makeWarningRow());
    _warningDivider = makeDivider("warningDivider");
    column->addWidget(_warningDivider);
    column->addWidget(makeEnableRow());
    column->addWidget(makeDivider("enableDivider"));
    column->addWidget(makeVolumeRow());
    column->addWidget(makeDivider("volumeDivider"));
    column->addWidget(makePackSection());
    column->addWidget(makeDivider("packsDivider"));
    column->addWidget(makeFooter());

    auto* quitShortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Q")), this);
    quitShortcut->setObjectName(QStringLiteral("quitShortcut"));
    connect(quitShortcut, &QShortcut::activated, this, [this] {
        if (_hooks.quit) {
            _hooks.quit();
        }
    });

    connect(&_bridge, &CoordinatorBridge::coordinatorChanged, this,
            [this](CoordinatorProperty property) {
                if (property == CoordinatorProperty::hasAccessibilityPermission) {
                    refreshWarning();
                } else if (property == CoordinatorProperty::strikeSource) {
                    refreshStrikeSource();
                }
            });
    connect(&_bridge, &CoordinatorBridge::settingsChanged, this, [this](SettingsKey key) {
        switch (key) {
        case SettingsKey::soundEnabled:
        case SettingsKey::toggleShortcut:
            refreshEnable();
            break;
        case SettingsKey::masterVolume:
            refreshVolume();
            break;
        case SettingsKey::selectedPackName:
            refreshPackMarks();
            break;
        default:
            break;
        }
    });
    connect(&_bridge, &CoordinatorBridge::packsChanged, this, &MenuBarDropdown::rebuildPacks);

    refreshWarning();
    refreshEnable();
    refreshStrikeSource();
    refreshVolume();
    rebuildPacks();
}

QFrame* MenuBarDropdown::makeDivider(const char* name) {
    // A hairline inset from the panel's edges, with a little air around it.
    auto* holder = new QFrame;
    holder->setObjectName(QLatin1String(name));
    auto* box = new QVBoxLayout(holder);
    box->setContentsMargins(10, 4, 10, 4);
    auto* line = new QFrame;
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette pal = line->palette();
    const QColor c = style::tertiaryText(palette());
    pal.setColor(QPalette::Window, QColor(c.red(), c.green(), c.blue(), 110));
    line->setPalette(pal);
    box->addWidget(line);
    return holder;
}

QWidget* MenuBarDropdown::makeWarningRow() {
    _warningRow = new PanelRow;
    _warningRow->setObjectName(QStringLiteral("accessWarning"));
    _warningRow->setCursor(Qt::PointingHandCursor);
    auto* glyph = new WarningGlyph(style::scaledPixels(13), style::orange());
    _warningRow->addWidget(glyph, 0, Qt::AlignVCenter);

    auto* lines = new QWidget;
    auto* box = new QVBoxLayout(lines);
    box->setContentsMargins(0, 0, 0, 0);
    box->setSpacing(1);
    box->addWidget(label(QStringLiteral("Keyboard access required"),
                         style::scaledFont(12, QFont::Medium), "accessTitle"));
    QLabel* hint = label(QStringLiteral("Clavio reads the keyboards in /dev/input, which needs "
                                        "your user in the input group."),
                         style::scaledFont(10), "accessHint");
    hint->setWordWrap(true);
    setTextColour(hint, style::secondaryText(palette()));
    box->addWidget(hint);
    box->addWidget(makeAccessAction());
    _warningRow->addWidget(lines, 1);

    connect(_warningRow, &PanelRow::clicked, this,
            [this] { _coordinator.keyboard().requestPermission(); });
    return _warningRow;
}

QWidget* MenuBarDropdown::makeAccessAction() {
    // With pkexec: a button that asks through the desktop's privilege prompt.
    // Without: the command to type, and a button that copies it.
    auto* action = new QWidget;
    auto* box = new QVBoxLayout(action);
    box->setContentsMargins(0, 4, 0, 0);
    box->setSpacing(3);
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    const QString user = InputGroupJoin::userName();
    const bool prompt = !InputGroupJoin::promptProgram().isEmpty();
    QPushButton* button = nullptr;
    if (prompt) {
        button = new QPushButton(QStringLiteral("Join the input group..."));
        button->setObjectName(QStringLiteral("accessJoin"));
    } else {
        QLabel* command =
            label(InputGroupJoin::manualCommand(user), style::scaledFont(10), "accessCommand");
        command->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        command->setTextInteractionFlags(Qt::TextSelectableByMouse);
        box->addWidget(command);
        button = new QPushButton(QStringLiteral("Copy"));
        button->setObjectName(QStringLiteral("accessCopy"));
    }
    buttons->addWidget(button);
    buttons->addStretch(1);
    box->addLayout(buttons);
    _accessStatus = label(QString(), style::scaledFont(10), "accessStatus");
    _accessStatus->setWordWrap(true);
    _accessStatus->hide();
    box->addWidget(_accessStatus);

    const auto say = [this](const QString& text) {
        _accessStatus->setText(text);
        _accessStatus->show();
        fitHeight();
    };
    if (prompt) {
        auto* join = new InputGroupJoin(this);
        connect(button, &QPushButton::clicked, this, [join, button] {
            if (join->start()) {
                button->setEnabled(false);
            }
        });
        connect(join, &InputGroupJoin::finished, this,
                [say, button](bool ok, const QString& detail) {
                    button->setEnabled(true);
                    say(ok ? QStringLiteral("Done. Log out and back in to finish.")
                           : QStringLiteral("Not changed: ") + detail);
                });
    } else {
        connect(button, &QPushButton::clicked, this, [say, user] {
            QGuiApplication::clipboard()->setText(InputGroupJoin::manualCommand(user));
            say(QStringLiteral("Copied. Run it in a terminal, then log out and back in."));
        });
    }
    return action;
}

QWidget* MenuBarDropdown::makeEnableRow() {
    _enableRow = new PanelRow;
    _enableRow->setObjectName(QStringLiteral("enableRow"));
    _enableRow->content()->setSpacing(10);
    _enableDot = new SymbolGlyph(Symbol::dot, 10, style::green());
    _enableDot->setObjectName(QStringLiteral("enableDot"));
    _enableRow->addWidget(_enableDot, 0, Qt::AlignVCenter);
    auto* lines = new QWidget;
    auto* box = new QVBoxLayout(lines);
    box->setContentsMargins(0, 0, 0, 0);
    box->setSpacing(1);
    _enableLabel = label(QString(), style::scaledFont(13, QFont::Medium), "enableLabel");
    box->addWidget(_enableLabel);
    _strikeLabel = label(QString(), style::scaledFont(10), "strikeSource");
    setTextColour(_strikeLabel, style::secondaryText(palette()));
    box->addWidget(_strikeLabel);
    _enableRow->addWidget(lines, 1);
    _shortcutLabel = label(QString(), style::scaledFont(10), "enableShortcut");
    setTextColour(_shortcutLabel, style::tertiaryText(palette()));
    _enableRow->addWidget(_shortcutLabel, 0, Qt::AlignRight | Qt::AlignVCenter);
    connect(_enableRow, &PanelRow::clicked, this, [this] {
        toggleSound(_coordinator);
        refreshEnable();
    });
    return _enableRow;
}

QWidget* MenuBarDropdown::makeVolumeRow() {
    auto* row = new QWidget;
    row->setObjectName(QStringLiteral("volumeRow"));
    auto* box = new QHBoxLayout(row);
    box->setContentsMargins(10, 4, 10, 4);
    box->setSpacing(8);
    const QColor secondary = style::secondaryText(palette());
    const int glyph = style::scaledPixels(14);
    box->addWidget(new SymbolGlyph(Symbol::speaker, glyph, secondary));
    _volumeSlider = new ValueSlider(1.0);
    _volumeSlider->setObjectName(QStringLiteral("volumeSlider"));
    _volumeSlider->setAccessibleName(QStringLiteral("Volume"));
    box->addWidget(_volumeSlider, 1);
    box->addWidget(new SymbolGlyph(Symbol::speakerWave3, glyph, secondary));
    connect(_volumeSlider, &ValueSlider::valueEdited, this,
            [this](float volume) { applyVolume(_coordinator, volume); });
    return row;
}

QWidget* MenuBarDropdown::makePackSection() {
    auto* section = new QWidget;
    section->setObjectName(QStringLiteral("packSection"));
    auto* box = new QVBoxLayout(section);
    box->setContentsMargins(0, 2, 0, 0);
    box->setSpacing(0);
    QLabel* heading = label(QStringLiteral("Sound Packs"), style::scaledFont(11, QFont::DemiBold),
                            "packsHeading");
    heading->setContentsMargins(10, 2, 10, 3);
    setTextColour(heading, style::secondaryText(palette()));
    box->addWidget(heading, 0, Qt::AlignLeft);
    _packRows = new QVBoxLayout;
    _packRows->setContentsMargins(0, 0, 0, 0);
    _packRows->setSpacing(0);
    box->addLayout(_packRows);
    return section;
}

QWidget* MenuBarDropdown::makeFooter() {
    auto* footer = new QWidget;
    footer->setObjectName(QStringLiteral("footer"));
    auto* box = new QVBoxLayout(footer);
    box->setContentsMargins(0, 0, 0, 0);
    box->setSpacing(0);

    auto* settingsRow = new PanelRow;
    settingsRow->setObjectName(QStringLiteral("settingsButton"));
    settingsRow->addWidget(
        label(QStringLiteral("Settings..."), style::scaledFont(13), "settingsLabel"), 1);
    connect(settingsRow, &PanelRow::clicked, this, [this] { openWindowFromPanel("settings"); });
    box->addWidget(settingsRow);

    _updatesRow = new PanelRow;
    _updatesRow->setObjectName(QStringLiteral("updatesButton"));
    QLabel* updates =
        label(QStringLiteral("Check for Updates..."), style::scaledFont(12), "updatesLabel");
    setTextColour(updates, style::secondaryText(palette()));
    _updatesRow->addWidget(updates, 1);
    _updatesRow->setEnabled(_sparkle && _sparkle->canCheckForUpdates());
    if (_sparkle) {
        connect(_sparkle, &SparkleController::canCheckForUpdatesChanged, _updatesRow,
                &PanelRow::setEnabled);
    }
    connect(_updatesRow, &PanelRow::clicked, this, [this] {
        if (_popupMode) {
            hide();
        }
        if (_sparkle) {
            _sparkle->checkForUpdates();
        }
    });
    box->addWidget(_updatesRow);

    auto* quitRow = new PanelRow;
    quitRow->setObjectName(QStringLiteral("quitButton"));
    quitRow->addWidget(label(QStringLiteral("Quit"), style::scaledFont(13), "quitLabel"), 1);
    QLabel* hint = label(QStringLiteral("Ctrl+Q"), style::scaledFont(10), "quitHint");
    setTextColour(hint, style::tertiaryText(palette()));
    quitRow->addWidget(hint, 0, Qt::AlignRight | Qt::AlignVCenter);
    connect(quitRow, &PanelRow::clicked, this, [this] {
        if (_hooks.quit) {
            _hooks.quit();
        }
    });
    box->addWidget(quitRow);
    return footer;
}

void MenuBarDropdown::refreshWarning() {
    const bool missing = !_coordinator.hasAccessibilityPermission();
    if (_warningRow->isHidden() == !missing) {
        return;
    }
    _warningRow->setHidden(!missing);
    _warningDivider->setHidden(!missing);
    fitHeight();
}

void MenuBarDropdown::fitHeight() {
    // The width is fixed; the height follows the rows that are shown.
    layout()->activate();
    resize(kWidth, sizeHint().height());
}

void MenuBarDropdown::refreshEnable() {
    const bool enabled = _coordinator.settings().soundEnabled();
    _enableDot->setSymbol(Symbol::dot, enabled ? style::green() : style::grey());
    _enableLabel->setText(enabled ? QStringLiteral("Clavio Enabled")
                                  : QStringLiteral("Clavio Disabled"));
    // The mute shortcut, as the General tab shows it, when one is set and
    // valid.
    const auto chord = parseKeyChord(_coordinator.settings().toggleShortcut());
    _shortcutLabel->setText(chord ? QString::fromStdString(formatKeyChord(*chord)) : QString());
    _shortcutLabel->setHidden(!chord);
    refreshStrikeSource(); // its line is cut to the room the shortcut leaves
}

void MenuBarDropdown::refreshStrikeSource() {
    const QString text = QString::fromStdString(describe(_coordinator.strikeSource()));
    // A long sensor name is cut to the row; the tooltip keeps it whole.
    int width = kWidth - 20 - 10 - _enableDot->sizeHint().width();
    if (!_shortcutLabel->isHidden()) {
        width -= _shortcutLabel->sizeHint().width() + _enableRow->content()->spacing();
    }
    _strikeLabel->setText(_strikeLabel->fontMetrics().elidedText(text, Qt::ElideRight, width));
    _strikeLabel->setToolTip(text);
}

void MenuBarDropdown::refreshVolume() {
    _volumeSlider->setShownValue(_coordinator.settings().masterVolume());
}

void MenuBarDropdown::rebuildPacks() {
    while (QLayoutItem* item = _packRows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    _packMarks.clear();
    const SoundPackManager& packs = _coordinator.packManager();
    const QFont font = style::scaledFont(13);
    const int glyphSize = style::scaledPixels(13);
    // The name gets what the row leaves: its margins, the mark and the gap.
    const int nameWidth = kWidth - 20 - glyphSize - 8;
    for (const std::string& name : packs.availablePacks()) {
        auto* row = new PanelRow;
        row->setObjectName(QStringLiteral("packRow"));
        row->setProperty("packName", QString::fromStdString(name));
        auto* mark = new SymbolGlyph(Symbol::circle, glyphSize, style::secondaryText(palette()));
        row->addWidget(mark, 0, Qt::AlignVCenter);
        const QString display = QString::fromStdString(packs.displayName(name));
        QLabel* text = label(QFontMetrics(font).elidedText(display, Qt::ElideRight, nameWidth),
                             font, "packName");
        text->setToolTip(display);
        row->addWidget(text, 1);
        row->setAccessibleName(display);
        connect(row, &PanelRow::clicked, this, [this, name] {
            selectPack(_coordinator, name);
            refreshPackMarks();
        });
        _packRows->addWidget(row);
        // A layout shows the widgets added to a visible parent only on a
        // later turn; shown now, they count in the height fitted below.
        row->show();
        _packMarks.emplace_back(name, mark);
    }
    refreshPackMarks();
    fitHeight();
}

void MenuBarDropdown::refreshPackMarks() {
    const std::string selected = _coordinator.settings().selectedPackName();
    for (const auto& [name, mark] : _packMarks) {
        if (name == selected) {
            mark->setSymbol(Symbol::checkmarkCircle, style::green());
        } else {
            mark->setSymbol(Symbol::circle, style::secondaryText(palette()));
        }
    }
}

std::vector<std::string> MenuBarDropdown::listedPacks() const {
    std::vector<std::string> names;
    for (const auto& entry : _packMarks) {
        names.push_back(entry.first);
    }
    return names;
}

void MenuBarDropdown::openWindowFromPanel(const std::string& id) {
    // A panel that pops up from the tray steps aside for the window, as a
    // menu would; as a window of its own it stays.
    if (_popupMode && isVisible()) {
        hide();
    }
    if (_hooks.openWindow) {
        _hooks.openWindow(id);
    }
}

void MenuBarDropdown::popup(const QRect& anchor) {
    _popupMode = true;
    const Qt::WindowFlags flags =
        popupsNeedParent() ? (Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
                           : (Qt::Popup | Qt::FramelessWindowHint);
    if (windowFlags() != flags) {
        setWindowFlags(flags);
    }
    setFrameStyle(QFrame::StyledPanel | QFrame::Plain);
    fitHeight();

    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    QPoint at = anchor.bottomLeft() + QPoint(0, 4);
    if (screen) {
        const QRect area = screen->availableGeometry();
        // Below an icon in a top panel, above one in a bottom panel.
        if (anchor.center().y() > area.center().y()) {
            at.setY(anchor.top() - height() - 4);
        }
        at.setX(std::clamp(anchor.center().x() - width() / 2, area.left(),
                           std::max(area.left(), area.right() - width())));
        at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - height())));
    }
    move(at);
    show();
    raise();
    activateWindow();
}

void MenuBarDropdown::showAsWindow() {
    _popupMode = false;
    if (windowFlags() != Qt::Window) {
        setWindowFlags(Qt::Window);
    }
    setFrameStyle(QFrame::NoFrame);
    show();
    raise();
    activateWindow();
}

void MenuBarDropdown::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    if (!event->spontaneous()) {
        // The display values refresh only while the panel shows: at once
        // now, then at the display cadence until it hides.
        _coordinator.setDisplayWatched(true);
        // Refresh what may have changed while hidden, then the check.
        refreshWarning();
        refreshEnable();
        refreshStrikeSource();
        refreshVolume();
        refreshPackMarks();
        _compatibility.panelAppeared(_coordinator.sensorAvailable());
    }
}

void MenuBarDropdown::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    if (!event->spontaneous()) {
        _coordinator.setDisplayWatched(false);
        Q_EMIT hidden();
    }
}

void MenuBarDropdown::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && _popupMode) {
        hide();
        return;
    }
    QFrame::keyPressEvent(event);
}

void MenuBarDropdown::changeEvent(QEvent* event) {
    QFrame::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && _popupMode && popupsNeedParent() &&
        isVisible() && !isActiveWindow()) {
        hide();
    }
}

void MenuBarDropdown::closeEvent(QCloseEvent* event) {
    if (!_popupMode && _hooks.quit) {
        event->accept();
        _hooks.quit();
        return;
    }
    QFrame::closeEvent(event);
}

} // namespace clavio
