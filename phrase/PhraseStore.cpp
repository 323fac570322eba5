// SPDX-License-Identifier: GPL-3.0-or-later
// Phrase mode: the button logic, the capture step, and phrase files.
#include <cstring>

#include "phrase/PhraseStore.h"
#include "wavfile/WaveFile.h"

namespace sorvane {

void ResetPhraseState(PhraseState& state) {
  state = {};
  state.PhraseMode = kPhraseOff;
  state.Buttons = {false, false, false, PhraseRecCaption::Rec};
}

void SwitchPhraseMode(PhraseState& state, bool on) {
  if (on) {
    state.CapturedFrames = 0;
    state.Buttons.RecEnabled = true;
    state.Buttons.LoadEnabled = true;
    state.Buttons.SaveEnabled = true;
    state.PhraseMode = kPhraseReplay;
  } else {
    // A running capture is abandoned; what it recorded stays in the store.
    state.Buttons.RecEnabled = false;
    state.Buttons.LoadEnabled = false;
    state.Buttons.SaveEnabled = false;
    state.Buttons.RecCaption = PhraseRecCaption::Rec;
    state.PhraseMode = kPhraseOff;
  }
}

void StartPhraseCapture(PhraseState& state) {
  if (state.PhraseMode != kPhraseReplay) return;  // ignored during a capture
  state.Buttons.RecCaption = PhraseRecCaption::Say;
  state.Buttons.LoadEnabled = false;
  state.Buttons.SaveEnabled = false;
  state.LeadIn = kLeadInBlocks;
  state.CapturedFrames = 0;
  state.PhraseMode = kPhraseCapture;
}

bool CapturePhraseBlock(PhraseState& state, PhraseStore& store, const int16_t* block, const FrameAnalysis& analysis) {
  bool changed = false;
  if (state.LeadIn == 1 && analysis.FrameEnergy > kSpeechOnsetLevel) {
    state.LeadIn = 0;
    state.Buttons.RecCaption = PhraseRecCaption::Recording;
    changed = true;
  }
  if (state.LeadIn == 0) {
    const int f = state.CapturedFrames;
    store.PhraseReflection[f] = analysis.Reflection;
    for (int i = 0; i < kBlockSamples; ++i) {
      store.PhraseHighBand[kBlockSamples * f + i] = analysis.HighBandBlock[i];
      store.PhraseSamples[kBlockSamples * f + i] = block[i];
    }
    store.PhraseAmplitude[f] = analysis.Amplitude;
    store.PhraseGain[f] = analysis.ExcitationGain;
    state.CapturedFrames = state.CapturedFrames + 1;
    if (state.CapturedFrames == kPhraseFrames) {
      state.Buttons.RecCaption = PhraseRecCaption::Rec;
      state.Buttons.LoadEnabled = true;
      state.Buttons.SaveEnabled = true;
      state.PhraseMode = kPhraseReplay;
      state.CapturedFrames = 0;
      changed = true;
    }
  } else if (state.LeadIn > 1) {
    state.LeadIn = state.LeadIn - 1;
  }
  return changed;
}

void AnalysePhrase(PhraseStore& store, double& bandPrevious) {
  FilterState high{};
  FilterState low{};
  Coefficients k{};
  std::array<double, kCoefficientCount> e{};
  std::array<double, kCoefficientCount> r{};
  double frame[kFrameLength];
  store.PhraseHighBand.fill(0.0);
  store.PhraseAmplitude.fill(0.0);
  store.PhraseGain.fill(0.0);
  double gain = 0.5;

  for (int f = 0; f < kPhraseTableFrames; ++f) {
    const int16_t* x = store.PhraseSamples.data() + kBlockSamples * f;
    const BandLevels levels = SplitBands(bandPrevious, high, low, x, store.PhraseHighBand.data() + kBlockSamples * f);
    // The window starts at the frame's own block and covers the three after it.
    const int16_t* blocks[kFrameBlocks];
    for (int b = 0; b < kFrameBlocks; ++b) blocks[b] = x + kBlockSamples * b;
    WindowBlocks(blocks, frame);
    store.PhraseAmplitude[f] = PredictFrame(frame, r.data(), e.data(), k.data());
    store.PhraseReflection[f] = k;
    gain = UpdateExcitationGain(gain, levels.Low, levels.High);
    store.PhraseGain[f] = gain;
  }
}

bool PhraseLoad(PhraseState& state, PhraseStore& store, double& bandPrevious, const char* path) {
  state.PhraseMode = kPhraseReplay;
  state.CapturedFrames = 0;
  uint32_t copied = 0;
  if (!ReadWaveSamples(store.PhraseSamples.data(), path, kPhraseSeconds, &copied)) return false;
  constexpr uint32_t kFileBytes = kPhraseFileSamples * 2;
  if (copied < kFileBytes) {
    // A short file: silence after it, so no older phrase leaks into this one.
    auto* bytes = reinterpret_cast<unsigned char*>(store.PhraseSamples.data());
    std::memset(bytes + copied, 0, sizeof(store.PhraseSamples) - copied);
  }
  AnalysePhrase(store, bandPrevious);
  return true;
}

bool PhraseSave(const PhraseStore& store, const char* path) {
  return WriteWaveFile(path, store.PhraseSamples.data(), kPhraseFileSamples * 2);
}

}  // namespace sorvane
