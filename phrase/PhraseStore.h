// SPDX-License-Identifier: GPL-3.0-or-later
// Phrase mode: a phrase of 300 analysed frames captured from the voice or
// loaded from a file, the capture step of the block pipeline, and the state
// of the phrase group's buttons.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "dsp/FrameAnalyser.h"
#include "dsp/Lpc.h"
#include "phrase/PhraseTables.h"

namespace sorvane {

inline constexpr int kLeadInBlocks = 4;
inline constexpr double kSpeechOnsetLevel = 20000.0;  // r[0] above this starts recording

enum PhraseModeValue : int32_t { kPhraseOff = 0, kPhraseCapture = 1, kPhraseReplay = 2 };

// What the phrase group's record button shows.
enum class PhraseRecCaption { Rec, Say, Recording };

struct PhraseButtons {
  bool RecEnabled;
  bool LoadEnabled;
  bool SaveEnabled;
  PhraseRecCaption RecCaption;
};

struct PhraseState {
  int32_t PhraseMode;
  int32_t CapturedFrames;
  int32_t LeadIn;
  PhraseButtons Buttons;
};

void ResetPhraseState(PhraseState& state);

// Phrase mode on (the chkPhraseOn box ticked) or off: sets the mode and the
// phrase buttons.
void SwitchPhraseMode(PhraseState& state, bool on);
// The phrase record button: starts a capture; ignored unless the phrase is
// being replayed.
void StartPhraseCapture(PhraseState& state);

// The capture step for one processed block: block is its 220 raw samples,
// analysis what AnalyseBlock made of it. Returns true when the buttons changed.
bool CapturePhraseBlock(PhraseState& state, PhraseStore& store, const int16_t* block, const FrameAnalysis& analysis);

// Analyses PhraseSamples into the frame tables. bandPrevious is the live
// analysis's last sample, carried on through the phrase.
void AnalysePhrase(PhraseStore& store, double& bandPrevious);

// Reads up to 3 s of a WAV file into PhraseSamples (the rest cleared to
// silence), converted to 22050 Hz mono 16-bit if it is another linear PCM
// sound, and analyses it. On a read failure the store is untouched and the
// error has been shown. Sets replay mode first in every case.
bool PhraseLoad(PhraseState& state, PhraseStore& store, double& bandPrevious, const char* path);
// Writes the first 66150 samples as a WAV file.
bool PhraseSave(const PhraseStore& store, const char* path);

}  // namespace sorvane
