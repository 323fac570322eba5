// SPDX-License-Identifier: GPL-3.0-or-later
// The control panel's handlers: each tells the engine what its control now
// shows, and has the settings saved.
#include "app/MainWindow.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QRadioButton>
#include <QScrollBar>

#include <cstdio>

#include "app/AboutBox.h"
#include "app/PhraseDialogs.h"
#include "app/Platform.h"
#include "app/WindowParts.h"

namespace sorvane {

void TForm1::RadioGroup2Click() {
  {
    const auto lock = LockEngine();
    SetOctave(*EngineData, 3 - RadioGroup2Buttons->checkedId());
  }
  SaveSettings();
}

void TForm1::RadioGroup1Click() {
  {
    const auto lock = LockEngine();
    SelectWaveform(*EngineData, RadioGroup1Buttons->checkedId());
  }
  SaveSettings();
}

// A scroll bar's label shows the value the engine took; the settings are
// saved.
void TForm1::ShowScrollValue(QLabel* label, const char* format, int32_t value) {
  label->setText(QString::asprintf(format, value));
  label->adjustSize();
  SaveSettings();
}

void TForm1::ScrollBar1Change() {
  {
    const auto lock = LockEngine();
    SetModDepth(*EngineData, ScrollBar1->value());
  }
  ShowScrollValue(Label4, "%d%%", EngineData->Params.ModDepth);
}

void TForm1::ScrollBar2Change() {
  {
    const auto lock = LockEngine();
    SetModRate(*EngineData, ScrollBar2->value());
  }
  ShowScrollValue(Label5, "%dHz", EngineData->Params.ModRate);
}

void TForm1::ScrollBar3Change() {
  {
    const auto lock = LockEngine();
    SetEchoLevel(*EngineData, ScrollBar3->value());
  }
  ShowScrollValue(Label6, "%d%%", EngineData->Params.EchoLevel);
}

void TForm1::ScrollBar4Change() {
  {
    const auto lock = LockEngine();
    SetEchoDelayMs(*EngineData, ScrollBar4->value());
  }
  ShowScrollValue(Label7, "%dms", EngineData->Params.EchoDelayMs);
}

void TForm1::chkModForceOnClick() {
  {
    const auto lock = LockEngine();
    SetModAlwaysOn(*EngineData, chkModForceOn->isChecked());
  }
  SaveSettings();
}

// The engine reads the vibrato shape and the emphasis switch from these.
void TForm1::RadioButton1Click() {
  {
    const auto lock = LockEngine();
    SetModShape(*EngineData, RadioButton1->isChecked());
  }
  SaveSettings();
}

void TForm1::CheckBox1Click() {
  {
    const auto lock = LockEngine();
    SetEmphasis(*EngineData, CheckBox1->isChecked());
  }
  SaveSettings();
}

void TForm1::btnInputClick() { StartVolumeControl(true); }

void TForm1::btnOutputClick() { StartVolumeControl(false); }

void TForm1::btnRecordClick() {
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

void TForm1::ReportTakeFolder(const TakeFolder& folder, const QString& musicDir) {
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

void TForm1::btnAboutClick() {
  if (!AboutBox) return;
  AboutBox->show();
  AboutBox->raise();
  AboutBox->activateWindow();
}

void TForm1::btnExitClick() { close(); }

// The phrase group.

void TForm1::chkPhraseOnClick() {
  const auto lock = LockEngine();
  SetPhraseOn(*EngineData, chkPhraseOn->isChecked());
}

void TForm1::btnPhraseRecClick() {
  const auto lock = LockEngine();
  EngineStartPhraseCapture(*EngineData);
}

// The phrase store is the engine's: it is changed and read under the
// engine's lock, never while a file dialog waits for the user.
void TForm1::btnPhraseLoadClick() {
  {
    const auto lock = LockEngine();
    PhraseLoadBegin(*EngineData);
  }
  PrepareLoadDialog(*OpenDialog1, LanguageJapanese());
  OpenDialog1->setDirectory(LoadDirectory);
  const QString path = ChooseFile(*OpenDialog1);
  if (path.isEmpty()) return;
  LoadDirectory = QFileInfo(path).absolutePath();
  SaveSettings();
  // The area the dialog covered is drawn again before the analysis runs.
  repaint();
  const auto lock = LockEngine();
  PhraseLoadFile(*EngineData, QFile::encodeName(path).constData());
}

void TForm1::btnPhraseSaveClick() {
  PrepareSaveDialog(*SaveDialog1, LanguageJapanese());
  SaveDialog1->setDirectory(SaveDirectory);
  QString path = ChooseFile(*SaveDialog1);
  if (path.isEmpty()) return;
  SaveDirectory = QFileInfo(path).absolutePath();
  SaveSettings();
  // A name that comes back without an extension gets the default one. The
  // dialog's overwrite prompt saw the name without it, so an existing file
  // of the completed name is only replaced once the user has said so.
  if (QFileInfo(path).suffix().isEmpty()) {
    path += QLatin1Char('.') + SaveDialog1->defaultSuffix();
    if (QFileInfo::exists(path) && !ConfirmReplace(path)) return;
  }
  const auto lock = LockEngine();
  PhraseSaveFile(*EngineData, QFile::encodeName(path).constData());
}

bool TForm1::ConfirmReplace(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  const QString text = CaptionText(Caption::ReplaceQuestion).arg(name);
  QMessageBox box(QMessageBox::Warning, SaveDialog1->windowTitle(), text, QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace sorvane
