// SPDX-License-Identifier: GPL-3.0-or-later
// Locale, fonts, take directory, volume control and error boxes.
#include "app/Platform.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>

#include "core/Reporter.h"

namespace sorvane {

namespace {

const char* const kJapaneseFace = "ＭＳ Ｐゴシック";
const char* const kEnglishFace = "Microsoft Sans Serif";
constexpr int kJapanesePixelSize = 12;
constexpr int kEnglishPointSize = 8;

bool IsWritableDirectory(const QString& path) {
  if (path.isEmpty()) return false;
  const QFileInfo info(path);
  return info.isDir() && info.isWritable();
}

void MessageBoxHandler(void*, const char* caption, const char* text) {
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(caption), QString::fromUtf8(text),
                  QMessageBox::Ok, QApplication::activeWindow());
  box.exec();
}

}  // namespace

bool IsJapaneseLocale(const QLocale& locale) { return locale.language() == QLocale::Japanese; }

void InstallFontSubstitutes() {
  QFont::insertSubstitutions(QString::fromUtf8(kJapaneseFace),
                             {QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"),
                              QStringLiteral("Noto Sans CJK JP")});
  QFont::insertSubstitutions(QString::fromUtf8(kEnglishFace),
                             {QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                              QStringLiteral("DejaVu Sans")});
}

QFont JapaneseWindowFont() {
  QFont font(QString::fromUtf8(kJapaneseFace));
  font.setPixelSize(kJapanesePixelSize);
  return font;
}

QFont EnglishWindowFont() { return QFont(QString::fromUtf8(kEnglishFace), kEnglishPointSize); }

QString TakeDirectory(const QString& musicDir, const QString& homeDir) {
  if (!musicDir.isEmpty() && QDir().mkpath(musicDir) && IsWritableDirectory(musicDir)) return musicDir;
  return homeDir;
}

QString TakeDirectory() {
  return TakeDirectory(QStandardPaths::writableLocation(QStandardPaths::MusicLocation), QDir::homePath());
}

QString DialogStartDirectory(const QString& musicDir, const QString& homeDir) {
  if (!musicDir.isEmpty() && QFileInfo(musicDir).isDir()) return musicDir;
  return homeDir;
}

QString DialogStartDirectory() {
  return DialogStartDirectory(QStandardPaths::writableLocation(QStandardPaths::MusicLocation), QDir::homePath());
}

QList<MixerCommand> MixerCommands(bool recording) {
  // pavucontrol's tabs: 3 output devices, 4 input devices.
  const QString tab = recording ? QStringLiteral("--tab=4") : QStringLiteral("--tab=3");
  return {
      {QStringLiteral("pavucontrol"), {tab}},
      {QStringLiteral("pavucontrol-qt"), {tab}},
  };
}

bool StartVolumeControl(bool recording) {
  for (const MixerCommand& command : MixerCommands(recording)) {
    const QString path = QStandardPaths::findExecutable(command.Program);
    if (path.isEmpty()) continue;
    if (QProcess::startDetached(path, command.Arguments)) return true;
  }
  return false;
}

void InstallMessageBoxErrorHandler() { SetErrorBoxHandler(&MessageBoxHandler, nullptr); }

}  // namespace sorvane
