// SPDX-License-Identifier: GPL-3.0-or-later
// Locale, fonts, take directory, volume control and error boxes.
#include "app/Platform.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>

#include "app/Captions.h"
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
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(caption), QString::fromUtf8(text), QMessageBox::Ok,
                  QApplication::activeWindow());
  box.exec();
}

}  // namespace

bool IsJapaneseLocale(const QLocale& locale) { return locale.language() == QLocale::Japanese; }

void InstallFontSubstitutes() {
  QFont::insertSubstitutions(
      QString::fromUtf8(kJapaneseFace),
      {QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans CJK JP")});
  QFont::insertSubstitutions(QString::fromUtf8(kEnglishFace), {QStringLiteral("Liberation Sans"),
                                                               QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
}

QFont JapaneseWindowFont() {
  QFont font(QString::fromUtf8(kJapaneseFace));
  font.setPixelSize(kJapanesePixelSize);
  return font;
}

QFont EnglishWindowFont() { return QFont(QString::fromUtf8(kEnglishFace), kEnglishPointSize); }

QFont WindowFont(bool japanese) {
  if (japanese) return JapaneseWindowFont();
  return EnglishWindowFont();
}

QString HomeDirectory() {
  // QDir::homePath() answers "/" when HOME is unset, and the music folder
  // would then be /Music.
  const QString home = qEnvironmentVariable("HOME");
  return home.isEmpty() ? QString() : QDir::cleanPath(home);
}

QString MusicDirectory() {
  // QStandardPaths reads XDG_MUSIC_DIR only from user-dirs.dirs, not from
  // the environment; a relative path there is not valid, so it is ignored.
  const QString given = qEnvironmentVariable("XDG_MUSIC_DIR");
  if (!given.isEmpty() && QDir::isAbsolutePath(given)) return QDir::cleanPath(given);
  if (HomeDirectory().isEmpty()) return QString();
  return QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
}

TakeFolder ChooseTakeFolder(const QString& musicDir, const QString& homeDir, const QString& currentDir) {
  if (!musicDir.isEmpty() && QDir().mkpath(musicDir) && IsWritableDirectory(musicDir)) {
    return {musicDir, true};
  }
  if (IsWritableDirectory(homeDir)) return {homeDir, false};
  return {currentDir, false};
}

TakeFolder ChooseTakeFolder() { return ChooseTakeFolder(MusicDirectory(), HomeDirectory(), QDir::currentPath()); }

QString TakeDirectory() { return ChooseTakeFolder().Path; }

QString TakeFolderNotice(const TakeFolder& folder, const QString& musicDir, bool japanese) {
  if (folder.InMusicFolder) return QString();
  const QString where = QDir::toNativeSeparators(folder.Path);
  if (musicDir.isEmpty()) {
    return CaptionText(Caption::TakeFolderMissing, japanese).arg(where);
  }
  const QString music = QDir::toNativeSeparators(musicDir);
  return CaptionText(Caption::TakeFolderUnwritable, japanese).arg(music, where);
}

QString DialogStartDirectory(const QString& musicDir, const QString& homeDir) {
  if (!musicDir.isEmpty() && QFileInfo(musicDir).isDir()) return musicDir;
  return homeDir;
}

QString DialogStartDirectory() { return DialogStartDirectory(MusicDirectory(), HomeDirectory()); }

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
