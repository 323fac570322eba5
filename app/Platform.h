// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop program's links to the system: caption language and fonts,
// where takes are written, the mixer behind the volume buttons, and the
// error boxes.
#pragma once

#include <QFont>
#include <QLocale>
#include <QString>
#include <QStringList>

namespace sorvane {

// Japanese captions when the locale's language is Japanese.
bool IsJapaneseLocale(const QLocale& locale);

// Maps the window fonts' faces to the free faces installed here:
// "ＭＳ Ｐゴシック" to IPAPGothic, "Microsoft Sans Serif" to Liberation Sans.
void InstallFontSubstitutes();
QFont JapaneseWindowFont();       // "ＭＳ Ｐゴシック", 12 pixels
QFont EnglishWindowFont();        // "Microsoft Sans Serif", 8 points
QFont WindowFont(bool japanese);  // one of the two, by the caption language

// The user's home folder: HOME, or empty when it is unset or empty (a
// service started without a login), never the file system's root.
QString HomeDirectory();
// The user's music folder: XDG_MUSIC_DIR from the environment when it holds
// an absolute path, else the one the user's user-dirs.dirs names (~/Music by
// default); empty when neither is given and there is no home folder.
QString MusicDirectory();

// Where a take goes, and whether that is the music folder.
struct TakeFolder {
  QString Path;
  bool InMusicFolder = false;
};
// musicDir, made first when it is missing, when it is (or could be made) a
// writable folder; otherwise homeDir when it is a writable folder; otherwise
// currentDir. An empty musicDir or homeDir stands for none.
TakeFolder ChooseTakeFolder(const QString& musicDir, const QString& homeDir, const QString& currentDir);
// The same with the user's music and home folders and the current folder.
TakeFolder ChooseTakeFolder();
// The path alone, for callers that need no more.
QString TakeDirectory();

// One line saying where takes go when that is not the music folder (empty
// when it is): in English for stderr, or in the window's language.
QString TakeFolderNotice(const TakeFolder& folder, const QString& musicDir, bool japanese);

// Where the phrase dialogs first open: musicDir when it exists, otherwise
// homeDir. (The program's own folder is /usr/bin or a build folder.)
QString DialogStartDirectory(const QString& musicDir, const QString& homeDir);
// The same with the user's folders.
QString DialogStartDirectory();

// A mixer command: the program and its arguments.
struct MixerCommand {
  QString Program;
  QStringList Arguments;
};

// The mixers tried, in order, for the recording (input) or playback
// (output) controls.
QList<MixerCommand> MixerCommands(bool recording);

// Starts the first mixer found on the PATH without waiting for it. Returns
// whether one was started; a missing mixer is not an error.
bool StartVolumeControl(bool recording);

// Shows engine and WAV errors in modal message boxes with an error icon.
void InstallMessageBoxErrorHandler();

}  // namespace sorvane
