// The settings window's Sound tab: the volume with its percentage readout,
// "Disable modifier key sounds", the strike strength (where it comes from:
// Automatic, Accelerometer, Fixed or Microphone, and the Fixed strength slider
// over 0..1 used whenever strikes are not measured, and "Even out keys far
// from the sensor" (perKeyNormalization) with its Reset button), the
// "Microphone" section shown only while Microphone is chosen (the capture
// device, and a sentence saying what is analysed and that no audio is stored
// or sent), and the "Variation" section with
// the Pitch (0..0.15) and Gain (0..0.2) sliders and their "±" readouts, and
// the "Output" section (SoundOutputSection): the sound card to play through
// and the stereo width.
//
// Every value a control produces is stored and saved at once (sliders while
// dragging); the volume also goes to the mixer at once. The controls follow
// the settings whoever changes them (the panel's volume slider moves this
// one). A value beyond a slider's end read from the settings file is kept:
// the knob sits at the end and the readout shows the stored value.
//
// Threading: main thread.
#pragma once

#include <QWidget>

class QComboBox;
class QLabel;
class QPushButton;

namespace clavio {

class CoordinatorBridge;
class ToccaCoordinator;
class ToggleSwitch;
class ValueSlider;

// The "Output" section: "Output device" lists "System default" and then the
// devices the sound system reports (a stored device that is not connected
// now is listed too, marked so, and stays chosen: Clavio returns to it when
// it is back); "Stereo width" from 0 (every key centred) to 1 (keys placed
// left to right as on the keyboard). Self-contained; refreshes itself.
class SoundOutputSection : public QWidget {
    Q_OBJECT
public:
    SoundOutputSection(CoordinatorBridge& bridge, int labelWidth, QWidget* parent = nullptr);
    // Lists the devices afresh and shows the stored choices.
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;

private:
    ToccaCoordinator& _coordinator;
    QComboBox* _device;
    ValueSlider* _width;
    QLabel* _widthReadout;
};

class SoundTab : public QWidget {
    Q_OBJECT
public:
    static constexpr int kReadoutWidth = 44;

    explicit SoundTab(CoordinatorBridge& bridge, QWidget* parent = nullptr);

Q_SIGNALS:
    // A section appeared or went away: the tab's height needs may differ.
    void sectionsChanged();

private:
    void refresh();
    // Lists the capture devices afresh (only while the section shows: listing
    // reaches the sound server) and shows the stored one.
    void refreshMicrophone();

    ToccaCoordinator& _coordinator;
    ValueSlider* _volume;
    QLabel* _volumeReadout;
    ToggleSwitch* _modifierSwitch;
    QComboBox* _strikeSource;
    QWidget* _microphoneSection;
    QComboBox* _microphoneDevice;
    ValueSlider* _fixedStrength;
    QLabel* _fixedStrengthReadout;
    ToggleSwitch* _perKeySwitch;
    QPushButton* _resetKeys;
    ValueSlider* _pitch;
    QLabel* _pitchReadout;
    ValueSlider* _gain;
    QLabel* _gainReadout;
};

} // namespace clavio
