// SPDX-License-Identifier: GPL-3.0-or-later
// The preferences' group for playing with expression: the pitch bend range
// and velocity sensitivity of a MIDI keyboard, and the glide time of every
// note. The bend
// range and the glide time can be given to a MIDI controller from their
// right-button menus, as the scroll bars can.
#pragma once

#include <QGroupBox>
#include <array>
#include <cstdint>
#include <functional>

#include "app/MidiLearnMenu.h"
#include "app/Settings.h"
#include "keyboard/MidiNotes.h"

class QCheckBox;
class QSpinBox;

namespace sorvane {

class MainWindow;

class ExpressionControls final : public QGroupBox {
 public:
  // controllers: the dialog's choice of controllers, which the learn menus
  // show and their Forget items change (then forgotten is called); Learn
  // starts a learning on form's MIDI input.
  ExpressionControls(QWidget* parent, MainWindow& form, std::array<int32_t, kMidiControlCount>& controllers,
                     std::function<void()> forgotten);

  // The widgets set to the three settings of prefs.
  void ShowPreferences(const Preferences& prefs);
  // The three settings as the widgets show them, into prefs.
  void ReadPreferences(Preferences& prefs) const;
  // A learnt controller moved the bend range or the glide time.
  void ShowFromMidi(MidiControl control, int32_t value);
  // The Forget items after the controllers changed.
  void RefreshMenus();

  QSpinBox* BendRangeBox = nullptr;  // semitones
  QSpinBox* GlideBox = nullptr;      // ms; 0 shows "Off"
  QCheckBox* VelocityBox = nullptr;
  MidiLearnMenu* BendRangeMenu = nullptr;
  MidiLearnMenu* GlideMenu = nullptr;
};

}  // namespace sorvane
