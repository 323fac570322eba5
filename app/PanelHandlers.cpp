// SPDX-License-Identifier: GPL-3.0-or-later
// The window's handlers of the control panel: each tells the engine what
// its control now shows, and has the settings saved.
#include "app/MainWindow.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include <cstdio>

#include "app/AboutBox.h"
#include "app/Captions.h"
#include "app/PhraseControls.h"
#include "app/PhraseDialogs.h"
#include "app/Platform.h"

namespace sorvane {

void MainWindow::onOctaveChanged() {
  {
    const auto lock = LockEngine();
    SetOctave(*EngineData, panel->Octave());
  }
  SaveSettings();
}

void MainWindow::onWaveformChanged() {
  {
    const auto lock = LockEngine();
    SelectWaveform(*EngineData, panel->Waveform());
  }
  SaveSettings();
}

// The scroll bar's label shows the value the engine took.
void MainWindow::onBarChanged(MidiControl control) {
  const PanelBar& bar = kPanelBars[static_cast<size_t>(control)];
  {
    const auto lock = LockEngine();
    bar.Apply(*EngineData, panel->BarValue(control));
  }
  panel->ShowBarTaken(control, EngineData->Params.*bar.Taken);
  SaveSettings();
}

void MainWindow::onVibratoAlwaysOnChanged() {
  {
    const auto lock = LockEngine();
    SetModAlwaysOn(*EngineData, panel->VibratoAlwaysOn());
  }
  SaveSettings();
}

// The engine reads the vibrato shape and the emphasis switch from these.
void MainWindow::onVibratoShapeChanged() {
  {
    const auto lock = LockEngine();
    SetModShape(*EngineData, panel->TriangleShape());
  }
  SaveSettings();
}

void MainWindow::onEmphasisChanged() {
  {
    const auto lock = LockEngine();
    SetEmphasis(*EngineData, panel->Emphasis());
  }
  SaveSettings();
}

void MainWindow::onInputVolumeClicked() { StartVolumeControl(true); }

void MainWindow::onOutputVolumeClicked() { StartVolumeControl(false); }

void MainWindow::onTakeClicked() {
  // The engine's thread writes the take's blocks: it starts and ends under
  // the engine's lock.
  auto lock = LockEngine();
  if (EngineData->Take.Recording) {
    ToggleTake(*EngineData, "");  // ends the take; the folder is not used
    return;
  }
  const QString musicDir = MusicDirectory();
  const TakeFolder folder = ChooseTakeFolder(musicDir, HomeDirectory(), QDir::currentPath());
  const QByteArray directory = QFile::encodeName(folder.Path);
  ToggleTake(*EngineData, directory.constData());
  const bool started = EngineData->Take.Recording;
  lock.unlock();
  if (started && !folder.InMusicFolder) ReportTakeFolder(folder, musicDir);
}

void MainWindow::ReportTakeFolder(const TakeFolder& folder, const QString& musicDir) {
  // Every such take gets its line on stderr; the window says it once per
  // folder, in a box that does not stop the take or the window.
  std::fprintf(stderr, "sorvane: %s\n", TakeFolderNotice(folder, musicDir, false).toLocal8Bit().constData());
  if (folder.Path == AnnouncedTakeFolder) return;
  AnnouncedTakeFolder = folder.Path;
  auto* box = new QMessageBox(QMessageBox::Information, windowTitle(),
                              TakeFolderNotice(folder, musicDir, LanguageJapanese()), QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

void MainWindow::onAboutClicked() {
  if (!AboutBox) return;
  AboutBox->show();
  AboutBox->raise();
  AboutBox->activateWindow();
}

void MainWindow::onExitClicked() { close(); }

// The phrase group.

void MainWindow::onPhraseModeToggled() {
  const auto lock = LockEngine();
  SetPhraseOn(*EngineData, panel->Phrase().IsOn());
}

void MainWindow::onPhraseRecordClicked() {
  const auto lock = LockEngine();
  EngineStartPhraseCapture(*EngineData);
}

// The phrase store is the engine's: it is changed and read under the
// engine's lock, never while a file dialog waits for the user.
void MainWindow::onPhraseLoadClicked() {
  {
    const auto lock = LockEngine();
    PhraseLoadBegin(*EngineData);
  }
  PrepareLoadDialog(*loadDialog, LanguageJapanese());
  loadDialog->setDirectory(LoadDirectory);
  const QString path = ChooseFile(*loadDialog);
  if (path.isEmpty()) return;
  LoadDirectory = QFileInfo(path).absolutePath();
  SaveSettings();
  // The area the dialog covered is drawn again before the analysis runs.
  repaint();
  const auto lock = LockEngine();
  PhraseLoadFile(*EngineData, QFile::encodeName(path).constData());
}

void MainWindow::onPhraseSaveClicked() {
  PrepareSaveDialog(*saveDialog, LanguageJapanese());
  saveDialog->setDirectory(SaveDirectory);
  QString path = ChooseFile(*saveDialog);
  if (path.isEmpty()) return;
  SaveDirectory = QFileInfo(path).absolutePath();
  SaveSettings();
  // A name that comes back without an extension gets the default one. The
  // dialog's overwrite prompt saw the name without it, so an existing file
  // of the completed name is only replaced once the user has said so.
  if (QFileInfo(path).suffix().isEmpty()) {
    path += QLatin1Char('.') + saveDialog->defaultSuffix();
    if (QFileInfo::exists(path) && !ConfirmReplace(path)) return;
  }
  const auto lock = LockEngine();
  PhraseSaveFile(*EngineData, QFile::encodeName(path).constData());
}

bool MainWindow::ConfirmReplace(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  const QString text = CaptionText(Caption::ReplaceQuestion).arg(name);
  QMessageBox box(QMessageBox::Warning, saveDialog->windowTitle(), text, QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace sorvane
