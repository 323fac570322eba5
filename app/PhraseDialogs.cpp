// Phrase load and save dialogs.
#include "app/PhraseDialogs.h"

#include <QFileDialog>

namespace sorvane {

namespace {

QString WaveFilter(bool japanese) {
  return japanese ? QString::fromUtf8("Waveﾌｧｲﾙ (*.wav)") : QStringLiteral("Wave File (*.wav)");
}

}  // namespace

void PrepareLoadDialog(QFileDialog& dialog, bool japanese) {
  dialog.setWindowTitle(japanese ? QString::fromUtf8("Waveファイルの読み込み") : QStringLiteral("Load Wave File"));
  dialog.setNameFilter(WaveFilter(japanese));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
}

void PrepareSaveDialog(QFileDialog& dialog, bool japanese) {
  dialog.setWindowTitle(japanese ? QString::fromUtf8("Waveファイルの保存") : QStringLiteral("Save Wave File"));
  dialog.setNameFilter(WaveFilter(japanese));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(QStringLiteral("wav"));
  // No option but the default: an existing file is only replaced after the
  // user has confirmed it.
  dialog.setOptions(QFileDialog::Options());
}

}  // namespace sorvane
