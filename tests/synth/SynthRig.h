// SPDX-License-Identifier: GPL-3.0-or-later
// The synthesis on its own, with the state it reads set up as at start-up.
#pragma once

#include <memory>
#include <vector>

#include "synth/Synth.h"

namespace sorvane::test {

// The note of a key as the program's key table gives it: the lower row's
// 20 keys start 8 semitones up, the upper row's at 20.
inline int32_t KeyNote(int32_t key) { return key < 20 ? key + 8 : key; }

// Starts `key` with its note.
inline NoteChange Press(VoicePool& pool, int32_t key) { return NoteOn(pool, key, KeyNote(key)); }

struct SynthRig {
  std::unique_ptr<SynthState> St = std::make_unique<SynthState>();
  std::unique_ptr<AnalysisState> Analyser = std::make_unique<AnalysisState>();
  std::unique_ptr<FrameAnalysis> An = std::make_unique<FrameAnalysis>();
  std::unique_ptr<PhraseStore> Ph = std::make_unique<PhraseStore>();
  VoicePool Pool{};
  EngineParams Params{kImpulse, 2, 30, 10, false, 0, 100};
  PanelSwitches Switches{true, false};
  bool Ctrl = false;

  SynthRig() {
    ResetSynth(*St);
    ResetAnalysis(*Analyser, *An);
    *Ph = {};
    ResetVoices(Pool);
  }
  SynthInputs Inputs(bool replay = false) const { return {Params, Switches, Ctrl, replay, *An, *Ph}; }
  std::vector<int16_t> Block(int length, bool replay = false) {
    std::vector<int16_t> out(static_cast<size_t>(length));
    SynthesizeBlock(*St, Pool, Inputs(replay), out.data(), length);
    return out;
  }
  // count blocks of length samples, one after the other.
  std::vector<int16_t> Blocks(int count, int length) {
    std::vector<int16_t> out;
    for (int b = 0; b < count; ++b) {
      const std::vector<int16_t> block = Block(length);
      out.insert(out.end(), block.begin(), block.end());
    }
    return out;
  }
};

}  // namespace sorvane::test
