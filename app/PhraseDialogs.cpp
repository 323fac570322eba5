// SPDX-License-Identifier: GPL-3.0-or-later
// Phrase load and save dialogs.
#include "app/PhraseDialogs.h"

#include <QFileDialog>

#include "app/Captions.h"

namespace sorvane {

void PrepareLoadDialog(QFileDialog& dialog, bool japanese) {
  dialog.setWindowTitle(CaptionText(Caption::LoadWaveTitle, japanese));
  dialog.setNameFilter(CaptionText(Caption::WaveFileFilter, japanese));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setOptions(QFileDialog::DontUseNativeDialog);  // as the save dialog
}

void PrepareSaveDialog(QFileDialog& dialog, bool japanese) {
  dialog.setWindowTitle(CaptionText(Caption::SaveWaveTitle, japanese));
  dialog.setNameFilter(CaptionText(Caption::WaveFileFilter, japanese));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(QStringLiteral("wav"));
  // Qt's own dialog, whatever the desktop offers, so that it behaves the
  // same everywhere. It asks before an existing file is replaced; a name
  // typed without an extension can come back without it, and the caller
  // asks again for the completed name.
  dialog.setOptions(QFileDialog::DontUseNativeDialog);
}

}  // namespace sorvane
