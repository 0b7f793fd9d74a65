#include "app/views/sound_tab.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include <algorithm>

#include "app/services/coordinator_bridge.h"
#include "app/services/user_actions.h"
#include "app/views/readouts.h"
#include "app/views/sound_packs_row.h"
#include "app/widgets/form_section.h"
#include "app/widgets/toggle_switch.h"
#include "app/widgets/value_slider.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/settings/tocca_settings.h"

namespace clavio {

namespace {

QLabel* readout(const char* name) {
    auto* l = new QLabel;
    l->setObjectName(QLatin1String(name));
    l->setFixedWidth(SoundTab::kReadoutWidth);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    l->setTextFormat(Qt::PlainText);
    // The desktop font's digits share one width (DejaVu, Cantarell, Noto),
    // so the readout does not jitter while dragging.
    return l;
}

// label | slider | readout, with the labels of one form sharing a width so
// the sliders line up.
void sliderRow(FormSection& section, const QString& text, int labelWidth, ValueSlider* slider,
               QLabel* value) {
    QHBoxLayout* row = section.addRow();
    auto* label = new QLabel(text);
    label->setMinimumWidth(labelWidth);
    label->setBuddy(slider);
    slider->setAccessibleName(text);
    row->addWidget(label);
    row->addWidget(slider, 1);
    row->addWidget(value);
}

} // namespace

SoundTab::SoundTab(CoordinatorBridge& bridge, QWidget* parent)
    : QWidget(parent), _coordinator(bridge.coordinator()) {
    setObjectName(QStringLiteral("soundTab"));
    const QFontMetrics metrics(font());
    const int labelWidth = std::max({metrics.horizontalAdvance(QStringLiteral("Volume")),
                                     metrics.horizontalAdvance(QStringLiteral("Stereo width")),
                                     metrics.horizontalAdvance(QStringLiteral("Fixed strength")),
                                     metrics.horizontalAdvance(QStringLiteral("Pitch")),
                                     metrics.horizontalAdvance(QStringLiteral("Gain"))});

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);

    auto* volumeSection = new FormSection;
    _volume = new ValueSlider(1.0);
    _volume->setObjectName(QStringLiteral("volumeSlider"));
    _volumeReadout = readout("volumeReadout");
    sliderRow(*volumeSection, QStringLiteral("Volume"), labelWidth, _volume, _volumeReadout);
    column->addWidget(volumeSection);

    auto* modifierSection = new FormSection;
    _modifierSwitch = new ToggleSwitch;
    _modifierSwitch->setObjectName(QStringLiteral("disableModifierSounds"));
    _modifierSwitch->setAccessibleName(QStringLiteral("Disable modifier key sounds"));
    modifierSection->addRow(QStringLiteral("Disable modifier key sounds"), _modifierSwitch);
    column->addWidget(modifierSection);

    // The choices in the order of VelocitySource, each holding its value.
    auto* strike = new FormSection;
    _strikeSource = new QComboBox;
    _strikeSource->setObjectName(QStringLiteral("strikeSource"));
    _strikeSource->setAccessibleName(QStringLiteral("Strike strength"));
    _strikeSource->addItem(QStringLiteral("Automatic"), int(VelocitySource::automatic));
    _strikeSource->addItem(QStringLiteral("Accelerometer"), int(VelocitySource::accelerometer));
    _strikeSource->addItem(QStringLiteral("Fixed"), int(VelocitySource::fixed));
    _strikeSource->addItem(QStringLiteral("Microphone"), int(VelocitySource::microphone));
    _strikeSource->setToolTip(
        QStringLiteral("Automatic measures each strike when an accelerometer can be read and "
                       "uses the fixed strength otherwise; it never uses the microphone. "
                       "Microphone measures each strike from the loudness of its click. "
                       "Fixed never measures."));
    strike->addRow(QStringLiteral("Strike strength"), _strikeSource);
    _fixedStrength = new ValueSlider(1.0);
    _fixedStrength->setObjectName(QStringLiteral("fixedStrengthSlider"));
    _fixedStrengthReadout = readout("fixedStrengthReadout");
    sliderRow(*strike, QStringLiteral("Fixed strength"), labelWidth, _fixedStrength,
              _fixedStrengthReadout);
    // Per-key levels: the switch, and a reset beside it that forgets what
    // was learned (the running coordinator's levels and their file).
    _perKeySwitch = new ToggleSwitch;
    _perKeySwitch->setObjectName(QStringLiteral("perKeyNormalization"));
    _perKeySwitch->setAccessibleName(QStringLiteral("Even out keys far from the sensor"));
    _perKeySwitch->setToolTip(
        QStringLiteral("Learns how strongly each key's strikes reach the accelerometer and "
                       "evens them out, so the same force sounds the same on every key."));
    _resetKeys = new QPushButton(QStringLiteral("Reset"));
    _resetKeys->setObjectName(QStringLiteral("resetKeyLevels"));
    _resetKeys->setAccessibleName(QStringLiteral("Reset the learned key levels"));
    QHBoxLayout* perKeyRow = strike->addRow();
    perKeyRow->addWidget(new QLabel(QStringLiteral("Even out keys far from the sensor")), 1);
    perKeyRow->addWidget(_resetKeys);
    perKeyRow->addWidget(_perKeySwitch);
    column->addWidget(strike);

    auto* microphone = new FormSection(QStringLiteral("Microphone"));
    _microphoneSection = microphone;
    microphone->setObjectName(QStringLiteral("microphoneSection"));
    _microphoneDevice = new QComboBox;
    _microphoneDevice->setObjectName(QStringLiteral("microphoneDevice"));
    _microphoneDevice->setAccessibleName(QStringLiteral("Capture device"));
    _microphoneDevice->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    _microphoneDevice->setMinimumContentsLength(18);
    microphone->addRow(QStringLiteral("Capture device"), _microphoneDevice);
    auto* privacy = new QLabel(
        QStringLiteral("Clavio listens for the loudness of each key click. The sound is analysed "
                       "as it arrives and never stored or sent."));
    privacy->setObjectName(QStringLiteral("microphonePrivacy"));
    privacy->setWordWrap(true);
    privacy->setTextFormat(Qt::PlainText);
    microphone->addRow()->addWidget(privacy);
    column->addWidget(microphone);

    auto* variation = new FormSection(QStringLiteral("Variation"));
    _pitch = new ValueSlider(0.15);
    _pitch->setObjectName(QStringLiteral("pitchSlider"));
    _pitchReadout = readout("pitchReadout");
    sliderRow(*variation, QStringLiteral("Pitch"), labelWidth, _pitch, _pitchReadout);
    _gain = new ValueSlider(0.2);
    _gain->setObjectName(QStringLiteral("gainSlider"));
    _gainReadout = readout("gainReadout");
    sliderRow(*variation, QStringLiteral("Gain"), labelWidth, _gain, _gainReadout);
    column->addWidget(variation);
    column->addWidget(new SoundOutputSection(bridge, labelWidth));
    column->addWidget(new SoundPacksRow(_coordinator.packManager()));
    column->addStretch(1);

    // Each action writes the settings; the readout is redrawn at once from
    // the stored value (the bridge's redraw follows on the next turn).
    connect(_volume, &ValueSlider::valueEdited, this, [this](float v) {
        applyVolume(_coordinator, v);
        refresh();
    });
    connect(_modifierSwitch, &ToggleSwitch::toggled, this,
            [this](bool v) { applyDisableModifierSounds(_coordinator, v); });
    connect(_perKeySwitch, &ToggleSwitch::toggled, this,
            [this](bool v) { applyPerKeyNormalization(_coordinator, v); });
    connect(_resetKeys, &QPushButton::clicked, this, [this] { _coordinator.resetKeyLevels(); });
    connect(_strikeSource, &QComboBox::activated, this, [this](int index) {
        applyVelocitySource(_coordinator, VelocitySource(_strikeSource->itemData(index).toInt()));
        refreshMicrophone(); // the section appears with the choice, not a turn later
    });
    connect(_microphoneDevice, &QComboBox::activated, this, [this](int index) {
        applyMicrophoneDevice(_coordinator,
                              _microphoneDevice->itemData(index).toString().toStdString());
    });
    connect(_fixedStrength, &ValueSlider::valueEdited, this, [this](float v) {
        applyFixedVelocity(_coordinator, v);
        refresh();
    });
    connect(_pitch, &ValueSlider::valueEdited, this, [this](float v) {
        applyPitchVariation(_coordinator, v);
        refresh();
    });
    connect(_gain, &ValueSlider::valueEdited, this, [this](float v) {
        applyGainVariation(_coordinator, v);
        refresh();
    });
    connect(&bridge, &CoordinatorBridge::settingsChanged, this, [this](SettingsKey key) {
        if (key == SettingsKey::masterVolume || key == SettingsKey::pitchVariation ||
            key == SettingsKey::gainVariation || key == SettingsKey::disableModifierSounds ||
            key == SettingsKey::velocitySource || key == SettingsKey::fixedVelocity ||
            key == SettingsKey::perKeyNormalization) {
            refresh();
        }
        if (key == SettingsKey::velocitySource || key == SettingsKey::microphoneDevice) {
            refreshMicrophone();
        }
    });
    refresh();
    refreshMicrophone();
}

void SoundTab::refreshMicrophone() {
    const ToccaSettings& settings = _coordinator.settings();
    const bool chosen = settings.velocitySource() == VelocitySource::microphone;
    if (_microphoneSection->isVisibleTo(this) != chosen) {
        _microphoneSection->setVisible(chosen);
        Q_EMIT sectionsChanged();
    }
    if (!chosen) {
        return;
    }
    const QString stored = QString::fromStdString(settings.microphoneDevice());
    _microphoneDevice->clear();
    _microphoneDevice->addItem(QStringLiteral("System default"), QString());
    for (const std::string& name : _coordinator.microphoneDeviceNames()) {
        _microphoneDevice->addItem(QString::fromStdString(name), QString::fromStdString(name));
    }
    if (!stored.isEmpty() && _microphoneDevice->findData(stored) < 0) {
        _microphoneDevice->addItem(stored + QStringLiteral(" (not connected)"), stored);
    }
    _microphoneDevice->setCurrentIndex(std::max(0, _microphoneDevice->findData(stored)));
}

SoundOutputSection::SoundOutputSection(CoordinatorBridge& bridge, int labelWidth, QWidget* parent)
    : QWidget(parent), _coordinator(bridge.coordinator()) {
    setObjectName(QStringLiteral("outputSection"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    auto* section = new FormSection(QStringLiteral("Output"));
    _device = new QComboBox;
    _device->setObjectName(QStringLiteral("outputDevice"));
    _device->setAccessibleName(QStringLiteral("Output device"));
    _device->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    _device->setMinimumContentsLength(18);
    section->addRow(QStringLiteral("Output device"), _device);
    _width = new ValueSlider(1.0);
    _width->setObjectName(QStringLiteral("stereoWidthSlider"));
    _width->setToolTip(QStringLiteral("0%: every key in the centre. Above: keys placed left to "
                                      "right as they sit on the keyboard."));
    _widthReadout = readout("stereoWidthReadout");
    sliderRow(*section, QStringLiteral("Stereo width"), labelWidth, _width, _widthReadout);
    column->addWidget(section);

    connect(_device, &QComboBox::activated, this, [this](int index) {
        applyOutputDevice(_coordinator, _device->itemData(index).toString().toStdString());
    });
    connect(_width, &ValueSlider::valueEdited, this, [this](float v) {
        applyStereoWidth(_coordinator, v);
        _widthReadout->setText(percentReadout(v));
    });
    connect(&bridge, &CoordinatorBridge::settingsChanged, this, [this](SettingsKey key) {
        if (key == SettingsKey::outputDevice || key == SettingsKey::stereoWidth) {
            refresh();
        }
    });
    refresh();
}

void SoundOutputSection::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        refresh(); // a card plugged in since the tab was last shown
    }
}

void SoundOutputSection::refresh() {
    const ToccaSettings& settings = _coordinator.settings();
    const QString stored = QString::fromStdString(settings.outputDevice());
    _device->clear();
    _device->addItem(QStringLiteral("System default"), QString());
    for (const std::string& name : _coordinator.outputDeviceNames()) {
        _device->addItem(QString::fromStdString(name), QString::fromStdString(name));
    }
    if (!stored.isEmpty() && _device->findData(stored) < 0) {
        _device->addItem(stored + QStringLiteral(" (not connected)"), stored);
    }
    _device->setCurrentIndex(std::max(0, _device->findData(stored)));
    _width->setShownValue(settings.stereoWidth());
    _widthReadout->setText(percentReadout(settings.stereoWidth()));
}

void SoundTab::refresh() {
    const ToccaSettings& settings = _coordinator.settings();
    _volume->setShownValue(settings.masterVolume());
    _volumeReadout->setText(percentReadout(settings.masterVolume()));
    _modifierSwitch->setCheckedSilently(settings.disableModifierSounds());
    _perKeySwitch->setCheckedSilently(settings.perKeyNormalization());
    _strikeSource->setCurrentIndex(
        _strikeSource->findData(int(settings.velocitySource()))); // emits no `activated`
    _fixedStrength->setShownValue(settings.fixedVelocity());
    _fixedStrengthReadout->setText(percentReadout(settings.fixedVelocity()));
    _pitch->setShownValue(settings.pitchVariation());
    _pitchReadout->setText(variationReadout(settings.pitchVariation()));
    _gain->setShownValue(settings.gainVariation());
    _gainReadout->setText(variationReadout(settings.gainVariation()));
}

} // namespace clavio
