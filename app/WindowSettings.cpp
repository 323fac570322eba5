// SPDX-License-Identifier: GPL-3.0-or-later
// The window's settings and preferences: the panel kept between runs, the
// preferences dialog, the controllers MIDI learn finds or forgets.
#include "app/MainWindow.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QRadioButton>
#include <QScrollBar>

#include <mutex>

#include "app/PreferencesDialog.h"

namespace sorvane {

void TForm1::ShowPreferences() {
  if (PrefsDialog) {
    PrefsDialog->raise();
    PrefsDialog->activateWindow();
    return;
  }
  auto* dialog = new TPreferencesDialog(*this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowModality(Qt::ApplicationModal);
  PrefsDialog = dialog;
  dialog->show();
}

TPreferencesDialog* TForm1::PreferencesDialog() const { return PrefsDialog; }

void TForm1::ForgetController(MidiControl control) {
  if (Midi) Midi->SetController(control, kNoController);
  Preferences prefs = Prefs;
  prefs.Controllers[static_cast<size_t>(control)] = kNoController;
  ApplyPreferences(prefs);
}

void TForm1::MidiControllerLearnt(MidiControl control, int32_t controller) {
  if (!Midi) return;
  // The learnt controller may have been taken from another control.
  Preferences prefs = Prefs;
  prefs.Controllers = Midi->Controllers().Controller;
  ApplyPreferences(prefs);
  if (PrefsDialog) PrefsDialog->ControllerLearnt(control, controller);
}

PanelSettings TForm1::CurrentPanel() const {
  PanelSettings panel;
  panel.Waveform = RadioGroup1Buttons->checkedId();
  panel.Octave = 3 - RadioGroup2Buttons->checkedId();
  panel.ModDepth = ScrollBar1->value();
  panel.ModRate = ScrollBar2->value();
  panel.TriangleShape = RadioButton1->isChecked();
  panel.ModAlwaysOn = chkModForceOn->isChecked();
  panel.EchoLevel = ScrollBar3->value();
  panel.EchoDelayMs = ScrollBar4->value();
  panel.Emphasis = CheckBox1->isChecked();
  panel.LoadDirectory = LoadDirectory;
  panel.SaveDirectory = SaveDirectory;
  return panel;
}

void TForm1::UseSettings(AppSettings* settings, const PanelSettings& panel, const Preferences& prefs) {
  // Each control set as the user would set it, so that its own handler
  // tells the engine; nothing is written meanwhile.
  Settings = nullptr;
  RadioGroup1Items[static_cast<size_t>(panel.Waveform)]->setChecked(true);
  RadioGroup2Items[static_cast<size_t>(3 - panel.Octave)]->setChecked(true);
  ScrollBar1->setValue(panel.ModDepth);
  ScrollBar2->setValue(panel.ModRate);
  (panel.TriangleShape ? RadioButton1 : RadioButton2)->setChecked(true);
  chkModForceOn->setChecked(panel.ModAlwaysOn);
  ScrollBar3->setValue(panel.EchoLevel);
  ScrollBar4->setValue(panel.EchoDelayMs);
  CheckBox1->setChecked(panel.Emphasis);
  if (!panel.LoadDirectory.isEmpty()) LoadDirectory = panel.LoadDirectory;
  if (!panel.SaveDirectory.isEmpty()) SaveDirectory = panel.SaveDirectory;
  ApplyPreferences(prefs);
  SaveTimer->stop();
  Settings = settings;
}

void TForm1::ApplyPreferences(const Preferences& prefs) {
  Prefs = prefs;
  PutPreferencesInForce();
  SaveSettings();
}

void TForm1::AcceptPreferences(Preferences chosen) {
  // A value the command line gave for this run stays in force, and the
  // kept one stays kept, unless the dialog changed it.
  if (RunOutputLevelDb && chosen.OutputLevelDb == *RunOutputLevelDb) {
    chosen.OutputLevelDb = Prefs.OutputLevelDb;
  } else {
    RunOutputLevelDb.reset();
  }
  if (RunMidiChannel && chosen.MidiChannel == *RunMidiChannel) {
    chosen.MidiChannel = Prefs.MidiChannel;
  } else {
    RunMidiChannel.reset();
  }
  ApplyPreferences(chosen);
}

Preferences TForm1::PreferencesInForce() const {
  Preferences prefs = Prefs;
  prefs.OutputLevelDb = RunOutputLevelDb.value_or(Prefs.OutputLevelDb);
  prefs.MidiChannel = RunMidiChannel.value_or(Prefs.MidiChannel);
  return prefs;
}

void TForm1::PutPreferencesInForce() {
  const Preferences prefs = PreferencesInForce();
  {
    std::lock_guard<EngineMutex> lock(EngineData->EngineLock);
    SetOutputLevel(*EngineData, prefs.OutputLevelDb);
  }
  if (Midi) {
    Midi->SetChannel(prefs.MidiChannel);
    Midi->SetControllers(prefs.Controllers);
  }
}

void TForm1::OverrideForThisRun(std::optional<int32_t> outputLevelDb, std::optional<int32_t> midiChannel) {
  RunOutputLevelDb = outputLevelDb;
  RunMidiChannel = midiChannel;
  PutPreferencesInForce();
}

void TForm1::SaveSettings() {
  if (Settings != nullptr) SaveTimer->start();
}

void TForm1::WriteSettings() {
  // A failed write is tried again with the next change and at the close.
  if (Settings != nullptr) SettingsUnsaved = !Settings->Save(CurrentPanel(), Prefs);
}

}  // namespace sorvane
