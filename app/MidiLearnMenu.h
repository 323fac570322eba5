// SPDX-License-Identifier: GPL-3.0-or-later
// The right-button menu of a control that a MIDI controller can drive:
// "Learn MIDI controller" and "Forget", the latter naming the controller
// assigned now and disabled when there is none.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>

#include "keyboard/MidiNotes.h"

class QAction;
class QPushButton;
class QTableWidget;
class QWidget;

namespace sorvane {

// The actions live as long as the control, so that they can be triggered
// without the menu.
class MidiLearnMenu final : public QObject {
 public:
  // assigned: the control's controller now, or kNoController.
  MidiLearnMenu(QWidget* control, std::function<int32_t()> assigned, std::function<void()> learn,
                std::function<void()> forget);

  QAction* Learn() const { return LearnAction; }
  QAction* Forget() const { return ForgetAction; }
  // The Forget item's caption and state for the controller assigned now; run
  // before the menu opens.
  void Refresh();

 private:
  QWidget* Control;
  std::function<int32_t()> Assigned;
  QAction* LearnAction;
  QAction* ForgetAction;
};

// The control's name as the table of learnt controllers shows it.
QString ControlName(MidiControl control);

// The table of learnt controllers: a row per control, with its name, a
// cell for its controller and a Forget button (in forgetButtons), sized to
// show every row.
QTableWidget* MakeControllerTable(QWidget* parent, std::array<QPushButton*, kMidiControlCount>& forgetButtons);

}  // namespace sorvane
