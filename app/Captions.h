// SPDX-License-Identifier: GPL-3.0-or-later
// Every caption of the program in both languages, in one table: the main
// window's controls and menu, the About box, the preferences dialog, the
// phrase file dialogs and the notices the window shows. A caption with %1
// (and %2) takes its values through QString::arg.
#pragma once

#include <QString>

namespace sorvane {

enum class Caption {
  OctaveGroup,
  WaveGroup,
  WaveImpulse,
  WaveSaw,
  WaveSquare,
  ModGroup,
  ModTriangle,
  ModSquare,
  ModAlwaysOn,
  EchoGroup,
  InputVolume,
  OutputVolume,
  Record,
  RecordStop,
  About,
  Exit,
  PhraseGroup,
  PhraseOn,
  PhraseRecord,
  PhraseSay,
  PhraseRecording,
  PhraseLoad,
  PhraseSave,
  Emphasis,
  Noise,
  AboutTitle,
  AboutWarning1,
  AboutWarning2,
  AboutWarning3,
  AboutWarning4,
  // The main window's menu and notices.
  PreferencesItem,
  ReplaceQuestion,
  SoundServerGone,
  TakeFolderMissing,
  TakeFolderUnwritable,
  // The phrase file dialogs.
  WaveFileFilter,
  LoadWaveTitle,
  SaveWaveTitle,
  // The preferences dialog and the MIDI learn menu.
  PrefsTitle,
  PrefsAutomatic,
  PrefsPulse,
  PrefsSoundSystem,
  PrefsInputDevice,
  PrefsOutputDevice,
  PrefsListingDevices,
  PrefsDefaultDevice,
  PrefsNotReachable,
  PrefsLatencyNormal,
  PrefsLatencyLow,
  PrefsLatency,
  PrefsAllChannels,
  PrefsMidiChannel,
  PrefsOutputLevel,
  PrefsVoiceIn,
  PrefsSongOut,
  PrefsClipped,
  PrefsClippedSamples,
  PrefsClearClipped,
  PrefsClipLight,
  PrefsControlHeader,
  PrefsControllerHeader,
  PrefsForgetButton,
  PrefsNoController,
  PrefsWhenNote,
  PrefsOk,
  PrefsCancel,
  PrefsRestoreDefaults,
  PrefsControllersLearnt,
  PrefsExpressionGroup,
  PrefsBendRange,
  PrefsSemitones,
  PrefsGlideTime,
  PrefsGlideOff,
  PrefsVelocity,
  ControlModDepth,
  ControlModRate,
  ControlEchoLevel,
  ControlEchoDelay,
  ControlOutputLevel,
  ControlBendRange,
  ControlGlideTime,
  LearnController,
  ForgetNone,
  ForgetController,
};

// The caption in Japanese or in English.
QString CaptionText(Caption caption, bool japanese);
// The caption in the language the program decided at start-up.
QString CaptionText(Caption caption);

// UTF-8 text as a QString.
inline QString U(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace sorvane
