// SPDX-License-Identifier: GPL-3.0-or-later
// The control panel across the top of the main window: the octave and the
// waveform, the vibrato and the echo with their four scroll bars, the
// volume, take, About and exit buttons, and the phrase controls. It builds
// its controls at their designed places, captions them in the window's
// language and says what the user changed; the main window turns that into
// engine calls.
#pragma once

#include <QFrame>
#include <QImage>
#include <QPixmap>
#include <array>
#include <cstdint>

#include "app/Settings.h"
#include "engine/Engine.h"
#include "keyboard/MidiNotes.h"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QRadioButton;
class QScrollBar;
class QToolButton;

namespace sorvane {

class PhraseControls;

inline constexpr int kPanelHeight = 209;
// The width the panel is built at; the keyboard then cuts it to its own.
inline constexpr int kPanelDesignedWidth = 625;

// One of the four scroll bars: where it sits, its designed start value, how
// its label shows the value the engine took, and the engine call it makes.
// Its range is the one a MIDI controller spreads over (kMidiControlRanges).
struct PanelBar {
  MidiControl Control;
  const char* Name;  // the scroll bar's object name; its label's is Name + "Value"
  bool InEchoGroup;  // otherwise in the vibrato group
  int Top;           // the bar's top in its group; its label sits 16 px above
  int32_t Start;     // the echo level starts at its minimum
  const char* Format;
  void (*Apply)(EngineState& engine, int32_t value);
  int32_t EngineParams::*Taken;
};

inline constexpr int kPanelBarCount = 4;
// In MidiControl order.
inline constexpr std::array<PanelBar, kPanelBarCount> kPanelBars{{
    {MidiControl::ModDepth, "vibratoDepth", false, 32, 30, "%d%%", &SetModDepth, &EngineParams::ModDepth},
    {MidiControl::ModRate, "vibratoRate", false, 64, 10, "%dHz", &SetModRate, &EngineParams::ModRate},
    {MidiControl::EchoLevel, "echoLevel", true, 32, 0, "%d%%", &SetEchoLevel, &EngineParams::EchoLevel},
    {MidiControl::EchoDelay, "echoDelay", true, 64, 100, "%dms", &SetEchoDelayMs, &EngineParams::EchoDelayMs},
}};

class ControlPanel final : public QFrame {
  Q_OBJECT

 public:
  // Builds every control at its designed place; the captions follow with
  // SetCaptions once the window's language and font are known.
  explicit ControlPanel(QWidget* parent);
  ControlPanel(const ControlPanel&) = delete;
  ControlPanel& operator=(const ControlPanel&) = delete;

  // Every caption in the language given; the radio items then take their
  // places for the font the panel has now.
  void SetCaptions(bool japanese);
  // The designed start values, set before anyone listens: no signal runs.
  void SetStartValues();

  PhraseControls& Phrase() { return *phrase; }

  // What the controls show. Octave: 0 (Ultra Low) to 3 (High);
  // waveform: 0 impulse, 1 sawtooth, 2 square.
  int32_t Octave() const;
  int32_t Waveform() const;
  int32_t BarValue(MidiControl control) const;
  bool TriangleShape() const;
  bool VibratoAlwaysOn() const;
  bool Emphasis() const;
  // The panel's part of the settings, read from and set on the controls;
  // setting runs each changed control's signal, as the user would.
  void ReadSettings(PanelSettings& panel) const;
  void ShowSettings(const PanelSettings& panel);
  // As if the user moved the scroll bar (a MIDI controller).
  void SetBarValue(MidiControl control, int32_t value);
  // The scroll bar's label shows the value the engine took.
  void ShowBarTaken(MidiControl control, int32_t taken);
  // The scroll bar, for the menu that learns its MIDI controller.
  QWidget* Bar(MidiControl control) const;

  // The take button shows the stop glyph and caption while a take runs.
  void ShowTake(bool recording, bool japanese);
  const QImage& RecordGlyph() const { return recordGlyph; }
  const QImage& StopGlyph() const { return stopGlyph; }
  // The sound gone (non-empty tip) or back (empty): the two volume buttons,
  // which need a sound server, are disabled and carry the tip.
  void ShowSoundGone(const QString& tip);
  // The code of a key the key table passed over, in the hidden label.
  void ShowUnmatchedKey(int32_t code);

 signals:
  // A change of selection: clicking the item already chosen is none.
  void OctaveChanged();
  void WaveformChanged();
  void BarChanged(MidiControl control);
  void VibratoShapeChanged();
  void VibratoAlwaysOnChanged();
  void EmphasisChanged();
  void InputVolumeClicked();
  void OutputVolumeClicked();
  void TakeClicked();
  void AboutClicked();
  void ExitClicked();

 private:
  void BuildChoices();
  void BuildVibratoAndEcho();
  void BuildButtons();
  void ArrangeChoices();

  QGroupBox* octave = nullptr;
  std::array<QRadioButton*, 4> octaveItems{};  // High, Mid, Low, Ultra Low
  QButtonGroup* octaveButtons = nullptr;
  QGroupBox* waveform = nullptr;
  std::array<QRadioButton*, 3> waveformItems{};
  QButtonGroup* waveformButtons = nullptr;
  QGroupBox* vibrato = nullptr;
  QRadioButton* vibratoTriangle = nullptr;
  QRadioButton* vibratoSquare = nullptr;
  QCheckBox* vibratoAlwaysOn = nullptr;
  QGroupBox* echo = nullptr;
  // By MidiControl, as kPanelBars.
  std::array<QScrollBar*, kPanelBarCount> bars{};
  std::array<QLabel*, kPanelBarCount> barValues{};
  QToolButton* inputVolume = nullptr;
  QToolButton* outputVolume = nullptr;
  QToolButton* take = nullptr;
  QToolButton* about = nullptr;
  QToolButton* exit = nullptr;
  PhraseControls* phrase = nullptr;
  // Right of where the keyboard cuts the panel, so out of sight: the
  // emphasis switch, which the engine reads all the same, and the noise
  // switch, which changes nothing but keeps its designed caption.
  QCheckBox* emphasis = nullptr;
  QCheckBox* noise = nullptr;
  // Hidden: the key handler leaves the code of an unmatched key here, for
  // diagnosis.
  QLabel* unmatchedKey = nullptr;
  QImage recordGlyph;
  QImage stopGlyph;
  QPixmap recordPixmap;
  QPixmap stopPixmap;
};

}  // namespace sorvane
