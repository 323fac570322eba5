// SPDX-License-Identifier: GPL-3.0-or-later
// The window's settings and preferences: the panel kept between runs, the
// preferences dialog and its menu item, the controllers MIDI learn finds or
// forgets.
#include "app/MainWindow.h"

#include <QAction>

#include <mutex>

#include "app/Captions.h"
#include "app/PreferencesDialog.h"

namespace sorvane {

void MainWindow::ShowPreferences() {
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

TPreferencesDialog* MainWindow::PreferencesDialog() const { return PrefsDialog; }

void MainWindow::BuildMenus() {
  preferencesItem = new QAction(CaptionText(Caption::PreferencesItem), this);
  connect(preferencesItem, &QAction::triggered, this, &MainWindow::ShowPreferences);
  // The panel and what it holds; the keys are not in it and play on any
  // button.
  panel->setContextMenuPolicy(Qt::ActionsContextMenu);
  panel->addAction(preferencesItem);
  for (const PanelBar& bar : kPanelBars) {
    const MidiControl control = bar.Control;
    const auto index = static_cast<size_t>(control);
    learnMenus[index] = new MidiLearnMenu(
        panel->Bar(control), [this, index] { return Prefs.Controllers[index]; },
        [this, control] {
          if (Midi) Midi->StartLearning(control);
        },
        [this, control] { ForgetController(control); });
  }
}

void MainWindow::ForgetController(MidiControl control) {
  if (Midi) Midi->SetController(control, kNoController);
  Preferences prefs = Prefs;
  prefs.Controllers[static_cast<size_t>(control)] = kNoController;
  ApplyPreferences(prefs);
}

void MainWindow::MidiControllerLearnt(MidiControl control, int32_t controller) {
  if (!Midi) return;
  // The learnt controller may have been taken from another control.
  Preferences prefs = Prefs;
  prefs.Controllers = Midi->Controllers().Controller;
  ApplyPreferences(prefs);
  if (PrefsDialog) PrefsDialog->ControllerLearnt(control, controller);
}

PanelSettings MainWindow::CurrentPanel() const {
  PanelSettings settings;
  panel->ReadSettings(settings);
  settings.LoadDirectory = LoadDirectory;
  settings.SaveDirectory = SaveDirectory;
  return settings;
}

void MainWindow::UseSettings(AppSettings* settings, const PanelSettings& kept, const Preferences& prefs) {
  // Each control set as the user would set it, so that its own handler
  // tells the engine; nothing is written meanwhile.
  Settings = nullptr;
  panel->ShowSettings(kept);
  if (!kept.LoadDirectory.isEmpty()) LoadDirectory = kept.LoadDirectory;
  if (!kept.SaveDirectory.isEmpty()) SaveDirectory = kept.SaveDirectory;
  ApplyPreferences(prefs);
  SaveTimer->stop();
  Settings = settings;
}

void MainWindow::ApplyPreferences(const Preferences& prefs) {
  Prefs = prefs;
  PutPreferencesInForce();
  SaveSettings();
}

namespace {

// A value the command line gave for this run stays in force, and the kept
// one stays kept, unless the dialog changed it.
template <typename T>
void KeepRunValue(std::optional<T>& run, T& chosen, const T& kept) {
  if (run && chosen == *run) {
    chosen = kept;
  } else {
    run.reset();
  }
}

}  // namespace

void MainWindow::AcceptPreferences(Preferences chosen) {
  KeepRunValue(Run.OutputLevelDb, chosen.OutputLevelDb, Prefs.OutputLevelDb);
  KeepRunValue(Run.MidiChannel, chosen.MidiChannel, Prefs.MidiChannel);
  KeepRunValue(Run.BendRange, chosen.BendRange, Prefs.BendRange);
  KeepRunValue(Run.GlideMs, chosen.GlideMs, Prefs.GlideMs);
  KeepRunValue(Run.VelocityOn, chosen.VelocityOn, Prefs.VelocityOn);
  ApplyPreferences(chosen);
}

Preferences MainWindow::PreferencesInForce() const {
  Preferences prefs = Prefs;
  prefs.OutputLevelDb = Run.OutputLevelDb.value_or(Prefs.OutputLevelDb);
  prefs.MidiChannel = Run.MidiChannel.value_or(Prefs.MidiChannel);
  prefs.BendRange = Run.BendRange.value_or(Prefs.BendRange);
  prefs.GlideMs = Run.GlideMs.value_or(Prefs.GlideMs);
  prefs.VelocityOn = Run.VelocityOn.value_or(Prefs.VelocityOn);
  return prefs;
}

void MainWindow::PutPreferencesInForce() {
  const Preferences prefs = PreferencesInForce();
  {
    std::lock_guard<EngineMutex> lock(EngineData->EngineLock);
    SetOutputLevel(*EngineData, prefs.OutputLevelDb);
    SetBendRange(*EngineData, prefs.BendRange);
    SetGlideMs(*EngineData, prefs.GlideMs);
    SetVelocityOn(*EngineData, prefs.VelocityOn);
  }
  if (Midi) {
    Midi->SetChannel(prefs.MidiChannel);
    Midi->SetControllers(prefs.Controllers);
  }
}

void MainWindow::OverrideForThisRun(const RunPreferences& run) {
  Run = run;
  PutPreferencesInForce();
}

void MainWindow::SaveSettings() {
  if (Settings != nullptr) SaveTimer->start();
}

void MainWindow::WriteSettings() {
  // A failed write is tried again with the next change and at the close.
  if (Settings != nullptr) SettingsUnsaved = !Settings->Save(CurrentPanel(), Prefs);
}

}  // namespace sorvane
