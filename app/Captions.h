// SPDX-License-Identifier: GPL-3.0-or-later
// The captions of the window and the About box, in both languages, in one
// table: the window sets its controls and the About box its labels from it.
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
};

// The caption in Japanese or in English.
QString CaptionText(Caption caption, bool japanese);

// UTF-8 text as a QString.
inline QString U(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace sorvane
